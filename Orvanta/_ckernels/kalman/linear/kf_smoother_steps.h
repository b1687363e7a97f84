// The steps of the smoother's backward pass over the periods after any
// diffuse ones (kf_smoother.h): the products whose results are symmetric,
// the update of the backward quantities u and N by a period's observed
// entries, and the smoothed moments of the state and the shocks. Part of a
// filter variant (filters_variant_linear.cpp).
//
// With a_t = x_pred[t], P_t = P_pred[t], and for the observed entries W of
// period t: Z = C[W], F = S[W, W] (+ jitter on its diagonal, as the filter
// factorised it), v = innov[W] and the gain G = P_t Z^T F^-1, the backward
// quantities u_t (what the observations from t on say about x_t, relative
// to a_t) and N_t (its variance) are
//
//   w   = A^T u_{t+1},                       M = A^T N_{t+1} A,
//   u_t = w + Z^T c,                         c = F^-1 v - G^T w,
//   N_t = Z^T F^-1 Z + (I - G Z)^T M (I - G Z),
//
// from u_T = 0, N_T = 0 (a period with nothing observed has u_t = w,
// N_t = M). Then
//
//   x_smooth[t]       = a_t + P_t u_t,        P_smooth[t] = P_t - P_t N_t P_t,
//   eps_smooth[t]     = Q B^T u_t,            eps_smooth_cov[t] = Q - Q B^T N_t B Q,
//   e_smooth[t][W]    = R[W, W] c,
//
// and the period before the first observation, with filtered moments x0,
// P0, has x0 + P0 w and P0 - P0 M P0 for w and M of period 0.
//
// N_t enters three products a period: N_t A (for M of the period before),
// N_t P_t and N_t B Q. They are one product, N_t [B Q | 0 | A | -P_t],
// whose right operand keeps A and B Q for the whole call; the zero columns
// pad its width to whole vectors, which costs a few more multiply-adds than
// the narrow blocks that a ragged width leaves would cost time. The
// symmetric results (M, N_t, P_smooth, eps_smooth_cov) are formed on and
// below the diagonal and mirrored, which halves the second product of each
// and leaves them exactly symmetric. Every sum has one accumulator,
// ascending indices and one fused multiply-add per term.
#ifndef ORV_KF_SMOOTHER_STEPS_H
#define ORV_KF_SMOOTHER_STEPS_H

#include <cmath>
#include <cstdint>
#include <cstring>

#include "kf_filter.h"

