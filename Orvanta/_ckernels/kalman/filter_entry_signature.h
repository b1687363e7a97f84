// What kalman_filter and kalman_smoother share in their Python signature:
// the parameter list, its text form, and the fields of KalmanFilterResult,
// which KalmanSmootherResult starts with. One definition, so that the two
// cannot drift apart.
#ifndef ORV_KALMAN_FILTER_ENTRY_SIGNATURE_H
#define ORV_KALMAN_FILTER_ENTRY_SIGNATURE_H

#include "py_glue.h"  // Python.h first, as the C API requires

#include <array>
#include <cstddef>

namespace orv_module {

inline constexpr const char* kFilterParams[] = {
    "A", "B", "C", "d", "Q", "R", "y", "x0", "P0", "symmetrize", "jitter", "return_shocks",
    "store_history", "init", "diffuse_states"};
inline constexpr Py_ssize_t kFilterParamCount = std::size(kFilterParams);
inline constexpr Py_ssize_t kFilterRequired = 7;      // A .. y
inline constexpr Py_ssize_t kFilterKeywordOnly = 2;   // init, diffuse_states

inline constexpr const char kFilterTextSignature[] =
    "(A, B, C, d, Q, R, y, x0=None, P0=None, symmetrize=True, jitter=0.0, "
    "return_shocks=False, store_history=True, *, init='known', diffuse_states=None)";

// The fields of KalmanFilterResult, in tuple order; the history arrays
// follow the order of kalman_hot_loop's.
inline constexpr std::array<PyStructSequence_Field, 14> kFilterResultFields = {{
    {"loglik", "float: the log-likelihood, the sum of loglik_t taken in period order"},
    {"loglik_t", "(T,) array: each period's term (0.0 for a period with nothing observed)"},
    {"nobs", "int: the number of observed (not NaN) entries of y"},
    {"diffuse_periods", "int: the periods filtered by the exact diffuse recursions"},
    {"x_pred", "(T, n) array or None: the predicted states"},
    {"x_filt", "(T, n) array or None: the filtered states"},
    {"P_pred", "(T, n, n) array or None: the predicted state covariances (in a diffuse "
               "period their finite part)"},
    {"P_filt", "(T, n, n) array or None: the filtered state covariances (in a diffuse "
               "period their finite part)"},
    {"y_pred", "(T, m) array or None: C x_pred + d, for every observable, observed or "
               "not (the nowcast of a missing value)"},
    {"y_filt", "(T, m) array or None: C x_filt + d, for every observable"},
    {"innov", "(T, m) array or None: y - y_pred, NaN where y is missing"},
    {"std_innov", "(T, m) array or None: the innovations standardised by the Cholesky "
                  "factor of the observed block of S; NaN where y is missing and in "
                  "diffuse periods"},
    {"S", "(T, m, m) array or None: C P_pred C^T + R over every observable"},
    {"eps_hat", "(T, k) array or None: the filtered shock estimates E[eps_t | y up to t], "
                "with return_shocks"},
}};

// The filter's fields, then `more`, then the terminating entry that
// PyStructSequence_Desc expects.
template <std::size_t N>
constexpr std::array<PyStructSequence_Field, 14 + N + 1> filter_fields_then(
    const std::array<PyStructSequence_Field, N>& more) {
  std::array<PyStructSequence_Field, 14 + N + 1> all{};
  for (std::size_t i = 0; i < 14; ++i) all[i] = kFilterResultFields[i];
  for (std::size_t i = 0; i < N; ++i) all[14 + i] = more[i];
  all[14 + N] = {nullptr, nullptr};
  return all;
}

}  // namespace orv_module

#endif  // ORV_KALMAN_FILTER_ENTRY_SIGNATURE_H
