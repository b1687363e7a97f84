// The steps of the smoother's backward pass over the periods after any
// diffuse ones (kf_smoother.h): the products whose results are symmetric,
// the update of the backward quantities u and N by a period's observed
// entries, and the smoothed moments of the state and the shocks. Part of a
// filter variant (filters_variant.cpp).
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
// N_t = M). Since P_t (I - G Z)^T is the filtered covariance P_filt[t],
//
//   x_smooth[t]       = x_filt[t] + P_filt[t] w,
//   P_smooth[t]       = P_filt[t] - P_filt[t] M P_filt[t],
//   eps_smooth[t]     = Q B^T u_t,          eps_smooth_cov[t] = Q - Q B^T N_t B Q,
//   e_smooth[t][W]    = R[W, W] c,
//
// and the period before the first observation takes the same state step
// with (x0, P0) in place of the filtered moments.
//
// The symmetric results (M, N_t, P_smooth, eps_smooth_cov) are formed on and
// below the diagonal and mirrored, which halves the second product of each
// and leaves them exactly symmetric. Every sum has one accumulator,
// ascending indices and one fused multiply-add per term.
#ifndef ORV_KF_SMOOTHER_STEPS_H
#define ORV_KF_SMOOTHER_STEPS_H

#include <cmath>
#include <cstdint>
#include <cstring>

#include "kf_starts.h"