namespace ORV_VARIANT {

namespace {

// ---- symmetric products ---------------------------------------------------------------

// g with its left operand, output, init and addend advanced by `rows` rows.
inline product_args rows_from(const product_args& g, i64 rows) noexcept {
  product_args r = g;
  r.a = g.a + rows * g.a_row;
  r.out = g.out + rows * g.ldo;
  if (g.init != nullptr) r.init = g.init + rows * g.ldo;
  if (g.addend != nullptr) r.addend = g.addend + rows * g.ld_addend;
  return r;
}

// The elements of g's n x n output on and below the diagonal, in bands of
// the product kernel's widest block of columns. The band from column j0
// takes rows j0 .. n - 1; in the square on the diagonal its first half of
// the rows takes only the first half of the columns, so that few elements
// above the diagonal are computed (the mirror overwrites them later), while
// the rows below keep the widest blocks, whose loads per multiply-add are
// fewest.
template <int Rows>
ORV_INLINE void product_lower_bands(const product_args& g, i64 n) noexcept {
  constexpr int kHalf = kBlockCols / 2;
  for (i64 j0 = 0; j0 < n; j0 += kBlockCols) {
    const i64 width = min_i64(kBlockCols, n - j0);
    if (width < kBlockCols) {  // the last band: a square no wider than a block
      product_strip<kBlockCols, Rows>(rows_from(g, j0), width, j0, j0, width);
      continue;
    }
    product_strip<kHalf, Rows>(rows_from(g, j0), kHalf, j0, j0, kHalf);
    product_strip<kBlockCols, Rows>(rows_from(g, j0 + kHalf), n - j0 - kHalf, j0, j0,
                                    kBlockCols);
  }
}

// product_lower_bands out of line, as the dense kernels keep their tall
// blocks.
template <int Rows>
[[gnu::noinline]] void product_lower_in_bands(const product_args& g, i64 n) noexcept {
  product_lower_bands<Rows>(g, n);
}

// Inline where n is a constant (a loop specialised for the state size),
// which unrolls the bands it takes.
inline void product_lower(const product_args& g, i64 n) noexcept {
  constexpr int kRows = kTallBlockRows > 0 ? kTallBlockRows : kBlockRows;
  if (__builtin_constant_p(n)) return product_lower_bands<kRows>(g, n);
  product_lower_in_bands<kRows>(g, n);
}

// The upper triangle of the size x size block on the diagonal of P (n x n)
// at `first`, from its lower triangle.
inline void mirror_pairs(f64* P, i64 n, i64 first, i64 size) noexcept {
  for (i64 i = first; i < first + size; ++i)
    for (i64 j = first; j < i; ++j) P[j * n + i] = P[i * n + j];
}

// P in blocks of N x N (N divides n): each block below the diagonal goes
// to its mirror image transposed in registers, the diagonal blocks pair by
// pair (as orv_sym_inplace walks them).
template <int N>
[[gnu::noinline]] void mirror_in_blocks(f64* P, i64 n) noexcept {
  using lanes = vec<N>;
  for (i64 bi = 0; bi < n; bi += N) {
    mirror_pairs(P, n, bi, N);
    for (i64 bj = bi + N; bj < n; bj += N) {
      lanes rows[N];
      for (int r = 0; r < N; ++r) rows[r] = lanes::load(P + (bj + r) * n + bi);
      transpose(rows);
      for (int r = 0; r < N; ++r) rows[r].store(P + (bi + r) * n + bj);
    }
  }
}

// P[j][i] = P[i][j] for j > i: the upper triangle from the lower.
inline void mirror_lower(f64* P, i64 n) noexcept {
  if (n > kVecLanes) {
    if constexpr (kVecLanes >= 8) {
      if (n % 8 == 0) return mirror_in_blocks<8>(P, n);
    }
    if constexpr (kVecLanes >= 4) {
      if (n % 4 == 0) return mirror_in_blocks<4>(P, n);
      if (n % 2 == 0) return mirror_in_blocks<2>(P, n);
    }
  }
  mirror_pairs(P, n, 0, n);
}

// g's n x n output, known to be symmetric: the lower triangle, mirrored.
inline void product_symmetric(const product_args& g, i64 n) noexcept {
  product_lower(g, n);
  mirror_lower(g.out, n);
}

// out (n x n) = X^T S X for symmetric S; SX (n x n) receives S X.
void congruence_t(const f64* X, const f64* S, f64* SX, f64* out, i64 n) noexcept {
  // SX = S X;  out = X^T SX, X read down its columns
  orv_matmul(S, X, SX, n, n, n);
  product_symmetric({X, 1, n, SX, n, n, out, n, nullptr, nullptr, 0}, n);
}

// out (n x n) = P - P M P for symmetric P and M; MP (n x n) receives -(M P).
// Each element is one sum that starts at P[i][j].
void reduce_by_congruence(const f64* P, const f64* M, f64* MP, f64* out, i64 n) noexcept {
  orv_matmul(M, P, MP, n, n, n);
  for (i64 i = 0; i < n * n; ++i) MP[i] = -MP[i];
  product_symmetric({P, n, 1, MP, n, n, out, n, P, nullptr, 0}, n);
}

// The Rows x m output of g in one block of rows, inlined where m is a
// constant (a loop specialised for the state size).
template <int Rows>
inline void product_in_one_block(const product_args& g, i64 m) noexcept {
  if (__builtin_constant_p(m)) return product_strip<kBlockCols, Rows>(g, Rows, 0, 0, m);
  product_direct_in_rows<Rows>(g, Rows, m);
}

// out (rows x m) = left . b for the products whose height is the number of
// observed entries of a period. The dense kernel takes such outputs in
// blocks of four rows and a rest, which gives a processor with two
// full-width 512-bit FMA pipes half the independent sums it needs; one
// block of all the rows (5 to 8) gives it enough. This stays here rather
// than in the dense kernel: there it took the unscented filter's 7-row
// products out of line, and small unscented models ran a fifth slower.
// Without those pipes the dense kernel's blocks suffice.
inline void product_of_few_rows(const product_args& g, i64 rows, i64 m) noexcept {
  if constexpr (kTallBlockRows >= 8) {
    switch (rows) {
      case 8: return product_in_one_block<8>(g, m);
      case 7: return product_in_one_block<7>(g, m);
      case 6: return product_in_one_block<6>(g, m);
      case 5: return product_in_one_block<5>(g, m);
      default: break;
    }
  }
  product_direct_by_height(g, rows, m);
}

// ---- the backward quantities ----------------------------------------------------------

// The regions of the smoother's scratch for the periods after the diffuse
// ones.
struct smoother_scratch {
  f64* u;      // n    u_{t+1}, then u_t
  f64* w;      // n    A^T u_{t+1}
  f64* neg_w;  // n    -w
  f64* N;      // n^2  N_{t+1}, then N_t
  f64* M;      // n^2  A^T N_{t+1} A
  f64* tmp;    // n^2
  f64* X;      // n^2  (the diffuse terms of P_smooth)
  f64* stack;  // n x stack_width  [B Q | 0 | A | -P_t]
  f64* Y;      // n x stack_width  N_t [B Q | 0 | A | -P_t]
  f64* ZJ;     // 2m n the observed rows Z of C, then J
  f64* Gt;     // m n  the gain transposed, F^-1 Z P_t
  f64* G;      // n m  the gain
  f64* H;      // m n  G^T M
  f64* JZ;     // 2m n J, then Z
  f64* L;      // m^2  the Cholesky factor of F
  f64* D;      // m^2  F^-1, then F^-1 + G^T M G
  f64* v;      // m    the observed innovations
  f64* c;      // m    F^-1 v - G^T w
  f64* fv;     // m    F^-1 v
  f64* fbuf;   // m    reciprocals of L's diagonal
  f64* QBt;      // k n  Q B^T
  f64* neg_QBt;  // k n  -Q B^T
};

// The width of the stacked operand [B Q | 0 | A | -P_t]: 2n + k rounded up
// to whole vectors.
i64 stack_width(i64 n, i64 k) noexcept {
  const i64 width = 2 * n + k;
  return (width + kVecLanes - 1) / kVecLanes * kVecLanes;
}

// Where A starts in the stacked operand (and N_t A in s.Y); -P_t and
// N_t (-P_t) follow it, B Q and N_t B Q are at column 0.
i64 stack_a_column(i64 n, i64 k) noexcept { return stack_width(n, k) - 2 * n; }

// Its layout (see scratch.h).
template <class Regions>
smoother_scratch smoother_scratch_regions(Regions& r, i64 n, i64 m, i64 k) noexcept {
  smoother_scratch s{};
  s.u = r.take(n);
  s.w = r.take(n);
  s.neg_w = r.take(n);
  s.N = r.take(n, n);
  s.M = r.take(n, n);
  s.tmp = r.take(n, n);
  s.X = r.take(n, n);
  s.stack = r.take(n, stack_width(n, k));
  s.Y = r.take(n, stack_width(n, k));
  s.ZJ = r.take(2, m, n);
  s.Gt = r.take(m, n);
  s.G = r.take(n, m);
  s.H = r.take(m, n);
  s.JZ = r.take(2, m, n);
  s.L = r.take(m, m);
  s.D = r.take(m, m);
  s.v = r.take(m);
  s.c = r.take(m);
  s.fv = r.take(m);
  s.fbuf = r.take(m);
  s.QBt = r.take(k, n);
  s.neg_QBt = r.take(k, n);
  return s;
}

// The parts of the call that stay: B Q, the padding and A in the stacked
// operand, Q B^T and its negative.
void prepare_backward_pass(const kf_inputs& in, const smoother_scratch& s) noexcept {
  const i64 n = in.n, k = in.k, width = stack_width(n, k), a_col = stack_a_column(n, k);
  // stack[:, 0:k] = B Q
  product_direct({in.B, k, 1, in.Q, k, k, s.stack, width, nullptr, nullptr, 0}, n, k);
  for (i64 i = 0; i < n; ++i) {
    f64* row = s.stack + i * width;
    for (i64 j = k; j < a_col; ++j) row[j] = 0.0;
    copy_values(row + a_col, in.A + i * n, n);
  }
  orv_matmul_abt(in.Q, in.B, s.QBt, k, k, n);
  for (i64 i = 0; i < k * n; ++i) s.neg_QBt[i] = -s.QBt[i];
}

// The observed entries of row t of y, packed: the rows of C (s.ZJ), the
// block of S + jitter factorised (s.L) and the innovations (s.v). Returns
// the number p of observed entries, or -1 when the block is not positive
// definite. The block and its factorisation are the filter's own, sum for
// sum, so a period the filter took cannot fail here.
i64 pack_observed(const kf_inputs& in, const kf_outputs& h, const smoother_scratch& s,
                  i64 t) noexcept {
  const i64 n = in.n, m = in.m;
  const f64* y = in.y + t * m;
  const f64* S = h.S + t * m * m;
  i64 p = 0;
  for (i64 j = 0; j < m; ++j) {
    if (y[j] != y[j]) continue;
    copy_values(s.ZJ + p * n, in.C + j * n, n);
    s.v[p] = h.innov[t * m + j];
    i64 q = 0;
    for (i64 l = 0; l < m; ++l)
      if (y[l] == y[l]) s.D[p * m + q++] = S[j * m + l];
    ++p;
  }
  // the block was packed with rows of m; close them up to rows of p
  for (i64 r = 1; r < p; ++r)
    for (i64 q = 0; q < p; ++q) s.D[r * p + q] = s.D[r * m + q];
  if (p > 0 && orv_chol(s.D, in.jitter, s.L, p) != 0) return -1;
  return p;
}

// Finv (p x p) = (L L^T)^-1 for the Cholesky factor L, through
// W = L^-1: row i of W needs only the rows above it, so the elements of a
// row are independent sums, and every division is by a diagonal element,
// taken once as a reciprocal (recip, p values). Finv = W^T W is formed on
// and below the diagonal and mirrored.
void inverse_from_cholesky(const f64* L, f64* Finv, f64* recip, i64 p) noexcept {
  f64* W = Finv;  // W fills the lower triangle, then Finv is built in place
  for (i64 i = 0; i < p; ++i) recip[i] = 1.0 / L[i * p + i];
  for (i64 i = 0; i < p; ++i) {
    for (i64 j = 0; j < i; ++j) {
      f64 acc = 0.0;
      for (i64 l = j; l < i; ++l) acc = std::fma(L[i * p + l], W[l * p + j], acc);
      W[i * p + j] = -acc * recip[i];
    }
    W[i * p + i] = recip[i];
  }
  // Finv[i][j] (j <= i) = sum_{l >= i} W[l][i] W[l][j]: row i reads rows
  // l >= i of W only, which are still W when rows are taken in order from
  // the top; the upper triangle holds them meanwhile.
  for (i64 i = 0; i < p; ++i)
    for (i64 j = 0; j <= i; ++j) {
      f64 acc = 0.0;
      for (i64 l = i; l < p; ++l) acc = std::fma(W[l * p + i], W[l * p + j], acc);
      W[j * p + i] = acc;  // upper triangle: W's lower part stays intact
    }
  for (i64 i = 0; i < p; ++i)
    for (i64 j = 0; j < i; ++j) Finv[i * p + j] = Finv[j * p + i];
}

// The update of u and N by the p observed entries packed in s, from w = A^T
// u_{t+1} and M = A^T N_{t+1} A (see the top of this file); c ends up as
// F^-1 v - G^T w, from which the measurement errors follow. F is inverted
// once, by one solve against the identity, and applied by products: three
// solves a period cost more than the products they would replace.
void absorb_observations(const f64* P, const smoother_scratch& s, i64 n, i64 p) noexcept {
  // D = F^-1;  Gt (p x n) = F^-1 (Z P), Z P held in JZ meanwhile
  const f64* Z = s.ZJ;
  f64* J = s.JZ;
  inverse_from_cholesky(s.L, s.D, s.fbuf, p);
  product_of_few_rows({Z, n, 1, P, n, n, J, n, nullptr, nullptr, 0}, p, n);
  product_of_few_rows({s.D, p, 1, J, n, p, s.Gt, n, nullptr, nullptr, 0}, p, n);
  transpose_into(s.Gt, p, n, s.G);
  // c = F^-1 v - Gt w, the sums of Gt w starting at F^-1 v
  orv_matvec(s.D, s.v, s.fv, p, p);
  for (i64 i = 0; i < n; ++i) s.neg_w[i] = -s.w[i];
  orv_matvec_plus_vec(s.Gt, s.neg_w, s.fv, s.c, p, n);
  // u_t = w + Z^T c
  row_times_matrix(s.c, Z, s.w, s.u, p, n);
  // N_t = M - Z^T H - H^T Z + Z^T D Z with H = G^T M and D = F^-1 + H G,
  // that is M + Z^T J + J^T Z with J = D Z / 2 - H: one product of depth 2p,
  // [Z^T | J^T] [J; Z], onto M, in place of two of order n.
  product_of_few_rows({s.Gt, n, 1, s.M, n, n, s.H, n, nullptr, nullptr, 0}, p, n);
  product_direct({s.H, n, 1, s.G, p, n, s.D, p, s.D, nullptr, 0}, p, p);
  product_of_few_rows({s.D, p, 1, Z, n, p, J, n, nullptr, nullptr, 0}, p, n);
  for (i64 r = 0; r < p * n; ++r) J[r] = 0.5 * J[r] - s.H[r];
  copy_values(s.ZJ + p * n, J, p * n);
  copy_values(s.JZ + p * n, Z, p * n);
  product_lower({s.ZJ, 1, n, s.JZ, n, 2 * p, s.N, n, s.M, nullptr, 0}, n);
  mirror_lower(s.N, n);
}

// ---- the smoothed moments ---------------------------------------------------------------

// Period t's smoothed state from u_t and N_t: x_out = a + P u and, on and
// below the diagonal, P_out = P - P N P, each element one sum from P[i][j];
// the product N [B Q | 0 | A | -P] stays in s.Y for the steps after it. A
// P known to be exactly symmetric gives P u the same sums as u^T P, which
// runs its rows in vector lanes.
void smoothed_state_lower(const f64* a, const f64* P, bool symmetric, const smoother_scratch& s,
                          f64* x_out, f64* P_out, i64 n, i64 k) noexcept {
  const i64 width = stack_width(n, k), p_col = stack_a_column(n, k) + n;
  for (i64 i = 0; i < n; ++i)
    for (i64 j = 0; j < n; ++j) s.stack[i * width + p_col + j] = -P[i * n + j];
  orv_matmul(s.N, s.stack, s.Y, n, n, width);
  if (symmetric)
    row_times_matrix(s.u, P, a, x_out, n, n);
  else
    orv_matvec_plus_vec(P, s.u, a, x_out, n, n);
  product_lower({P, n, 1, s.Y + p_col, width, n, P_out, n, P, nullptr, 0}, n);
}

// eps (k) = Q B^T u and V (k x k) = Q - (Q B^T)(N B Q), from s.Y.
void smoothed_shocks(const f64* Q, const smoother_scratch& s, f64* eps, f64* V, i64 n,
                     i64 k) noexcept {
  orv_matvec(s.QBt, s.u, eps, k, n);
  product_symmetric({s.neg_QBt, n, 1, s.Y, stack_width(n, k), n, V, k, Q, nullptr, 0}, k);
}

// w = A^T u and M = A^T N A for the period before, from s.Y.
void carry_to_earlier_period(const f64* A, const smoother_scratch& s, i64 n, i64 k) noexcept {
  row_times_matrix(s.u, A, nullptr, s.w, n, n);
  product_symmetric(
      {A, 1, n, s.Y + stack_a_column(n, k), stack_width(n, k), n, s.M, n, nullptr, nullptr, 0}, n);
}

// x_out = x + P w and P_out = P - P M P for the filtered moments (x, P) of
// the period before the first observation.
void smoothed_start(const f64* x, const f64* P, const smoother_scratch& s, f64* x_out,
                    f64* P_out, i64 n) noexcept {
  orv_matvec_plus_vec(P, s.w, x, x_out, n, n);
  reduce_by_congruence(P, s.M, s.tmp, P_out, n);
}

// e (m): R[W, W] c on the observed entries W of row y (m), NaN elsewhere.
void smoothed_measurement_errors(const f64* R, const f64* y, const f64* c, f64* e,
                                 i64 m) noexcept {
  for (i64 i = 0; i < m; ++i) {
    if (y[i] != y[i]) {
      e[i] = __builtin_nan("");
      continue;
    }
    f64 acc = 0.0;
    for (i64 j = 0, q = 0; j < m; ++j)
      if (y[j] == y[j]) acc = std::fma(R[i * m + j], c[q++], acc);
    e[i] = acc;
  }
}

// Whether a[0 .. len) holds no infinity and no NaN: the exponent fields
// tested all at once, without a branch per value.
bool all_finite(const f64* a, i64 len) noexcept {
  constexpr std::uint64_t kExponent = 0x7ff0000000000000u;
  std::uint64_t special = 0;
  for (i64 i = 0; i < len; ++i) {
    std::uint64_t bits;
    std::memcpy(&bits, a + i, sizeof bits);
    special |= (bits & kExponent) == kExponent ? 1u : 0u;
  }
  return special == 0;
}

}  // namespace

}  // namespace ORV_VARIANT

#endif  // ORV_KF_SMOOTHER_STEPS_H
