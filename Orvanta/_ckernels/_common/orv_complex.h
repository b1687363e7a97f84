/* Dense complex linear-algebra kernels: a matrix product and LU
 * factorisation with partial pivoting, solve and inverse.
 *
 * Storage: a complex matrix is a contiguous row-major array of c128, whose
 * parts interleave (re, im); element (i, j) of an r-by-c matrix is at index
 * i*c + j. Sizes are i64 by value; pointer parameters marked ORV_RESTRICT
 * must not overlap.
 *
 * Arithmetic: every complex operation goes through the inline functions
 * below, whose roundings are fixed part by part, so results are the same to
 * the bit on every build. The LU functions share their checks, status codes
 * (ORV_LU_*), memory handling and loop orders with the real ones in
 * orv_linalg.h. Usable from C99 and from C++. */
#ifndef ORV_COMPLEX_H
#define ORV_COMPLEX_H

#include <math.h>

#include "orv_common.h"
#include "orv_linalg.h"

ORV_BEGIN_C

typedef struct c128 {
  f64 re;
  f64 im;
} c128;

/* The complex counterpart of f64_lu: same fields, meaning and ownership,
 * with an n-by-n array of c128 factors. Release it with c128_lu_free. */
typedef struct c128_lu {
  c128* lu;  /* n-by-n factors; null when err == ORV_LU_ERR_ARG */
  i64* piv;  /* n row interchanges; null when err == ORV_LU_ERR_ARG */
  i64 n;     /* the order as passed, also on failure */
  i64 err;   /* ORV_LU_OK, ORV_LU_ERR_ARG or ORV_LU_ERR_SINGULAR */
} c128_lu;

/* ---- inline arithmetic (internal to each including file) ---------------
 * Each product is fused as written here and nowhere else; the plain
 * operations contain no multiply-add that a contracting compiler could fuse
 * on its own, so including files need not share the library's flags. */

static inline c128 c128_make(f64 re, f64 im) {
  c128 z;
  z.re = re;
  z.im = im;
  return z;
}

/* Each part rounded once. */
static inline c128 c128_add(c128 a, c128 b) { return c128_make(a.re + b.re, a.im + b.im); }

static inline c128 c128_sub(c128 a, c128 b) { return c128_make(a.re - b.re, a.im - b.im); }

/* re = a.re*b.re - RN(a.im*b.im), im = a.re*b.im + RN(a.im*b.re), each by one
 * fused step: the products with a.re are the exact ones, so the argument
 * order matters for the last bit. */
static inline c128 c128_mul(c128 a, c128 b) {
  const f64 t = a.im * b.im;
  const f64 u = a.im * b.re;
  return c128_make(fma(a.re, b.re, -t), fma(a.re, b.im, u));
}

/* a / b without forming |b|^2 (Smith's scaling by the ratio of the smaller
 * to the larger part of b). A NaN part of b takes the second branch; b = 0
 * gives NaN in both parts. */
static inline c128 c128_div(c128 a, c128 b) {
  if (fabs(b.re) >= fabs(b.im)) {
    const f64 r = b.im / b.re;
    const f64 den = fma(r, b.im, b.re);
    return c128_make(fma(a.im, r, a.re) / den, fma(-r, a.re, a.im) / den);
  }
  const f64 r = b.re / b.im;
  const f64 den = fma(r, b.re, b.im);
  return c128_make(fma(r, a.re, a.im) / den, fma(a.im, r, -a.re) / den);
}

/* |a|^2 = a.re*a.re + RN(a.im*a.im), fused. Underflows to 0.0 for parts
 * below about 1.5e-162. */
static inline f64 c128_abs2(c128 a) {
  const f64 t = a.im * a.im;
  return fma(a.re, a.re, t);
}

/* ---- exported kernels ---------------------------------------------------- */

/* out (m-by-p) = A (m-by-n) . B (n-by-p). Each term is a completed c128_mul
 * added with c128_add to a sum started at (0, 0), in ascending k. Nothing is
 * written when m <= 0 or p <= 0; every entry is (0, 0) when n <= 0. */
ORV_API void c128_matmul(const c128* ORV_RESTRICT A, const c128* ORV_RESTRICT B,
                         i64 m, i64 n, i64 p, c128* ORV_RESTRICT out);

/* Factors A (n-by-n) in place, as orv_lu_factor_inplace: the pivot has the
 * largest squared modulus (topmost among equals; a candidate whose squared
 * modulus underflows counts as zero), multipliers are full divisions by the
 * pivot, and each update subtracts a completed product. */
ORV_API i64 c128_lu_factor_inplace(c128* ORV_RESTRICT A, i64* ORV_RESTRICT pivot,
                                   i64 n);

/* Copies A (n-by-n) and factors the copy; see c128_lu. */
ORV_API c128_lu c128_lu_factor(const c128* A, i64 n);

/* Frees both arrays of *lu and zeroes its fields; a null lu, or a record
 * already freed, is left alone. */
ORV_API void c128_lu_free(c128_lu* lu);

/* X (n-by-m) solves A . X = B (n-by-m) for the factors LU, piv of A, as
 * orv_lu_solve, the last step of each row dividing by the diagonal of U. */
ORV_API void c128_lu_solve(const c128* ORV_RESTRICT LU, const i64* ORV_RESTRICT piv,
                           const c128* ORV_RESTRICT B, c128* ORV_RESTRICT X, i64 n,
                           i64 m);

/* X (n-by-m) solves A . X = B; returns as orv_solve, X written only on
 * success, nothing left allocated. */
ORV_API i64 c128_solve(const c128* ORV_RESTRICT A, const c128* ORV_RESTRICT B, i64 n,
                       i64 m, c128* ORV_RESTRICT X);

/* Ainv (n-by-n) = A^-1; returns as orv_inv, Ainv written only on success,
 * nothing left allocated. */
ORV_API i64 c128_inv(const c128* ORV_RESTRICT A, i64 n, c128* ORV_RESTRICT Ainv);

ORV_END_C

#endif /* ORV_COMPLEX_H */
