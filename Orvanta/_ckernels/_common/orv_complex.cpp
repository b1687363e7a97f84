// Dense complex kernels: matrix product and LU factorisation, solve and
// inverse. The structure follows the real LU in orv_linalg.cpp step for step;
// the differences are the arithmetic (c128_mul, c128_div and friends from the
// header) and the pivot search on squared moduli.

#include "orv_complex.h"
#include "orv_lu_records.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

void c128_matmul(const c128* ORV_RESTRICT A, const c128* ORV_RESTRICT B, i64 m, i64 n,
                 i64 p, c128* ORV_RESTRICT out) {
  for (i64 i = 0; i < m; ++i) {
    for (i64 j = 0; j < p; ++j) {
      c128 sum = c128_make(0.0, 0.0);
      for (i64 k = 0; k < n; ++k) sum = c128_add(sum, c128_mul(A[i * n + k], B[k * p + j]));
      out[i * p + j] = sum;
    }
  }
}

i64 c128_lu_factor_inplace(c128* ORV_RESTRICT A, i64* ORV_RESTRICT pivot, i64 n) {
  if (A == nullptr || pivot == nullptr || n <= 0) return ORV_LU_ERR_ARG;
  for (i64 k = 0; k < n; ++k) {
    // Squared moduli spare the square root; the strict '>' keeps the topmost
    // of equal candidates, and NaN never wins nor is displaced.
    i64 piv = k;
    f64 best = c128_abs2(A[k * n + k]);
    for (i64 i = k + 1; i < n; ++i) {
      const f64 v = c128_abs2(A[i * n + k]);
      if (v > best) {
        best = v;
        piv = i;
      }
    }
    pivot[k] = piv;
    if (best == 0.0) return ORV_LU_ERR_SINGULAR;
    c128* a_k = A + k * n;
    if (piv != k) std::swap_ranges(a_k, a_k + n, A + piv * n);

    const c128 akk = a_k[k];
    for (i64 i = k + 1; i < n; ++i) {
      c128* a_i = A + i * n;
      const c128 lik = c128_div(a_i[k], akk);
      a_i[k] = lik;
      for (i64 j = k + 1; j < n; ++j) a_i[j] = c128_sub(a_i[j], c128_mul(lik, a_k[j]));
    }
  }
  return ORV_LU_OK;
}

c128_lu c128_lu_factor(const c128* A, i64 n) {
  return lu_factor_copy<c128_lu>(A, n, c128_lu_factor_inplace, ORV_LU_ERR_ARG);
}

void c128_lu_free(c128_lu* lu) { lu_release(lu); }

void c128_lu_solve(const c128* ORV_RESTRICT LU, const i64* ORV_RESTRICT piv,
                   const c128* ORV_RESTRICT B, c128* ORV_RESTRICT X, i64 n, i64 m) {
  if (n <= 0 || m <= 0) return;
  permuted_copy(B, piv, X, n, m);

  for (i64 i = 1; i < n; ++i) {
    c128* x_i = X + i * m;
    for (i64 k = 0; k < i; ++k) {
      const c128 lik = LU[i * n + k];
      const c128* x_k = X + k * m;
      for (i64 j = 0; j < m; ++j) x_i[j] = c128_sub(x_i[j], c128_mul(lik, x_k[j]));
    }
  }
  for (i64 i = n - 1; i >= 0; --i) {
    c128* x_i = X + i * m;
    for (i64 k = i + 1; k < n; ++k) {
      const c128 uik = LU[i * n + k];
      const c128* x_k = X + k * m;
      for (i64 j = 0; j < m; ++j) x_i[j] = c128_sub(x_i[j], c128_mul(uik, x_k[j]));
    }
    const c128 uii = LU[i * n + i];
    for (i64 j = 0; j < m; ++j) x_i[j] = c128_div(x_i[j], uii);
  }
}

i64 c128_solve(const c128* ORV_RESTRICT A, const c128* ORV_RESTRICT B, i64 n, i64 m,
               c128* ORV_RESTRICT X) {
  if (m > 0 && (B == nullptr || X == nullptr)) return ORV_LU_ERR_ARG;
  c128_lu f = c128_lu_factor(A, n);
  const i64 err = f.err;  // c128_lu_free clears the record
  if (err == ORV_LU_OK) c128_lu_solve(f.lu, f.piv, B, X, n, m);
  c128_lu_free(&f);
  return err;
}

i64 c128_inv(const c128* ORV_RESTRICT A, i64 n, c128* ORV_RESTRICT Ainv) {
  if (A == nullptr || Ainv == nullptr || n <= 0) return ORV_LU_ERR_ARG;
  c128* eye = alloc_array<c128>(n, n);
  if (eye == nullptr) return ORV_LU_ERR_ARG;
  for (i64 i = 0; i < n * n; ++i) eye[i] = c128_make(0.0, 0.0);
  for (i64 i = 0; i < n; ++i) eye[i * n + i] = c128_make(1.0, 0.0);
  const i64 err = c128_solve(A, eye, n, n, Ainv);
  std::free(eye);
  return err;
}
