// The stationary start of the linear filter: the covariance that solves
// P = A P A^T + B Q B^T, by doubling, or word that A is not stable. kf_filter
// starts from it, and the batch sets each draw up with it. Part of a filter
// variant (filters_variant_*.cpp).
#ifndef ORV_KF_STATIONARY_COV_H
#define ORV_KF_STATIONARY_COV_H

#include <cmath>

#include "../filter_support.h"

namespace ORV_VARIANT {

namespace {

// Doublings before A is declared not stable: 2^40 terms of the series. A
// that needs more has its spectral radius rho within about 4e-11 of 1,
// where the solution's relative error, about 2^-53 / (1 - rho^2), passes
// 1e-6: such an A cannot be told from one on the unit circle at working
// precision (a rotation, whose rho is 1 but for rounding, would otherwise be
// taken as stable, with a covariance of order 1e16).
constexpr int kMaxDoublings = 40;

// Whether P solves P = A P A^T + BQBT to working precision: every entry of
// the residual A P A^T + BQBT - P within 2^-30 n of the largest of P and
// BQBT. temp and resid are n x n scratch.
bool solves_lyapunov(const f64* A, const f64* BQBT, const f64* P, f64* temp, f64* resid,
                     i64 n) noexcept {
  // resid (n x n) = BQBT + (A P) A^T
  orv_matmul(A, P, temp, n, n, n);
  orv_matmul_abt_plus_c(temp, A, BQBT, resid, n, n, n);
  f64 scale = 0.0, worst = 0.0;
  for (i64 i = 0; i < n * n; ++i) {
    scale = std::fmax(scale, std::fmax(std::fabs(P[i]), std::fabs(BQBT[i])));
    worst = std::fmax(worst, std::fabs(resid[i] - P[i]));
  }
  return worst <= 0x1p-30 * static_cast<f64>(n) * scale;
}

// P (n x n) = sum_{j >= 0} A^j BQBT A^jT, the solution of P = A P A^T + BQBT,
// by doubling: after step i, P holds the first 2^i terms and Ak = A^(2^i).
// The rest of the series is Ak P_full Ak^T, below ||Ak||^2 ||P_full||; the
// sum stops once n max|Ak|, a bound of ||Ak||, has a square below 2^-56.
// Returns false when that does not happen within kMaxDoublings steps, a
// value stops being finite, or the sum does not solve the equation: A has an
// eigenvalue on or outside the unit circle (or too close to it to tell). Ak,
// Ak_next, temp and P_next are n x n scratch.
bool stationary_cov(const f64* A, const f64* BQBT, f64* P, f64* Ak, f64* Ak_next, f64* temp,
                    f64* P_next, i64 n) noexcept {
  copy_values(Ak, A, n * n);
  copy_values(P, BQBT, n * n);
  for (int step = 0;; ++step) {
    f64 largest = 0.0;
    for (i64 i = 0; i < n * n; ++i) {
      const f64 a = std::fabs(Ak[i]);
      if (!std::isfinite(a)) return false;
      largest = a > largest ? a : largest;
    }
    const f64 bound = static_cast<f64>(n) * largest;
    if (bound * bound <= 0x1p-56) break;
    if (step == kMaxDoublings) return false;
    // P_next = P + (Ak P) Ak^T;  Ak_next = Ak Ak
    orv_matmul(Ak, P, temp, n, n, n);
    orv_matmul_abt_plus_c(temp, Ak, P, P_next, n, n, n);
    orv_sym_inplace(P_next, n);
    copy_values(P, P_next, n * n);
    orv_matmul(Ak, Ak, Ak_next, n, n, n);
    copy_values(Ak, Ak_next, n * n);
  }
  for (i64 i = 0; i < n * n; ++i)
    if (!std::isfinite(P[i])) return false;
  return solves_lyapunov(A, BQBT, P, temp, P_next, n);
}

}  // namespace

}  // namespace ORV_VARIANT

#endif  // ORV_KF_STATIONARY_COV_H
