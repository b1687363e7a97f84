// Dense real kernels: the exported products, symmetrisation, dot products,
// Cholesky factorisation and triangular solves (bound to a per-instruction-set
// variant, see orv_linalg_impl.h), and LU factorisation, normal equations and
// the median, defined here.
//
// Every accumulation is written as an explicit std::fma chain in ascending
// index order. The build disables floating-point contraction, so the compiler
// can neither fuse the plain operations nor split these chains: the bits of
// every result are fixed by the source text.

#include "orv_linalg.h"

#include "orv_linalg_variants.h"
#include "orv_lu_records.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace {

// x / pivot, carried out as x * inv with inv = 1.0 / pivot rounded once per
// pivot. A pivot below about 2^-1024 in magnitude has no finite reciprocal;
// multiplying by infinity would turn a well-posed elimination into inf and
// NaN, so such a pivot is divided by directly.
inline f64 by_pivot(f64 x, f64 pivot, f64 inv) noexcept {
  return std::isinf(inv) ? x / pivot : x * inv;
}

// Strict weak order for qsort: ascending, +0.0 and -0.0 equal, and every NaN
// after every number and equal to every other NaN. A comparator that calls
// NaN equal to everything is not transitive, and qsort implementations may
// then run past the ends of the array.
int orv_cmp_f64(const void* pa, const void* pb) {
  const f64 fa = *static_cast<const f64*>(pa);
  const f64 fb = *static_cast<const f64*>(pb);
  const bool nan_a = std::isnan(fa);
  const bool nan_b = std::isnan(fb);
  if (nan_a || nan_b) return static_cast<int>(nan_a) - static_cast<int>(nan_b);
  return static_cast<int>(fa > fb) - static_cast<int>(fa < fb);
}

}  // namespace

// ---- products, vector operations, Cholesky factorisation and solves --------------
//
// Compiled once per instruction set (orv_linalg_variant.cpp); each exported
// name is bound to the variant the processor supports when the library is
// loaded.

ORV_LINALG_VARIANT_FUNCTIONS(ORV_DISPATCH)

// ---- LU factorisation with partial pivoting -----------------------------------

i64 orv_lu_factor_inplace(f64* ORV_RESTRICT A, i64* ORV_RESTRICT pivot, i64 n) {
  if (A == nullptr || pivot == nullptr || n <= 0) return ORV_LU_ERR_ARG;
  for (i64 k = 0; k < n; ++k) {
    // Strict '>' keeps the topmost of equal magnitudes; a NaN candidate never
    // wins and a NaN on the diagonal is never displaced.
    i64 piv = k;
    f64 best = std::fabs(A[k * n + k]);
    for (i64 i = k + 1; i < n; ++i) {
      const f64 v = std::fabs(A[i * n + k]);
      if (v > best) {
        best = v;
        piv = i;
      }
    }
    pivot[k] = piv;
    if (best == 0.0) return ORV_LU_ERR_SINGULAR;
    f64* a_k = A + k * n;
    // The whole row moves, multipliers of earlier steps included.
    if (piv != k) std::swap_ranges(a_k, a_k + n, A + piv * n);

    const f64 akk = a_k[k];
    const f64 inv_akk = 1.0 / akk;
    for (i64 i = k + 1; i < n; ++i) {
      f64* a_i = A + i * n;
      const f64 lik = by_pivot(a_i[k], akk, inv_akk);
      a_i[k] = lik;
      for (i64 j = k + 1; j < n; ++j) a_i[j] = std::fma(-lik, a_k[j], a_i[j]);
    }
  }
  return ORV_LU_OK;
}

f64_lu orv_lu_factor(const f64* A, i64 n) {
  return lu_factor_copy<f64_lu>(A, n, orv_lu_factor_inplace, ORV_LU_ERR_ARG);
}

void orv_lu_free(f64_lu* lu) { lu_release(lu); }

void orv_lu_solve(const f64* ORV_RESTRICT LU, const i64* ORV_RESTRICT piv,
                  const f64* ORV_RESTRICT B, f64* ORV_RESTRICT X, i64 n, i64 m) {
  if (n <= 0 || m <= 0) return;
  permuted_copy(B, piv, X, n, m);

  // Every update runs along a row of X, so all m right-hand sides share one
  // pass over the factors.
  for (i64 i = 1; i < n; ++i) {
    f64* x_i = X + i * m;
    for (i64 k = 0; k < i; ++k) {
      const f64 lik = LU[i * n + k];
      const f64* x_k = X + k * m;
      for (i64 j = 0; j < m; ++j) x_i[j] = std::fma(-lik, x_k[j], x_i[j]);
    }
  }
  for (i64 i = n - 1; i >= 0; --i) {
    f64* x_i = X + i * m;
    for (i64 k = i + 1; k < n; ++k) {
      const f64 uik = LU[i * n + k];
      const f64* x_k = X + k * m;
      for (i64 j = 0; j < m; ++j) x_i[j] = std::fma(-uik, x_k[j], x_i[j]);
    }
    const f64 uii = LU[i * n + i];
    const f64 inv_uii = 1.0 / uii;
    for (i64 j = 0; j < m; ++j) x_i[j] = by_pivot(x_i[j], uii, inv_uii);
  }
}

