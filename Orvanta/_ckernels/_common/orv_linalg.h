/* Dense real linear-algebra kernels.
 *
 * Storage: every matrix is a contiguous row-major array of f64; an r-by-c
 * matrix keeps element (i, j) at index i*c + j. There are no strides or
 * transpose flags: each transposed product has a function of its own.
 *
 * Arithmetic: every sum has one accumulator, starting at +0.0 unless stated,
 * that takes its terms in ascending index order, each by one fused
 * multiply-add (exact product, one rounding). Nothing is reassociated, so the
 * same inputs give the same bits on every machine and build.
 *
 * Sizes are i64 by value; a size of zero or below is an empty operation.
 * Pointer parameters marked ORV_RESTRICT must not overlap. Nothing here
 * allocates, fails, or touches global state. */
#ifndef ORV_LINALG_H
#define ORV_LINALG_H

#include "orv_common.h"

ORV_BEGIN_C

/* ---- products and vector operations ---------------------------------- */

/* out[0 .. r*c) = +0.0 when r*c > 0; otherwise nothing is written. */
ORV_API void orv_zero_mat(f64* out, i64 r, i64 c);

/* P (n-by-n): each off-diagonal pair becomes 0.5 * (P[i][j] + P[j][i]);
 * the diagonal is untouched. */
ORV_API void orv_sym_inplace(f64* P, i64 n);

/* out (n-by-m) = A (n-by-p) . B (p-by-m). */
ORV_API void orv_matmul(const f64* ORV_RESTRICT A, const f64* ORV_RESTRICT B,
                        f64* ORV_RESTRICT out, i64 n, i64 p, i64 m);

/* out (p-by-m) = A^T . B with A n-by-p and B n-by-m; the sum runs over the
 * n rows. out is cleared first (when p*m > 0). */
ORV_API void orv_matmul_atb(const f64* ORV_RESTRICT A, const f64* ORV_RESTRICT B,
                            f64* ORV_RESTRICT out, i64 n, i64 p, i64 m);

/* out (n-by-m) = A (n-by-p) . B^T with B m-by-p. */
ORV_API void orv_matmul_abt(const f64* ORV_RESTRICT A, const f64* ORV_RESTRICT B,
                            f64* ORV_RESTRICT out, i64 n, i64 p, i64 m);

/* out (n-by-m) = C + A . B^T: the product sum is completed from +0.0, then
 * C is added with one rounding. */
ORV_API void orv_matmul_abt_plus_c(const f64* ORV_RESTRICT A,
                                   const f64* ORV_RESTRICT B,
                                   const f64* ORV_RESTRICT C,
                                   f64* ORV_RESTRICT out, i64 n, i64 p, i64 m);

/* out (n) = A (n-by-m) . x (m). */
ORV_API void orv_matvec(const f64* ORV_RESTRICT A, const f64* ORV_RESTRICT x,
                        f64* ORV_RESTRICT out, i64 n, i64 m);

/* out (n) = b + A . x, the products fed into an accumulator holding b[i]. */
ORV_API void orv_matvec_plus_vec(const f64* ORV_RESTRICT A,
                                 const f64* ORV_RESTRICT x,
                                 const f64* ORV_RESTRICT b,
                                 f64* ORV_RESTRICT out, i64 n, i64 m);

/* out = a - b elementwise; out may be a or b. */
ORV_API void orv_vsub(const f64* a, const f64* b, f64* out, i64 n);

/* sum of a[i] * b[i]; +0.0 for n <= 0. */
ORV_API f64 orv_dot(const f64* ORV_RESTRICT a, const f64* ORV_RESTRICT b, i64 n);

/* ---- Cholesky factorisation and triangular solves ---------------------- */

/* L (n-by-n) = lower Cholesky factor of S + jitter*I (jitter added only when
 * it is > 0). Only the lower triangle of S is read; L is cleared first, so
 * its upper triangle is +0.0. A pivot s fails when s <= n * scale * 2^-52,
 * scale being the largest (jittered) diagonal entry of S, at least 0.
 * Returns 0, or -1 at the first failing pivot. A NaN pivot does not fail. */
ORV_API int orv_chol(const f64* ORV_RESTRICT S, f64 jitter, f64* ORV_RESTRICT L,
                     i64 n);

/* log det(L . L^T) = 2 * sum of log L[i][i]; 0.0 for n <= 0. */
ORV_API f64 orv_logdet_from_chol(const f64* L, i64 n);

/* out solves L . out = b (L lower triangular); out may be b. */
ORV_API void orv_forward_subst(const f64* ORV_RESTRICT L, const f64* b, f64* out,
                               i64 n);

/* out solves L^T . out = b (L lower triangular); out may be b. */
ORV_API void orv_backward_subst_chol_t(const f64* ORV_RESTRICT L, const f64* b,
                                       f64* out, i64 n);

ORV_END_C

#endif /* ORV_LINALG_H */
