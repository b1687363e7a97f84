// Bodies of the real kernels, compiled once per instruction-set variant.
//
// A translation unit defines ORV_VARIANT (the namespace of the variant) and
// includes this header once; the build compiles it with that target's flags.
// The kernel library's own variant (orv_linalg_variant.cpp) defines here the
// variant's exported kernels, which orv_linalg.cpp picks from once, when the
// library is loaded. A filter variant defines ORV_PRIVATE_KERNELS first and
// gets copies of its own, with internal linkage, that its loops can inline.
//
// Every variant computes the same bits. Sums keep one accumulator, ascending
// order and one std::fma per term; speed comes only from computing
// independent output elements side by side: a block of rows times a block of
// columns of the output, each element with its own accumulator, which the
// compiler maps onto vector registers (and onto FMA instructions when the
// target has them; elsewhere std::fma stays the correctly rounded library
// call).

#ifndef ORV_LINALG_IMPL_H
#define ORV_LINALG_IMPL_H

#ifndef ORV_VARIANT
#error "define ORV_VARIANT (the variant's namespace) before including orv_linalg_impl.h"
#endif

#include <cmath>
#include <cstring>

#include "orv_linalg.h"
#include "orv_simd.h"

// The kernels below are ordinary (not inline) functions of the variant's
// namespace: this header is compiled exactly once per translation unit.
namespace ORV_VARIANT {
#ifdef ORV_PRIVATE_KERNELS
// A filter's private copies: the kernels it does not call are dropped.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
namespace {
#endif

// 2^-52, the spacing of doubles at 1.0.
constexpr f64 kEpsilon = 0x1p-52;

// Output block: up to kBlockRows rows by kBlockCols columns (blocks one
// vector wide or narrower take more rows, see rows_per_block).
constexpr int kBlockRows = 4;
// Processors with two full-width 512-bit FMA pipes need twice the chains:
// there, outputs of many rows take blocks of kTallBlockRows rows (0: never).
// Where 512-bit operations run in halves, or vectors are 256 bits wide with
// half the registers, four rows suffice.
#ifdef ORV_HALVED_512
constexpr int kTallBlockRows = 0;
#else
constexpr int kTallBlockRows = kVecLanes >= 8 ? 8 : 0;
#endif
constexpr int kBlockCols = 2 * kVecLanes;
// Depth of one packed panel of a transposed operand (kept on the stack).
constexpr i64 kPanelDepth = 256;

// A summation length of zero or below is an empty sum; clamping it keeps the
// row offsets (i * len) inside the arrays.
inline i64 sum_length(i64 len) noexcept { return len > 0 ? len : 0; }

inline i64 min_i64(i64 a, i64 b) noexcept { return a < b ? a : b; }

#define ORV_INLINE inline __attribute__((always_inline))

// Where a product's operands and result live. The left operand is addressed
// a[r * a_row + k * a_col], so that both A and A^T are read in place; the
// right operand b[k * ldb + c] has its columns packed.
struct product_args {
  const f64* a;
  i64 a_row, a_col;
  const f64* b;
  i64 ldb;
  i64 depth;          // summation length
  f64* out;
  i64 ldo;
  const f64* init;    // accumulators start here (null: at +0.0), stride ldo
  const f64* addend;  // added to each finished sum (null: nothing) ...
  i64 ld_addend;      // ... with this row stride
};

// The R-by-W block of the output at row i, column jo (column jb of b):
// out[r][c] = addend[r][c] + (init[r][c] + sum_k a[r][k] * b[k][c]), each sum
// in ascending k with one fma per term. The accumulators live in vector
// registers of the widest width dividing W.
template <int R, int W>
ORV_INLINE void product_block(const product_args& g, i64 i, i64 jo, i64 jb) noexcept {
  const f64* a = g.a + i * g.a_row;
  const f64* b = g.b + jb;
  f64* out = g.out + i * g.ldo + jo;
  const f64* init = g.init ? g.init + i * g.ldo + jo : nullptr;
  const f64* addend = g.addend ? g.addend + i * g.ld_addend + jo : nullptr;
  constexpr int N = lanes_dividing(W);
  constexpr int V = W / N;
  using lanes = vec<N>;
  lanes acc[R][V];
#pragma GCC unroll 16
  for (int r = 0; r < R; ++r)
#pragma GCC unroll 16
    for (int v = 0; v < V; ++v) acc[r][v] = init ? lanes::load(init + r * g.ldo + v * N) : lanes::zero();
  for (i64 k = 0; k < g.depth; ++k) {
    const f64* bk = b + k * g.ldb;
    lanes bv[V];
#pragma GCC unroll 16
    for (int v = 0; v < V; ++v) bv[v] = lanes::load(bk + v * N);
#pragma GCC unroll 16
    for (int r = 0; r < R; ++r) {
      const lanes ar = lanes::broadcast(a[r * g.a_row + k * g.a_col]);
#pragma GCC unroll 16
      for (int v = 0; v < V; ++v) acc[r][v] = fma(ar, bv[v], acc[r][v]);
    }
  }
#pragma GCC unroll 16
  for (int r = 0; r < R; ++r)
#pragma GCC unroll 16
    for (int v = 0; v < V; ++v) {
      const i64 c = v * N;
      const lanes sum = addend ? lanes::load(addend + r * g.ld_addend + c) + acc[r][v] : acc[r][v];
      sum.store(out + r * g.ldo + c);
    }
}

// Rows of an output block W columns wide, for blocks of up to Rows rows. A
// block keeps one accumulator chain per vector, and an FMA waits about four
// cycles for the previous one in its chain, so a block needs some four
// chains per FMA pipe to keep it busy: a block one vector wide (or
// narrower) takes twice the rows.
template <int W, int Rows>
constexpr int rows_per_block() noexcept {
  return W / lanes_dividing(W) > 1 ? Rows : 2 * Rows;
}

// All n rows of the columns [jo, jo + W) of the output: blocks of R rows,
// then what is left in blocks of 8, 4, and 3, 2 or 1.
template <int W, int Rows>
ORV_INLINE void product_rows(const product_args& g, i64 n, i64 jo, i64 jb) noexcept {
  constexpr int R = rows_per_block<W, Rows>();
  i64 i = 0;
  for (; i + R <= n; i += R) product_block<R, W>(g, i, jo, jb);
  if constexpr (R > 8) {
    if (n - i >= 8) product_block<8, W>(g, i, jo, jb), i += 8;
  }
  if constexpr (R > 4) {
    if (n - i >= 4) product_block<4, W>(g, i, jo, jb), i += 4;
  }
  switch (n - i) {
    case 3: product_block<3, W>(g, i, jo, jb); break;
    case 2: product_block<2, W>(g, i, jo, jb); break;
    case 1: product_block<1, W>(g, i, jo, jb); break;
    default: break;
  }
}

// All n rows of the w columns from jo: blocks of W while they fit, then the
// rest as blocks of W/2, W/4, ..., 1.
template <int W, int Rows>
ORV_INLINE void product_strip(const product_args& g, i64 n, i64 jo, i64 jb, i64 w) noexcept {
  for (; w >= W; w -= W, jo += W, jb += W) product_rows<W, Rows>(g, n, jo, jb);
  if constexpr (W > 1) {
    if (w > 0) product_strip<W / 2, Rows>(g, n, jo, jb, w);
  }
}

// out (n x m) = addend + init + left . b for a right operand b (depth x m)
// read in place.
inline void product_direct(const product_args& g, i64 n, i64 m) noexcept {
  product_strip<kBlockCols, kBlockRows>(g, n, 0, 0, m);
}

// product_direct in blocks of Rows rows, kept out of line.
template <int Rows>
[[gnu::noinline]] void product_direct_in_rows(const product_args& g, i64 n, i64 m) noexcept {
  product_strip<kBlockCols, Rows>(g, n, 0, 0, m);
}

// product_direct, with outputs of many rows in tall blocks where the variant
// has them. For the square products of a filter's state, which dominate its
// time. The tall blocks stay out of line, since inlined into the loops
// specialised for small unscented models they slowed those by a fifth,
// except where the height is a constant (a loop specialised for its state
// size), which inlines only the blocks it takes.
inline void product_direct_by_height(const product_args& g, i64 n, i64 m) noexcept {
  if constexpr (kTallBlockRows > 0) {
    if (n >= 2 * kTallBlockRows) {
      if (__builtin_constant_p(n)) return product_strip<kBlockCols, kTallBlockRows>(g, n, 0, 0, m);
      return product_direct_in_rows<kTallBlockRows>(g, n, m);
    }
  }
  product_direct(g, n, m);
}

// out (n x m) = addend + left . B^T with B m-by-depth, row-major: the columns
// of B^T are packed panel by panel on the stack. Between panels the partial
// sums wait in out, which stores and reloads them exactly; addend is applied
// after the last panel, so it must not be out itself when
// depth > kPanelDepth.
inline void product_transposed_b(const product_args& g, const f64* B, i64 n, i64 m) noexcept {
  const i64 depth = g.depth;
  f64 panel[kPanelDepth * kBlockCols];
  for (i64 j = 0; j < m; j += kBlockCols) {
    const i64 w = min_i64(kBlockCols, m - j);
    i64 k0 = 0;
    do {
      const i64 kc = min_i64(kPanelDepth, depth - k0);
      for (i64 k = 0; k < kc; ++k)
        for (i64 c = 0; c < w; ++c) panel[k * w + c] = B[(j + c) * depth + k0 + k];
      const bool last = k0 + kc >= depth;
      const product_args s{g.a + k0 * g.a_col, g.a_row, g.a_col, panel, w, kc, g.out,
                           g.ldo, k0 > 0 ? g.out : nullptr, last ? g.addend : nullptr,
                           g.ld_addend};
      product_strip<kBlockCols, kBlockRows>(s, n, j, 0, w);
      k0 += kc;
    } while (k0 < depth);
  }
}

// The right operand B^T of a product, for B (m x depth) row-major: packed
// from B panel by panel, or, where a loop multiplies by the same B^T every
// step, read in place from a copy BT (depth x m) made once. Every sum takes
// the same terms in the same order either way.
struct packed_transpose {
  const f64* B;
};
struct transposed_copy {
  const f64* BT;
};

// out (n x m) = addend + A (n x p) . B^T, the sum completed from +0.0 before
// addend (which may be null) is added.
inline void product_abt(const f64* A, packed_transpose b, const f64* addend, f64* out, i64 n,
                        i64 p, i64 m) noexcept {
  p = sum_length(p);
  product_transposed_b({A, p, 1, nullptr, 0, p, out, m, nullptr, addend, m}, b.B, n, m);
}
inline void product_abt(const f64* A, transposed_copy b, const f64* addend, f64* out, i64 n,
                        i64 p, i64 m) noexcept {
  p = sum_length(p);
  product_direct_by_height({A, p, 1, b.BT, m, p, out, m, nullptr, addend, m}, n, m);
}

// dst (cols x rows) = src^T, src rows x cols row-major. A loop that multiplies
// by the same transposed operand every step transposes it once, so that its
// products read it in place instead of packing it again each time.
inline void transpose_into(const f64* ORV_RESTRICT src, i64 rows, i64 cols,
                           f64* ORV_RESTRICT dst) noexcept {
  for (i64 i = 0; i < rows; ++i)
    for (i64 j = 0; j < cols; ++j) dst[j * rows + i] = src[i * cols + j];
}

// out (1 x m) = init + x^T . B for x of length p and B (p x m) read in place:
// out[j] = init[j] + sum_k x[k] B[k][j], the same sums as the matrix-vector
// product B^T x, but with the m outputs side by side in vector lanes.
// init may be null (sums start at +0.0).
inline void row_times_matrix(const f64* x, const f64* B, const f64* init, f64* out, i64 p,
                             i64 m) noexcept {
  product_direct({x, 0, 1, B, m, sum_length(p), out, m, init, nullptr, 0}, 1, m);
}

// ---- products and vector operations ----------------------------------------------

void orv_zero_mat(f64* out, i64 r, i64 c) {
  i64 count = 0;
  // Two negative extents would multiply to a positive count; a product that
  // overflows cannot describe an array anyone owns.
  if (r <= 0 || c <= 0 || __builtin_mul_overflow(r, c, &count)) return;
  std::memset(out, 0, static_cast<size_t>(count) * sizeof(f64));
}

// The pairs (i, j), i < j, of the size x size block on the diagonal of P
// (n x n) whose rows and columns start at `first`:
// P[i][j] = P[j][i] = 0.5 (P[i][j] + P[j][i]).
inline void symmetrize_pairs(f64* P, i64 n, i64 first, i64 size) noexcept {
  for (i64 i = first; i < first + size; ++i)
    for (i64 j = i + 1; j < first + size; ++j) {
      const f64 avg = 0.5 * (P[i * n + j] + P[j * n + i]);
      P[i * n + j] = avg;
      P[j * n + i] = avg;
    }
}

// The same for the block at rows [bi, bi + N), columns [bj, bj + N), bi < bj,
// and its mirror: the mirror's rows, transposed in registers, line up with
// the block's, so every pair is averaged in vector lanes (upper element
// first, as in symmetrize_pairs) and the average goes back transposed.
template <int N>
ORV_INLINE void symmetrize_block(f64* P, i64 n, i64 bi, i64 bj) noexcept {
  using lanes = vec<N>;
  lanes upper[N], lower[N];
  for (int r = 0; r < N; ++r) {
    upper[r] = lanes::load(P + (bi + r) * n + bj);
    lower[r] = lanes::load(P + (bj + r) * n + bi);
  }
  transpose(lower);
  for (int r = 0; r < N; ++r) {
    upper[r] = lanes::broadcast(0.5) * (upper[r] + lower[r]);
    upper[r].store(P + (bi + r) * n + bj);
  }
  transpose(upper);
  for (int r = 0; r < N; ++r) upper[r].store(P + (bj + r) * n + bi);
}

// P in blocks of N x N (N divides n): the blocks off the diagonal in vector
// lanes, the diagonal blocks pair by pair. Kept out of line, so that the
// loops specialised for small models, which inline their kernels, stay small.
template <int N>
[[gnu::noinline]] void symmetrize_in_blocks(f64* P, i64 n) noexcept {
  for (i64 bi = 0; bi < n; bi += N) {
    symmetrize_pairs(P, n, bi, N);
    for (i64 bj = bi + N; bj < n; bj += N) symmetrize_block<N>(P, n, bi, bj);
  }
}

void orv_sym_inplace(f64* P, i64 n) {
  // Beyond a vector's width, blocks of the widest vector that divides n;
  // smaller matrices pair by pair.
  if (n > kVecLanes) {
    if constexpr (kVecLanes >= 8) {
      if (n % 8 == 0) return symmetrize_in_blocks<8>(P, n);
    }
    if constexpr (kVecLanes >= 4) {
      if (n % 4 == 0) return symmetrize_in_blocks<4>(P, n);
      if (n % 2 == 0) return symmetrize_in_blocks<2>(P, n);
    }
  }
  if (n > 1) symmetrize_pairs(P, n, 0, n);
}

// out (n x m) = A (n x p) . B (p x m)
void orv_matmul(const f64* A, const f64* B, f64* out, i64 n, i64 p, i64 m) {
  p = sum_length(p);
  product_direct_by_height({A, p, 1, B, m, p, out, m, nullptr, nullptr, 0}, n, m);
}

// out (p x m) = A^T . B, A n x p and B n x m: the sum runs over the n rows.
void orv_matmul_atb(const f64* A, const f64* B, f64* out, i64 n, i64 p, i64 m) {
  if (n <= 0 || p <= 0 || m <= 0) {
    orv_zero_mat(out, p, m);
    return;
  }
  product_direct({A, 1, p, B, m, n, out, m, nullptr, nullptr, 0}, p, m);
}

// out (n x m) = A (n x p) . B^T, B m x p
void orv_matmul_abt(const f64* A, const f64* B, f64* out, i64 n, i64 p, i64 m) {
  product_abt(A, packed_transpose{B}, nullptr, out, n, p, m);
}

// out (n x m) = C + A . B^T: the sum is completed from +0.0, then C is added.
void orv_matmul_abt_plus_c(const f64* A, const f64* B, const f64* C, f64* out, i64 n, i64 p,
                           i64 m) {
  product_abt(A, packed_transpose{B}, C, out, n, p, m);
}

// out (n x m) += A (n x p) . B^T: each sum is completed from +0.0, then added
// to its element. Within one panel every element reads its own addend just
// before it is written, so out can be its own addend; deeper sums would park
// partial sums in out, so they go one element at a time.
inline void add_matmul_abt(const f64* A, const f64* B, f64* out, i64 n, i64 p, i64 m) noexcept {
  p = sum_length(p);
  if (p <= kPanelDepth) {
    product_transposed_b({A, p, 1, nullptr, 0, p, out, m, nullptr, out, m}, B, n, m);
    return;
  }
  for (i64 i = 0; i < n; ++i) {
    for (i64 j = 0; j < m; ++j) {
      f64 s = 0.0;
      for (i64 k = 0; k < p; ++k) s = std::fma(A[i * p + k], B[j * p + k], s);
      out[i * m + j] = out[i * m + j] + s;
    }
  }
}

// out (n) = A (n x m) . x
void orv_matvec(const f64* A, const f64* x, f64* out, i64 n, i64 m) {
  m = sum_length(m);
  product_strip<1, kBlockRows>({A, m, 1, x, 1, m, out, 1, nullptr, nullptr, 0}, n, 0, 0, 1);
}

// out (n) = b + A . x, the products fed into an accumulator holding b[i].
void orv_matvec_plus_vec(const f64* A, const f64* x, const f64* b, f64* out, i64 n, i64 m) {
  m = sum_length(m);
  product_strip<1, kBlockRows>({A, m, 1, x, 1, m, out, 1, b, nullptr, 0}, n, 0, 0, 1);
}

void orv_vsub(const f64* a, const f64* b, f64* out, i64 n) {
  for (i64 i = 0; i < n; ++i) out[i] = a[i] - b[i];
}

f64 orv_dot(const f64* a, const f64* b, i64 n) {
  f64 s = 0.0;
  for (i64 i = 0; i < n; ++i) s = std::fma(a[i], b[i], s);
  return s;
}

// ---- Cholesky factorisation and triangular solves ------------------------------------

// Column j of L below the diagonal: L[i][j] = (S[i][j] - sum_{k<j} L[i][k]
// L[j][k]) / L[j][j] for rows i in [i0, n). The rows are independent, so
// four of them advance side by side, each in its own accumulator.
inline void chol_column_below(const f64* S, f64* L, i64 n, i64 j, i64 i0) noexcept {
  const f64* l_j = L + j * n;
  const f64 pivot = l_j[j];
  i64 i = i0;
  for (; i + 4 <= n; i += 4) {
    f64* r0 = L + i * n;
    f64* r1 = r0 + n;
    f64* r2 = r1 + n;
    f64* r3 = r2 + n;
    f64 s0 = S[i * n + j], s1 = S[(i + 1) * n + j], s2 = S[(i + 2) * n + j],
        s3 = S[(i + 3) * n + j];
    for (i64 k = 0; k < j; ++k) {
      const f64 ljk = l_j[k];
      s0 = std::fma(-r0[k], ljk, s0);
      s1 = std::fma(-r1[k], ljk, s1);
      s2 = std::fma(-r2[k], ljk, s2);
      s3 = std::fma(-r3[k], ljk, s3);
    }
    r0[j] = s0 / pivot;
    r1[j] = s1 / pivot;
    r2[j] = s2 / pivot;
    r3[j] = s3 / pivot;
  }
  for (; i < n; ++i) {
    f64* r = L + i * n;
    f64 s = S[i * n + j];
    for (i64 k = 0; k < j; ++k) s = std::fma(-r[k], l_j[k], s);
    r[j] = s / pivot;
  }
}

// Row-by-row Cholesky with a relative pivot tolerance. Each entry is the
// same sum as in the row-by-row order (S[i][j] minus L[i][k] L[j][k] for
// ascending k, by fused multiply-subtracts), computed here column by column
// so that the rows below a pivot advance together.
int orv_chol(const f64* S, f64 jitter, f64* L, i64 n) {
  orv_zero_mat(L, n, n);
  if (n <= 0) return 0;
  const bool add_jitter = jitter > 0.0;  // false for NaN as well

  // The tolerance is relative to the largest diagonal entry; NaN and
  // negative entries never raise it.
  f64 scale = 0.0;
  for (i64 i = 0; i < n; ++i) {
    const f64 d = add_jitter ? S[i * n + i] + jitter : S[i * n + i];
    if (d > scale) scale = d;
  }
  const f64 pivot_tol = (static_cast<f64>(n) * scale) * kEpsilon;

  for (i64 j = 0; j < n; ++j) {
    f64* l_j = L + j * n;
    f64 s = S[j * n + j];
    if (add_jitter) s = s + jitter;
    for (i64 k = 0; k < j; ++k) s = std::fma(-l_j[k], l_j[k], s);
    if (s <= pivot_tol) {  // a NaN pivot passes this test
      // What a row-by-row factorisation would hold on failing at row j:
      // rows below it not yet started.
      orv_zero_mat(L + (j + 1) * n, n - 1 - j, n);
      return -1;
    }
    l_j[j] = std::sqrt(s);
    chol_column_below(S, L, n, j, j + 1);
  }
  return 0;
}

f64 orv_logdet_from_chol(const f64* L, i64 n) {
  f64 s = 0.0;
  for (i64 i = 0; i < n; ++i) s = s + std::log(L[i * n + i]);
  return s + s;
}

// out solves L . out = b; out may be b (b[i] is read before out[i] is written).
void orv_forward_subst(const f64* L, const f64* b, f64* out, i64 n) {
  for (i64 i = 0; i < n; ++i) {
    const f64* l_i = L + i * n;
    f64 s = 0.0;
    for (i64 j = 0; j < i; ++j) s = std::fma(l_i[j], out[j], s);
    out[i] = (b[i] - s) / l_i[i];
  }
}

// out solves L^T . out = b; out may be b.
void orv_backward_subst_chol_t(const f64* L, const f64* b, f64* out, i64 n) {
  if (n <= 0) return;  // n - 1 would overflow for the most negative n
  for (i64 i = n - 1; i >= 0; --i) {
    // s = sum_{j>i} L[j][i] * out[j], walking down column i of L
    f64 s = 0.0;
    for (i64 j = i + 1; j < n; ++j) s = std::fma(L[j * n + i], out[j], s);
    out[i] = (b[i] - s) / L[i * n + i];
  }
}

#ifdef ORV_PRIVATE_KERNELS
}  // namespace
#pragma GCC diagnostic pop
#endif
}  // namespace ORV_VARIANT

#endif  // ORV_LINALG_IMPL_H