i64 orv_solve(const f64* ORV_RESTRICT A, const f64* ORV_RESTRICT B, i64 n, i64 m,
              f64* ORV_RESTRICT X) {
  if (m > 0 && (B == nullptr || X == nullptr)) return ORV_LU_ERR_ARG;
  f64_lu f = orv_lu_factor(A, n);
  const i64 err = f.err;  // orv_lu_free clears the record
  if (err == ORV_LU_OK) orv_lu_solve(f.lu, f.piv, B, X, n, m);
  orv_lu_free(&f);
  return err;
}

i64 orv_inv(const f64* ORV_RESTRICT A, i64 n, f64* ORV_RESTRICT Ainv) {
  if (A == nullptr || Ainv == nullptr || n <= 0) return ORV_LU_ERR_ARG;
  f64* eye = alloc_array<f64>(n, n);
  if (eye == nullptr) return ORV_LU_ERR_ARG;
  orv_zero_mat(eye, n, n);
  for (i64 i = 0; i < n; ++i) eye[i * n + i] = 1.0;
  const i64 err = orv_solve(A, eye, n, n, Ainv);
  std::free(eye);
  return err;
}

// ---- normal equations and order statistics ---------------------------------

void orv_gram(const f64* ORV_RESTRICT X, f64* ORV_RESTRICT G, i64 n, i64 p) {
  orv_zero_mat(G, p, p);
  // One pass over the rows of X feeds every lower-triangle entry its terms
  // in ascending row order.
  for (i64 r = 0; r < n; ++r) {
    const f64* x_r = X + r * p;
    for (i64 a = 0; a < p; ++a) {
      const f64 xra = x_r[a];
      f64* g_a = G + a * p;
      for (i64 b = 0; b <= a; ++b) g_a[b] = std::fma(xra, x_r[b], g_a[b]);
    }
  }
  for (i64 a = 1; a < p; ++a)
    for (i64 b = 0; b < a; ++b) G[b * p + a] = G[a * p + b];
}

void orv_gram_rhs(const f64* ORV_RESTRICT X, const f64* ORV_RESTRICT y,
                  f64* ORV_RESTRICT g, i64 n, i64 p) {
  if (p <= 0) return;
  for (i64 a = 0; a < p; ++a) g[a] = 0.0;
  for (i64 r = 0; r < n; ++r) {
    const f64 yr = y[r];
    const f64* x_r = X + r * p;
    for (i64 a = 0; a < p; ++a) g[a] = std::fma(x_r[a], yr, g[a]);
  }
}

int orv_chol_solve(const f64* ORV_RESTRICT G, const f64* ORV_RESTRICT g,
                   f64* ORV_RESTRICT coef, f64* ORV_RESTRICT scratch_L, i64 p) {
  const int status = orv_chol(G, 0.0, scratch_L, p);
  if (status != 0) return status;
  orv_forward_subst(scratch_L, g, coef, p);
  orv_backward_subst_chol_t(scratch_L, coef, coef, p);
  return 0;
}

int orv_chol_inv(const f64* ORV_RESTRICT G, f64* ORV_RESTRICT Pinv,
                 f64* ORV_RESTRICT scratch_L, i64 p) {
  const int status = orv_chol(G, 0.0, scratch_L, p);
  if (status != 0) return status;
  const f64* L = scratch_L;
  // Column j is the two triangular solves for the unit vector e_j, done in
  // place down column j of Pinv.
  for (i64 j = 0; j < p; ++j) {
    for (i64 i = 0; i < p; ++i) {
      f64 s = 0.0;
      for (i64 t = 0; t < i; ++t) s = std::fma(L[i * p + t], Pinv[t * p + j], s);
      const f64 e = (i == j) ? 1.0 : 0.0;
      Pinv[i * p + j] = (e - s) / L[i * p + i];
    }
    for (i64 i = p - 1; i >= 0; --i) {
      f64 s = 0.0;
      for (i64 t = i + 1; t < p; ++t) s = std::fma(L[t * p + i], Pinv[t * p + j], s);
      Pinv[i * p + j] = (Pinv[i * p + j] - s) / L[i * p + i];
    }
  }
  return 0;
}

void orv_sort_f64(f64* arr, i64 n) {
  if (n > 1) std::qsort(arr, static_cast<std::size_t>(n), sizeof(f64), orv_cmp_f64);
}

f64 orv_median_f64(f64* arr, i64 n) {
  constexpr f64 kNaN = std::numeric_limits<f64>::quiet_NaN();
  if (n <= 0) return kNaN;
  orv_sort_f64(arr, n);
  // NaNs sort last: one anywhere makes the median undefined, not the value
  // of whichever entry the sort happened to leave in the middle.
  if (std::isnan(arr[n - 1])) return kNaN;
  if (n % 2 == 1) return arr[n / 2];
  const f64 lo = arr[n / 2 - 1];
  const f64 hi = arr[n / 2];
  const f64 sum = lo + hi;
  // Two finite values whose sum overflows are both far from the subnormal
  // range, so halving each first is exact and gives their rounded mean.
  if (std::isinf(sum) && std::isfinite(lo) && std::isfinite(hi)) return 0.5 * lo + 0.5 * hi;
  return 0.5 * sum;
}