namespace ORV_VARIANT {

namespace {

// ---- symmetric products ---------------------------------------------------------------

// Rows of the output taken at a time by product_lower: a block of the
// product kernel's height on AVX-512, two of them elsewhere.
constexpr i64 kLowerChunk = 8;

// The rows of g's n x n output on and below the diagonal, in chunks of
// kLowerChunk rows that stop at the diagonal block's last column (the few
// elements above the diagonal inside it are computed too). Out of line, as
// the dense kernels keep their tall blocks.
template <int Rows>
[[gnu::noinline]] void product_lower_in_rows(const product_args& g, i64 n) noexcept {
  for (i64 i0 = 0; i0 < n; i0 += kLowerChunk) {
    const i64 rows = min_i64(kLowerChunk, n - i0);
    product_args chunk = g;
    chunk.a = g.a + i0 * g.a_row;
    chunk.out = g.out + i0 * g.ldo;
    if (g.init != nullptr) chunk.init = g.init + i0 * g.ldo;
    if (g.addend != nullptr) chunk.addend = g.addend + i0 * g.ld_addend;
    product_strip<kBlockCols, Rows>(chunk, rows, 0, 0, i0 + rows);
  }
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
  product_lower_in_rows<(kTallBlockRows > 0 ? kTallBlockRows : kBlockRows)>(g, n);
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
  f64* X;      // n^2  Z^T J
  f64* Z;      // m n  the observed rows of C
  f64* Gt;     // m n  the gain transposed, F^-1 Z P_t (first Z P_t)
  f64* G;      // n m  the gain
  f64* H;      // m n  G^T M
  f64* J;      // m n
  f64* L;      // m^2  the Cholesky factor of F
  f64* D;      // m^2  F^-1, then F^-1 + G^T M G
  f64* v;      // m    the observed innovations
  f64* c;      // m    F^-1 v, then F^-1 v - G^T w
  f64* fv;     // m    F^-1 v
  f64* fbuf;   // m    solve buffers
  f64* bbuf;   // m
  f64* QBt;    // k n  Q B^T
  f64* BQt;    // n k  its transpose
  f64* nQBtN;  // k n  -Q B^T N_t
};

i64 smoother_scratch_elements(i64 n, i64 m, i64 k) noexcept {
  return element_count({{3, n}, {4, n, n}, {5, m, n}, {2, m, m}, {5, m}, {3, k, n}});
}

smoother_scratch carve_smoother_scratch(f64* block, i64 n, i64 m, i64 k) noexcept {
  region_carver c{block};
  smoother_scratch s{};
  s.u = c.take(n);
  s.w = c.take(n);
  s.neg_w = c.take(n);
  s.N = c.take(n * n);
  s.M = c.take(n * n);
  s.tmp = c.take(n * n);
  s.X = c.take(n * n);
  s.Z = c.take(m * n);
  s.Gt = c.take(m * n);
  s.G = c.take(n * m);
  s.H = c.take(m * n);
  s.J = c.take(m * n);
  s.L = c.take(m * m);
  s.D = c.take(m * m);
  s.v = c.take(m);
  s.c = c.take(m);
  s.fv = c.take(m);
  s.fbuf = c.take(m);
  s.bbuf = c.take(m);
  s.QBt = c.take(k * n);
  s.BQt = c.take(n * k);
  s.nQBtN = c.take(k * n);
  return s;
}

// Q B^T and its transpose, once per call.
void prepare_shock_products(const f64* Q, const f64* B, const smoother_scratch& s, i64 n,
                            i64 k) noexcept {
  orv_matmul_abt(Q, B, s.QBt, k, k, n);
  transpose_into(s.QBt, k, n, s.BQt);
}

// The observed entries of row t of y, packed: the rows of C (s.Z), the
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
    copy_values(s.Z + p * n, in.C + j * n, n);
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

// X (p x cols, row-major) <- F^-1 X column by column, F = L L^T, as the
// filter solves its gain: a vector of columns at a time.
void solve_columns(const smoother_scratch& s, f64* X, i64 p, i64 cols) noexcept {
  solve_gain(s.L, {X, 1, cols}, {X, 1, cols}, s.fbuf, s.bbuf, cols, p);
}

// The update of u and N by the p observed entries packed in s, from w = A^T
// u_{t+1} and M = A^T N_{t+1} A (see the top of this file); c ends up as
// F^-1 v - G^T w, from which the measurement errors follow. F is inverted
// once, by one solve against the identity, and applied by products: three
// solves a period cost more than the products they would replace.
void absorb_observations(const f64* P, const smoother_scratch& s, i64 n, i64 p) noexcept {
  // D = F^-1;  Gt (p x n) = F^-1 (Z P)
  for (i64 r = 0; r < p * p; ++r) s.D[r] = r % p == r / p ? 1.0 : 0.0;
  solve_columns(s, s.D, p, p);
  orv_matmul(s.Z, P, s.J, p, n, n);
  orv_matmul(s.D, s.J, s.Gt, p, p, n);
  transpose_into(s.Gt, p, n, s.G);
  // c = F^-1 v - Gt w, the sums of Gt w starting at F^-1 v
  orv_matvec(s.D, s.v, s.fv, p, p);
  for (i64 i = 0; i < n; ++i) s.neg_w[i] = -s.w[i];
  orv_matvec_plus_vec(s.Gt, s.neg_w, s.fv, s.c, p, n);
  // u_t = w + Z^T c
  row_times_matrix(s.c, s.Z, s.w, s.u, p, n);
  // N_t = M - Z^T H - H^T Z + Z^T D Z with H = G^T M and D = F^-1 + H G,
  // that is M + (Z^T J + (Z^T J)^T) with J = D Z / 2 - H: products of rank
  // p in place of two of order n.
  orv_matmul(s.Gt, s.M, s.H, p, n, n);
  product_direct({s.H, n, 1, s.G, p, n, s.D, p, s.D, nullptr, 0}, p, p);
  orv_matmul(s.D, s.Z, s.J, p, p, n);
  for (i64 r = 0; r < p * n; ++r) s.J[r] = 0.5 * s.J[r] - s.H[r];
  product_direct_by_height({s.Z, 1, n, s.J, n, p, s.X, n, nullptr, nullptr, 0}, n, n);
  for (i64 i = 0; i < n; ++i)
    for (i64 j = 0; j <= i; ++j) s.N[i * n + j] = s.M[i * n + j] + (s.X[i * n + j] + s.X[j * n + i]);
  mirror_lower(s.N, n);
}

// ---- the smoothed moments -------------------------------------------------------------

// x_out = x + P w and P_out = P - P M P, for the filtered moments (x, P) of
// a period, or (x0, P0) before the first. A P known to be exactly symmetric
// gives P w the same sums as w^T P, which runs its rows in vector lanes.
void smoothed_state(const f64* x, const f64* P, bool symmetric, const smoother_scratch& s,
                    f64* x_out, f64* P_out, i64 n) noexcept {
  if (symmetric)
    row_times_matrix(s.w, P, x, x_out, n, n);
  else
    orv_matvec_plus_vec(P, s.w, x, x_out, n, n);
  reduce_by_congruence(P, s.M, s.tmp, P_out, n);
}

// eps (k) = Q B^T u and V (k x k) = Q - Q B^T N B Q, for the backward
// quantities u, N of the period; each element of V one sum from Q[i][j].
void smoothed_shocks(const f64* Q, const f64* u, const f64* N, const smoother_scratch& s,
                     f64* eps, f64* V, i64 n, i64 k) noexcept {
  orv_matvec(s.QBt, u, eps, k, n);
  orv_matmul(s.QBt, N, s.nQBtN, k, n, n);
  for (i64 i = 0; i < k * n; ++i) s.nQBtN[i] = -s.nQBtN[i];
  product_symmetric({s.nQBtN, n, 1, s.BQt, k, n, V, k, Q, nullptr, 0}, k);
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
