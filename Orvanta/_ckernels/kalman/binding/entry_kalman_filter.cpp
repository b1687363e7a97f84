// The Python entry kalman_filter: the linear filter for real data, with
// missing observations, known, stationary or exact diffuse starts, and a
// named result.

#include "entries.h"  // Python.h first, as the C API requires

#include <array>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <span>

#include "entry_filter_call.h"
#include "entry_filter_start.h"
#include "entry_outputs.h"
#include "entry_real_inputs.h"
#include "entry_support.h"
#include "entry_filter_declarations.h"
#include "../kalman.h"
#include "entry_filter_history.h"
#include "module_state.h"
#include "named_result.h"

namespace orv_module {

namespace {

// The linear filter for real data: sizes from the arrays, any real array-like
// as input (converted once when it is not already C-contiguous float64, and
// read in place when it is), missing observations, three kinds of start, and
// a named result. The whole filter, start included, runs in kf_filter with
// the interpreter lock released.

constexpr orv_py::result_decl kResult = {
    orv_py::result_form::named,
    "Orvanta._ckernels.kalman._kalman.KalmanFilterResult",
    "The result of kalman_filter: a named tuple of the log-likelihood, its terms, the\n"
    "counts of observed entries and diffuse periods, and the filtering history (None\n"
    "without store_history; eps_hat None without return_shocks).",
    kFilterResultFields,
};

// The type, created by module initialisation.
orv_py::named_result g_result_type(kResult);

// The history fields are kalman_hot_loop's outputs, in the same order.
consteval bool history_fields_are_the_outputs() {
  for (std::size_t i = 0; i < std::size(kKfOutputs); ++i)
    if (!orv_py::same_name(kFilterResultFields[kFilterLeadingFields + i].name,
                           kKfOutputs[i].name))
      return false;
  return kFilterLeadingFields + std::size(kKfOutputs) == kFilterResultFields.size();
}
static_assert(history_fields_are_the_outputs());

// The position of kalman_filter's parameter `name`.
consteval Py_ssize_t param_at(const char* name) { return orv_py::param_index(kFilterParams, name); }

}  // namespace

void raise_filter_status(int status, i64 where, i64 m, const char* entry, f64 loglik) {
  switch (status) {
    case KF_ERR_LOGLIK_NOT_FINITE: {
      // Finite inputs can still overflow (a nearly singular S, a huge
      // innovation): a log-likelihood of inf or nan is no value to report.
      char value[32];
      std::snprintf(value, sizeof value, "%g", loglik);
      PyErr_Format(PyExc_ValueError,
                   "%s: the log-likelihood is not finite (%s) though every input is; the model "
                   "is too badly conditioned to evaluate.",
                   entry, value);
      return;
    }
    case KF_ERR_NOT_PD: {
      char message[128];
      std::snprintf(message, sizeof message,
                    "Innovation covariance is not positive definite (period %lld).",
                    static_cast<long long>(where));
      raise_global(g_names.LinAlgError, message);
      return;
    }
    case KF_ERR_NOT_STATIONARY:
      PyErr_SetString(PyExc_ValueError,
                      "init='stationary' needs every eigenvalue of A strictly inside the unit "
                      "circle; A has one on or outside it.");
      return;
    case KF_ERR_INFINITE_OBS:
      raise_infinite_observation(std::array<i64, 2>{where / m, where % m});
      return;
    case KF_ERR_NOT_FINITE:
      PyErr_Format(PyExc_ValueError,
                   "%s: a smoothed value is not finite; the model is too badly conditioned "
                   "to smooth.",
                   entry);
      return;
    case KF_ERR_ALLOC:
      PyErr_Format(PyExc_MemoryError, "%s: scratch allocation failed.", entry);
      return;
    default:
      PyErr_Format(PyExc_ValueError, "%s failed with status %d.", entry, status);
      return;
  }
}

PyObject* run_filter_entry(PyObject* const* args, const char* entry, filter_extension* ext,
                           f64 steady_state_tol) {
  filter_call call;
  kf_filter_inputs& fin = call.fin;
  fin.steady_state_tol = steady_state_tol;
  kf_inputs& in = fin.model;
  if (!call.read_model(args) ||
      !orv_py::to_flag(args[param_at("return_shocks")], &in.return_shocks) ||
      !orv_py::to_flag(args[param_at("store_history")], &in.store_history) ||
      !call.read_start(args[param_at("init")], args[param_at("diffuse_states")]))
    return nullptr;

  // The outputs, in the order of the result: loglik_t always, the history
  // when it is stored (None otherwise), then the extension's, which are
  // allocated first.
  entry_outputs outputs(entry);
  const std::size_t loglik_t = outputs.add("loglik_t", std::array<i64, 1>{in.T});
  const auto extents = kf_extents(in);
  const std::size_t history = outputs.count();
  for (const kf_output& desc : kKfOutputs) {
    const bool stored = desc.field == &kf_outputs::eps_hat ? in.store_history && in.return_shocks
                                                           : in.store_history != 0;
    if (!stored) {
      outputs.add_none(desc.name);
      continue;
    }
    i64 shape[3] = {0, 0, 0};
    for (int d = 0; d < desc.rank; ++d) shape[d] = extents[desc.extents[d]];
    outputs.add(desc.name, std::span<const i64>(shape, static_cast<std::size_t>(desc.rank)));
  }
  const std::size_t extension = outputs.count();
  if (ext != nullptr && !ext->add_outputs(entry, in, fin.init, outputs)) return nullptr;
  if (!outputs.allocate_then_view(extension, outputs.count()) ||
      !outputs.allocate_then_view(0, extension) || !outputs.check_disjoint())
    return nullptr;

  call.point_at_inputs();
  kf_filter_outputs fout{};
  for (std::size_t i = 0; i < std::size(kKfOutputs); ++i)
    fout.history.*kKfOutputs[i].field = outputs.data_or_null(history + i);
  f64 loglik = 0.0;
  fout.history.loglik = &loglik;
  fout.loglik_t = outputs.data_or_null(loglik_t);
  int status;
  {
    const gil_released unlocked;
    outputs.map_pages(history, outputs.count());
    status = ext != nullptr ? ext->run(&fin, &fout, outputs, extension) : kf_filter(&fin, &fout);
  }
  // A log-likelihood that overflowed is the first thing to report; the
  // smoother then fails on the same values (KF_ERR_NOT_FINITE).
  if ((status == KF_OK || status == KF_ERR_NOT_FINITE) && !std::isfinite(loglik))
    status = KF_ERR_LOGLIK_NOT_FINITE;
  if (status != KF_OK) {
    raise_filter_status(status, fout.where, in.m, entry, loglik);
    return nullptr;
  }

  // loglik, loglik_t, nobs, diffuse_periods, then the outputs in order.
  ref items[orv_py::named_result::kMostFields];
  items[0] = ref(PyFloat_FromDouble(loglik));
  items[1] = outputs.take(loglik_t);
  items[2] = ref(PyLong_FromLongLong(fout.nobs));
  items[3] = ref(PyLong_FromLongLong(fout.diffuse_periods));
  static_assert(kFilterLeadingFields == 4);
  outputs.take(history, outputs.count(), items + kFilterLeadingFields);
  const std::size_t fields = kFilterLeadingFields + outputs.count() - history;
  const orv_py::named_result& type = ext != nullptr ? ext->result() : g_result_type;
  return type.build(std::span(items, fields)).release();
}

namespace {

// kalman_filter's parameters: kalman_smoother's, then the steady state.
constexpr auto kParams = orv_py::join(kFilterParams, kSteadyStateParams);

PyObject* kalman_filter_impl(PyObject* const* args) {
  f64 tol = 0.0;
  if (!read_steady_state_tol(args[orv_py::param_index(kParams, "steady_state_tol")], &tol))
    return nullptr;
  return run_filter_entry(args, "kalman_filter", nullptr, tol);
}

}  // namespace

constinit const orv_py::entry_spec kFilterEntry = orv_py::make_entry(
    "kalman_filter",
    "Run the linear Kalman filter on data with missing values, from a known, a\n"
    "stationary or an exact diffuse start.\n\n"
    "    x_t = A x_{t-1} + B eps_t (Var eps = Q),  y_t = C x_t + d + e_t (Var e = R);\n"
    "    n, k, T and m come from A (n, n), B (n, k) and y (T, m). Any real array-likes\n"
    "    are accepted; C-contiguous float64 arrays are read in place, others are\n"
    "    converted once. A NaN in y is a missing value; an infinity is an error.\n\n"
    "    init='known': x0, P0 are the filtered moments of the period before the first\n"
    "    observation (both required). init='stationary': P0 solves\n"
    "    P = A P A' + B Q B' (x0 defaults to zeros). init='diffuse': the first\n"
    "    prediction has mean x0 (default zeros) and covariance kappa P_inf + P0\n"
    "    (default zeros), kappa -> infinity, P_inf = diag(diffuse_states) (default:\n"
    "    every state); the exact diffuse recursions of Durbin and Koopman run until\n"
    "    P_inf vanishes.\n\n"
    "    steady_state_tol > 0: once a fully observed period's predicted covariance\n"
    "    differs from the period before's by less than steady_state_tol in every\n"
    "    entry, that period's gain, factor of S and log det S are frozen, and the\n"
    "    fully observed periods after it run the state recursion alone (their\n"
    "    P_pred, P_filt and S are the frozen ones); a period with a missing value\n"
    "    leaves the steady state. 0 (the default): the full recursion throughout.\n\n"
    "    Returns a KalmanFilterResult: loglik, loglik_t, nobs, diffuse_periods, x_pred,\n"
    "    x_filt, P_pred, P_filt, y_pred, y_filt, innov, std_innov, S, eps_hat (see\n"
    "    help(KalmanFilterResult)). Raises numpy.linalg.LinAlgError when an\n"
    "    innovation covariance is not positive definite.\n"
    "    ",
    kParams, &g_result_type, kalman_filter_impl);

}  // namespace orv_module
