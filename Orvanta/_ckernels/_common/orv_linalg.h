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
 * Pointer parameters marked ORV_RESTRICT must not overlap. Only the LU
 * functions allocate (and release everything except what orv_lu_factor hands
 * over); nothing touches global state. */
#ifndef ORV_LINALG_H
#define ORV_LINALG_H

#include "orv_common.h"

ORV_BEGIN_C

/* ---- products and vector operations ---------------------------------- */

/* out[0 .. r*c) = +0.0 when r > 0 and c > 0; otherwise nothing is written. */
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

/* ---- LU factorisation with partial pivoting ---------------------------- */

/* Status of the LU functions. */
enum {
  ORV_LU_OK = 0,
  ORV_LU_ERR_ARG = -1,      /* null matrix or pivot pointer, n <= 0, or no memory */
  ORV_LU_ERR_SINGULAR = -2  /* every candidate pivot of a column is exactly 0 */
};

/* A factorisation with its own memory, released by orv_lu_free. The arrays
 * are handed over whenever they were allocated, so also with err == -2,
 * where they hold the partly eliminated matrix. */
typedef struct f64_lu {
  f64* lu;   /* n-by-n: unit-lower L strictly below the diagonal, U on and
                above; null when err == -1 */
  i64* piv;  /* n interchanges: row k was exchanged with row piv[k] >= k at
                step k; null when err == -1 */
  i64 n;     /* the order as passed, also on failure */
  i64 err;   /* ORV_LU_OK, ORV_LU_ERR_ARG or ORV_LU_ERR_SINGULAR */
} f64_lu;

/* Factors A (n-by-n) in place: L . U = A with its rows interchanged as
 * pivot[0 .. n) says, in ascending order. The pivot of a column is its
 * candidate of largest magnitude, the topmost among equals; any non-zero
 * pivot is accepted. Rows are eliminated with the pivot's reciprocal.
 * Returns ORV_LU_ERR_ARG without writing when A or pivot is null or n <= 0;
 * ORV_LU_ERR_SINGULAR at step k leaves A partly eliminated and pivot[0 .. k]
 * set. */
ORV_API i64 orv_lu_factor_inplace(f64* ORV_RESTRICT A, i64* ORV_RESTRICT pivot,
                                  i64 n);

/* Copies A (n-by-n) and factors the copy; see f64_lu for what the record
 * holds. A is only read. */
ORV_API f64_lu orv_lu_factor(const f64* A, i64 n);

/* Frees both arrays of *lu and zeroes all four fields, so a second call does
 * nothing; a null lu does nothing. */
ORV_API void orv_lu_free(f64_lu* lu);

/* X (n-by-m) solves A . X = B (n-by-m) for the factors LU, piv of A (status
 * 0). Each entry of X starts from the interchanged B and receives its updates
 * in ascending order; nothing is written when n <= 0 or m <= 0. */
ORV_API void orv_lu_solve(const f64* ORV_RESTRICT LU, const i64* ORV_RESTRICT piv,
                          const f64* ORV_RESTRICT B, f64* ORV_RESTRICT X, i64 n,
                          i64 m);

/* X (n-by-m) solves A . X = B. Returns the factorisation status, or
 * ORV_LU_ERR_ARG when m > 0 and B or X is null; X is written only on
 * success. Nothing stays allocated. */
ORV_API i64 orv_solve(const f64* ORV_RESTRICT A, const f64* ORV_RESTRICT B, i64 n,
                      i64 m, f64* ORV_RESTRICT X);

/* Ainv (n-by-n) = A^-1, solved against the identity. Returns as orv_solve
 * (ORV_LU_ERR_ARG also when Ainv is null); Ainv is written only on success.
 * Nothing stays allocated. */
ORV_API i64 orv_inv(const f64* ORV_RESTRICT A, i64 n, f64* ORV_RESTRICT Ainv);

/* ---- normal equations and order statistics ----------------------------- */

/* G (p-by-p) = X^T . X for X n-by-p: the lower triangle is accumulated row
 * by row of X, then mirrored, so G is exactly symmetric. +0.0 for n <= 0. */
ORV_API void orv_gram(const f64* ORV_RESTRICT X, f64* ORV_RESTRICT G, i64 n, i64 p);

/* g (p) = X^T . y for X n-by-p and y (n); nothing is written when p <= 0. */
ORV_API void orv_gram_rhs(const f64* ORV_RESTRICT X, const f64* ORV_RESTRICT y,
                          f64* ORV_RESTRICT g, i64 n, i64 p);

/* coef (p) solves G . coef = g through the Cholesky factor of G, built
 * without jitter in scratch_L (p-by-p). Returns the status of orv_chol;
 * coef is written only on success. */
ORV_API int orv_chol_solve(const f64* ORV_RESTRICT G, const f64* ORV_RESTRICT g,
                           f64* ORV_RESTRICT coef, f64* ORV_RESTRICT scratch_L,
                           i64 p);

/* Pinv (p-by-p) = G^-1, column by column through the Cholesky factor of G
 * in scratch_L (p-by-p); the triangles are not symmetrised. Returns the
 * status of orv_chol; Pinv is written only on success. */
ORV_API int orv_chol_inv(const f64* ORV_RESTRICT G, f64* ORV_RESTRICT Pinv,
                         f64* ORV_RESTRICT scratch_L, i64 p);

/* Sorts arr (n) in place in ascending order; NaNs end up after every number.
 * Not stable: equal values such as +0.0 and -0.0 keep no particular order. */
ORV_API void orv_sort_f64(f64* arr, i64 n);

/* Sorts arr (n) in place and returns its median: the middle entry, or the
 * average of the two middle entries (0.5 * (lo + hi), halved first only when
 * that sum overflows). A quiet NaN when n <= 0 or arr holds a NaN. */
ORV_API f64 orv_median_f64(f64* arr, i64 n);

ORV_END_C

#endif /* ORV_LINALG_H */
