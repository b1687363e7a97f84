// Dense real kernels: products, symmetrisation, dot products, Cholesky
// factorisation and triangular solves.
//
// Every accumulation below is written as an explicit std::fma chain in
// ascending index order. The build disables floating-point contraction, so
// the compiler can neither fuse the plain operations nor split these chains:
// the bits of every result are fixed by the source text.

#include "orv_linalg.h"

#include <cmath>
#include <cstring>

namespace {

// 2^-52, the spacing of doubles at 1.0.
constexpr f64 kEpsilon = 0x1p-52;

// A summation length of zero or below is an empty sum; clamping it keeps the
// row offsets (i * len) inside the arrays.
inline i64 sum_length(i64 len) noexcept { return len > 0 ? len : 0; }

// s + sum_{k<len} a[k * a_step] * b[k * b_step], one fused step per term.
inline f64 fma_chain(f64 s, const f64* a, i64 a_step, const f64* b, i64 b_step,
                     i64 len) noexcept {
  for (i64 k = 0; k < len; ++k) s = std::fma(a[k * a_step], b[k * b_step], s);
  return s;
}

}  // namespace

// ---- products and vector operations ----------------------------------------

void orv_zero_mat(f64* out, i64 r, i64 c) {
  i64 count = 0;
  // A product that overflows cannot describe an array anyone owns.
  if (__builtin_mul_overflow(r, c, &count) || count <= 0) return;
  std::memset(out, 0, static_cast<size_t>(count) * sizeof(f64));
}

void orv_sym_inplace(f64* P, i64 n) {
  for (i64 i = 0; i < n; ++i) {
    for (i64 j = i + 1; j < n; ++j) {
      const f64 avg = 0.5 * (P[i * n + j] + P[j * n + i]);
      P[i * n + j] = avg;
      P[j * n + i] = avg;
    }
  }
}

void orv_matmul(const f64* ORV_RESTRICT A, const f64* ORV_RESTRICT B,
                f64* ORV_RESTRICT out, i64 n, i64 p, i64 m) {
  p = sum_length(p);
  for (i64 i = 0; i < n; ++i)
    for (i64 j = 0; j < m; ++j)
      // out[i][j] = sum_k A[i][k] * B[k][j]
      out[i * m + j] = fma_chain(0.0, A + i * p, 1, B + j, m, p);
}

void orv_matmul_atb(const f64* ORV_RESTRICT A, const f64* ORV_RESTRICT B,
                    f64* ORV_RESTRICT out, i64 n, i64 p, i64 m) {
  orv_zero_mat(out, p, m);
  if (n <= 0 || p <= 0 || m <= 0) return;
  // Row i of A and B adds term i to every out[k][l]; rows enter in ascending
  // order, so each output still sums its terms in ascending i.
  for (i64 i = 0; i < n; ++i) {
    const f64* a_row = A + i * p;
    const f64* b_row = B + i * m;
    for (i64 k = 0; k < p; ++k) {
      const f64 aik = a_row[k];
      f64* out_row = out + k * m;
      for (i64 l = 0; l < m; ++l) out_row[l] = std::fma(aik, b_row[l], out_row[l]);
    }
  }
}

void orv_matmul_abt(const f64* ORV_RESTRICT A, const f64* ORV_RESTRICT B,
                    f64* ORV_RESTRICT out, i64 n, i64 p, i64 m) {
  p = sum_length(p);
  for (i64 i = 0; i < n; ++i)
    for (i64 j = 0; j < m; ++j)
      // out[i][j] = sum_k A[i][k] * B[j][k]
      out[i * m + j] = fma_chain(0.0, A + i * p, 1, B + j * p, 1, p);
}

void orv_matmul_abt_plus_c(const f64* ORV_RESTRICT A, const f64* ORV_RESTRICT B,
                           const f64* ORV_RESTRICT C, f64* ORV_RESTRICT out,
                           i64 n, i64 p, i64 m) {
  p = sum_length(p);
  for (i64 i = 0; i < n; ++i)
    for (i64 j = 0; j < m; ++j)
      // out[i][j] = C[i][j] + (sum_k A[i][k] * B[j][k])
      out[i * m + j] = C[i * m + j] + fma_chain(0.0, A + i * p, 1, B + j * p, 1, p);
}

void orv_matvec(const f64* ORV_RESTRICT A, const f64* ORV_RESTRICT x,
                f64* ORV_RESTRICT out, i64 n, i64 m) {
  m = sum_length(m);
  for (i64 i = 0; i < n; ++i) out[i] = fma_chain(0.0, A + i * m, 1, x, 1, m);
}

void orv_matvec_plus_vec(const f64* ORV_RESTRICT A, const f64* ORV_RESTRICT x,
                         const f64* ORV_RESTRICT b, f64* ORV_RESTRICT out, i64 n,
                         i64 m) {
  m = sum_length(m);
  for (i64 i = 0; i < n; ++i) out[i] = fma_chain(b[i], A + i * m, 1, x, 1, m);
}

void orv_vsub(const f64* a, const f64* b, f64* out, i64 n) {
  for (i64 i = 0; i < n; ++i) out[i] = a[i] - b[i];
}

f64 orv_dot(const f64* ORV_RESTRICT a, const f64* ORV_RESTRICT b, i64 n) {
  return fma_chain(0.0, a, 1, b, 1, n);
}

// ---- Cholesky factorisation and triangular solves ----------------------------

int orv_chol(const f64* ORV_RESTRICT S, f64 jitter, f64* ORV_RESTRICT L, i64 n) {
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

  for (i64 i = 0; i < n; ++i) {
    const f64* l_i = L + i * n;
    for (i64 j = 0; j <= i; ++j) {
      f64 s = S[i * n + j];
      if (j == i && add_jitter) s = s + jitter;
      // s -= sum_{k<j} L[i][k] * L[j][k], each by one fused multiply-subtract
      const f64* l_j = L + j * n;
      for (i64 k = 0; k < j; ++k) s = std::fma(-l_i[k], l_j[k], s);
      if (j == i) {
        if (s <= pivot_tol) return -1;  // a NaN pivot passes this test
        L[i * n + i] = std::sqrt(s);
      } else {
        L[i * n + j] = s / L[j * n + j];
      }
    }
  }
  return 0;
}

f64 orv_logdet_from_chol(const f64* L, i64 n) {
  f64 s = 0.0;
  for (i64 i = 0; i < n; ++i) s = s + std::log(L[i * n + i]);
  return s + s;
}

void orv_forward_subst(const f64* ORV_RESTRICT L, const f64* b, f64* out, i64 n) {
  for (i64 i = 0; i < n; ++i) {
    // s = sum_{j<i} L[i][j] * out[j]; b[i] is read before out[i] is written
    const f64 s = fma_chain(0.0, L + i * n, 1, out, 1, i);
    out[i] = (b[i] - s) / L[i * n + i];
  }
}

void orv_backward_subst_chol_t(const f64* ORV_RESTRICT L, const f64* b, f64* out,
                               i64 n) {
  for (i64 i = n - 1; i >= 0; --i) {
    // s = sum_{j>i} L[j][i] * out[j], walking down column i of L
    f64 s = 0.0;
    for (i64 j = i + 1; j < n; ++j) s = std::fma(L[j * n + i], out[j], s);
    out[i] = (b[i] - s) / L[i * n + i];
  }
}
