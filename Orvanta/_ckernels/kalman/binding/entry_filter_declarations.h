// What the linear filter entries share in their declarations: the model's
// parameters (every entry with real array-likes), the start's, the whole
// parameter list of kalman_filter and kalman_smoother, and the fields of
// KalmanFilterResult, which KalmanSmootherResult starts with. One
// definition, so that they cannot drift apart.
#ifndef ORV_KALMAN_ENTRY_FILTER_DECLARATIONS_H
#define ORV_KALMAN_ENTRY_FILTER_DECLARATIONS_H

#include "entry_filter_start.h"  // Python.h first, as the C API requires

#include <array>
#include <cstddef>

namespace orv_module {

using orv_py::defaulted;
using orv_py::field_kind;
using orv_py::keyword;
using orv_py::param;
using orv_py::param_kind;
using orv_py::required;

// The model and how the filter runs, the parameters every linear filter
// entry with real array-likes starts with.
inline constexpr std::array<param, 11> kModelParams = {{
    required("A", param_kind::real_array),
    required("B", param_kind::real_array),
    required("C", param_kind::real_array),
    required("d", param_kind::real_array),
    required("Q", param_kind::real_array),
    required("R", param_kind::real_array),
    required("y", param_kind::real_array),
    defaulted("x0", param_kind::real_array_or_none, "None"),
    defaulted("P0", param_kind::real_array_or_none, "None"),
    defaulted("symmetrize", param_kind::flag, "True"),
    defaulted("jitter", param_kind::real, "0.0"),
}};

// The start, keyword-only: any of the three, diffuse_states for the diffuse one.
inline constexpr std::array<param, 2> kStartParams = {{
    keyword("init", param_kind::choice, "'known'", kFilterStarts),
    keyword("diffuse_states", param_kind::real_array_or_none, "None"),
}};

inline constexpr auto kFilterParams = orv_py::join(
    kModelParams,
    std::array<param, 2>{{defaulted("return_shocks", param_kind::flag, "False"),
                          defaulted("store_history", param_kind::flag, "True")}},
    kStartParams);

// The steady-state tolerance of kalman_filter and kalman_loglik_batch,
// keyword-only, after their other parameters (kalman.h defines it).
inline constexpr std::array<param, 1> kSteadyStateParams = {{
    keyword("steady_state_tol", param_kind::real, "0.0"),
}};

// The fields of KalmanFilterResult, in tuple order; the history arrays
// follow the order of kalman_hot_loop's.
inline constexpr std::array<orv_py::result_field, 14> kFilterResultFields = {{
    {"loglik", "float: the log-likelihood, the sum of loglik_t taken in period order",
     field_kind::real},
    {"loglik_t", "(T,) array: each period's term (0.0 for a period with nothing observed)",
     field_kind::array},
    {"nobs", "int: the number of observed (not NaN) entries of y", field_kind::integer},
    {"diffuse_periods", "int: the periods filtered by the exact diffuse recursions",
     field_kind::integer},
    {"x_pred", "(T, n) array or None: the predicted states", field_kind::history},
    {"x_filt", "(T, n) array or None: the filtered states", field_kind::history},
    {"P_pred", "(T, n, n) array or None: the predicted state covariances (in a diffuse "
               "period their finite part)", field_kind::history},
    {"P_filt", "(T, n, n) array or None: the filtered state covariances (in a diffuse "
               "period their finite part)", field_kind::history},
    {"y_pred", "(T, m) array or None: C x_pred + d, for every observable, observed or "
               "not (the nowcast of a missing value)", field_kind::history},
    {"y_filt", "(T, m) array or None: C x_filt + d, for every observable",
     field_kind::history},
    {"innov", "(T, m) array or None: y - y_pred, NaN where y is missing", field_kind::history},
    {"std_innov", "(T, m) array or None: the innovations standardised by the Cholesky "
                  "factor of the observed block of S; NaN where y is missing and in "
                  "diffuse periods", field_kind::history},
    {"S", "(T, m, m) array or None: C P_pred C^T + R over every observable",
     field_kind::history},
    {"eps_hat", "(T, k) array or None: the filtered shock estimates E[eps_t | y up to t], "
                "with return_shocks", field_kind::array_or_none},
}};

// The fields before the history: loglik, loglik_t, nobs, diffuse_periods.
inline constexpr std::size_t kFilterLeadingFields = 4;

// The filter's fields, then `more`.
template <std::size_t N>
constexpr std::array<orv_py::result_field, 14 + N> filter_fields_then(
    const std::array<orv_py::result_field, N>& more) {
  std::array<orv_py::result_field, 14 + N> all{};
  for (std::size_t i = 0; i < 14; ++i) all[i] = kFilterResultFields[i];
  for (std::size_t i = 0; i < N; ++i) all[14 + i] = more[i];
  return all;
}

}  // namespace orv_module

#endif  // ORV_KALMAN_ENTRY_FILTER_DECLARATIONS_H
