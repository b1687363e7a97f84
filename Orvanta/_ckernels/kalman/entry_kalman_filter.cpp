// The Python entry kalman_filter: the linear filter for real data, with
// missing observations, known, stationary or exact diffuse starts, and a
// named result.

#include "entries.h"  // Python.h first, as the C API requires

#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "entry_outputs.h"
#include "entry_real_inputs.h"
#include "kf_output_table.h"
#include "entry_support.h"
#include "filter_entry_signature.h"
#include "kalman.h"
#include "module_state.h"

namespace orv_module {

namespace {

//
// The linear filter for real data: sizes from the arrays, any real array-like
// as input (converted once when it is not already C-contiguous float64, and
// read in place when it is), missing observations, three kinds of start, and
// a named result. The whole filter, start included, runs in kf_filter with
// the interpreter lock released.

// The fields of the result: the shared ones and nothing after them.
auto kResultFields = filter_fields_then(std::array<PyStructSequence_Field, 0>{});
constexpr int kResultFieldCount = static_cast<int>(kFilterResultFields.size());

PyStructSequence_Desc kResultDesc = {
    "Orvanta._ckernels.kalman._kalman.KalmanFilterResult",
    "The result of kalman_filter: a named tuple of the log-likelihood, its terms, the\n"
    "counts of observed entries and diffuse periods, and the filtering history (None\n"
    "without store_history; eps_hat None without return_shocks).",
    kResultFields.data(),
    kResultFieldCount,
};

// Created once, by module initialisation (ready_filter_result_type).
PyTypeObject* g_result_type = nullptr;

// init: one of the three names.
bool to_init(PyObject* obj, int* out) {
  static constexpr const char* kNames[] = {"known", "stationary", "diffuse"};
  if (PyUnicode_Check(obj)) {
    for (int i = 0; i < 3; ++i) {
      if (PyUnicode_CompareWithASCIIString(obj, kNames[i]) == 0) {
        *out = i == 0 ? KF_INIT_KNOWN : i == 1 ? KF_INIT_STATIONARY : KF_INIT_DIFFUSE;
        return true;
      }
    }
  }
  PyErr_Format(PyUnicode_Check(obj) ? PyExc_ValueError : PyExc_TypeError,
               "init must be 'known', 'stationary' or 'diffuse'; got %R.", obj);
  return false;
}

// The shapes, with n from A, k from B and (T, m) from y, in the order of the
// parameters (A, B and y first, since they set the sizes).
bool check_filter_shapes(filter_input* v, i64* n, i64* k, i64* m, i64* T) {
  enum { kA, kB, kC, kD, kQ, kR, kY, kX0, kP0 };
  const array_view& A = v[kA].view;
  if (A.ndim() != 2 || A.extent(0) != A.extent(1)) return fail_shape(A, "A", "(n, n)", nullptr);
  *n = A.extent(0);
  const array_view& B = v[kB].view;
  if (B.ndim() != 2 || B.extent(0) != *n) {
    char values[64];
    std::snprintf(values, sizeof values, "(%lld, k)", static_cast<long long>(*n));
    return fail_shape(B, "B", "(n, k)", values);
  }
  *k = B.extent(1);
  const array_view& y = v[kY].view;
  if (y.ndim() != 2)
    return fail_shape(y, "y", "(T, m)", nullptr,
                      y.ndim() == 1 ? " One series is a column: y[:, None]." : "");
  *T = y.extent(0);
  *m = y.extent(1);
  return require_extents(v[kC].view, "C", "(m, n)", {*m, *n}) &&
         require_extents(v[kD].view, "d", "(m,)", {*m}) &&
         require_extents(v[kQ].view, "Q", "(k, k)", {*k, *k}) &&
         require_extents(v[kR].view, "R", "(m, m)", {*m, *m}) &&
         (!v[kX0].given || require_extents(v[kX0].view, "x0", "(n,)", {*n})) &&
         (!v[kP0].given || require_extents(v[kP0].view, "P0", "(n, n)", {*n, *n}));
}

// What each start needs of x0, P0 and diffuse_states.
bool check_start(int init, const filter_input& x0, const filter_input& P0,
                 const filter_input& diffuse, i64 n) {
  if (init == KF_INIT_KNOWN && (!x0.given || !P0.given)) {
    PyErr_Format(PyExc_TypeError,
                 "init='known' needs x0 and P0, the filtered state and its covariance in the "
                 "period before the first observation; %s missing.",
                 !x0.given && !P0.given ? "both are" : !x0.given ? "x0 is" : "P0 is");
    return false;
  }
  if (init == KF_INIT_STATIONARY && P0.given) {
    PyErr_SetString(PyExc_ValueError,
                    "P0 must be None with init='stationary': the covariance is the solution of "
                    "P = A P A^T + B Q B^T.");
    return false;
  }
  if (init != KF_INIT_DIFFUSE && diffuse.given) {
    PyErr_SetString(PyExc_ValueError, "diffuse_states is used only with init='diffuse'.");
    return false;
  }
  if (!diffuse.given) return true;
  if (!require_extents(diffuse.view, "diffuse_states", "(n,)", {n})) return false;
  const f64* mask = diffuse.view.data();
  for (i64 i = 0; i < n; ++i) {
    if (mask[i] != 0.0 && mask[i] != 1.0) {
      char value[32];
      std::snprintf(value, sizeof value, "%.17g", mask[i]);
      PyErr_Format(PyExc_ValueError,
                   "diffuse_states must hold 0/1 or booleans, one per state; got %s at index "
                   "%lld.",
                   value, static_cast<long long>(i));
      return false;
    }
  }
  return true;
}

// The history outputs, in the order of kalman_hot_loop's (kKfOutputs).
constexpr std::size_t kHistoryCount = std::size(kKfOutputs);

}  // namespace

PyObject* run_filter_entry(PyObject* const* args, const char* entry, filter_extension* ext) {
  enum { kA, kB, kC, kD, kQ, kR, kY, kX0, kP0, kSym, kJitter, kShocks, kStore, kInit,
         kDiffuse };
  filter_input inputs[9];
  static constexpr const char* kNames[] = {"A", "B", "C", "d", "Q", "R", "y", "x0", "P0"};
  for (int i = 0; i < 9; ++i)
    if (!inputs[i].take(args[kA + i], kNames[i], i >= kX0)) return nullptr;
  kf_filter_inputs fin{};
  kf_inputs& in = fin.model;
  if (!orv_py::to_flag(args[kSym], &in.symmetrize) ||
      !orv_py::to_f64(args[kJitter], &in.jitter) ||
      !orv_py::to_flag(args[kShocks], &in.return_shocks) ||
      !orv_py::to_flag(args[kStore], &in.store_history) || !to_init(args[kInit], &fin.init))
    return nullptr;
  filter_input diffuse;
  if (!diffuse.take(args[kDiffuse], "diffuse_states", true)) return nullptr;
  if (!check_filter_shapes(inputs, &in.n, &in.k, &in.m, &in.T) ||
      !check_start(fin.init, inputs[kX0], inputs[kP0], diffuse, in.n))
    return nullptr;
  if (ext != nullptr && !ext->allocate(entry, in, fin.init)) return nullptr;

  // The outputs: loglik_t always, the history when it is stored.
  const auto extents = kf_extents(in);
  ref loglik_t = new_zeros(std::array<i64, 1>{in.T});
  ref history[kHistoryCount];
  array_view history_views[kHistoryCount] = {array_view(2), array_view(2), array_view(3),
                                             array_view(3), array_view(2), array_view(2),
                                             array_view(2), array_view(2), array_view(3),
                                             array_view(2)};
  array_view loglik_t_view(1);
  const i64 loglik_t_shape[] = {in.T};
  if (!loglik_t) return nullptr;
  if (!loglik_t_view.acquire(loglik_t.get()))
    return raise_unusable_output(entry, "loglik_t"), nullptr;
  if (!check_output_shape(entry, "loglik_t", loglik_t_view, loglik_t_shape)) return nullptr;
  // the outputs as check_outputs_disjoint takes them: loglik_t, then the history
  constexpr std::size_t kMostViews = 1 + kHistoryCount + filter_extension::kMostOutputs;
  const char* names[kMostViews] = {"loglik_t"};
  const array_view* views[kMostViews] = {&loglik_t_view};
  std::size_t viewed = 1;
  kf_filter_outputs fout{};
  for (std::size_t i = 0; i < kHistoryCount; ++i) {
    const kf_output& desc = kKfOutputs[i];
    const bool stored = desc.field == &kf_outputs::eps_hat
                            ? in.store_history && in.return_shocks
                            : in.store_history != 0;
    if (!stored) continue;  // None in the result
    i64 shape[3] = {0, 0, 0};
    for (int d = 0; d < desc.rank; ++d) shape[d] = extents[desc.extents[d]];
    const std::span<const i64> asked(shape, static_cast<std::size_t>(desc.rank));
    history[i] = new_zeros(asked);
    if (!history[i]) return nullptr;
    if (!history_views[i].acquire(history[i].get()))
      return raise_unusable_output(entry, desc.name), nullptr;
    if (!check_output_shape(entry, desc.name, history_views[i], asked)) return nullptr;
    names[viewed] = desc.name;
    views[viewed++] = &history_views[i];
    fout.history.*desc.field = history_views[i].data_or_null();
  }
  if (ext != nullptr) viewed += ext->views(names + viewed, views + viewed);
  if (!check_outputs_disjoint(entry, std::span(names, viewed), std::span(views, viewed)))
    return nullptr;

  in.A = inputs[kA].view.data_or_null();
  in.B = inputs[kB].view.data_or_null();
  in.C = inputs[kC].view.data_or_null();
  in.d = inputs[kD].view.data_or_null();
  in.Q = inputs[kQ].view.data_or_null();
  in.R = inputs[kR].view.data_or_null();
  in.y = inputs[kY].view.data_or_null();
  in.x0 = inputs[kX0].given ? inputs[kX0].view.data() : nullptr;
  in.P0 = inputs[kP0].given ? inputs[kP0].view.data() : nullptr;
  fin.diffuse = diffuse.given ? diffuse.view.data() : nullptr;
  f64 loglik = 0.0;
  fout.history.loglik = &loglik;
  fout.loglik_t = loglik_t_view.data_or_null();
  int status;
  {
    const gil_released unlocked;
    for (std::size_t i = 1; i < viewed; ++i) map_pages(*views[i]);
    status = ext != nullptr ? ext->run(&fin, &fout) : kf_filter(&fin, &fout);
  }
  switch (status) {
    case KF_OK:
      break;
    case KF_ERR_NOT_PD: {
      char message[128];
      std::snprintf(message, sizeof message,
                    "Innovation covariance is not positive definite (period %lld).",
                    static_cast<long long>(fout.where));
      raise_global(g_names.LinAlgError, message);
      return nullptr;
    }
    case KF_ERR_NOT_STATIONARY:
      PyErr_SetString(PyExc_ValueError,
                      "init='stationary' needs every eigenvalue of A strictly inside the unit "
                      "circle; A has one on or outside it.");
      return nullptr;
    case KF_ERR_INFINITE_OBS:
      PyErr_Format(PyExc_ValueError,
                   "y[%lld, %lld] is infinite; y may hold finite values, and NaN where a "
                   "value is missing.",
                   static_cast<long long>(fout.where / in.m),
                   static_cast<long long>(fout.where % in.m));
      return nullptr;
    case KF_ERR_NOT_FINITE:
      PyErr_Format(PyExc_ValueError,
                   "%s: a smoothed value is not finite; the model is too badly conditioned "
                   "to smooth.",
                   entry);
      return nullptr;
    case KF_ERR_ALLOC:
      PyErr_Format(PyExc_MemoryError, "%s: scratch allocation failed.", entry);
      return nullptr;
    default:
      PyErr_Format(PyExc_ValueError, "%s failed with status %d.", entry, status);
      return nullptr;
  }

  ref result(PyStructSequence_New(ext != nullptr ? ext->result_type() : g_result_type));
  ref first[] = {ref(PyFloat_FromDouble(loglik)), std::move(loglik_t),
                 ref(PyLong_FromLongLong(fout.nobs)),
                 ref(PyLong_FromLongLong(fout.diffuse_periods))};
  if (!result || !first[0] || !first[2] || !first[3]) return nullptr;
  for (int i = 0; i < 4; ++i) PyStructSequence_SetItem(result.get(), i, first[i].release());
  for (std::size_t i = 0; i < kHistoryCount; ++i) {
    PyObject* value = history[i] ? history[i].release() : Py_NewRef(Py_None);
    PyStructSequence_SetItem(result.get(), static_cast<Py_ssize_t>(4 + i), value);
  }
  if (ext != nullptr) ext->fill(result.get(), static_cast<Py_ssize_t>(4 + kHistoryCount));
  return result.release();
}

namespace {

PyObject* kalman_filter_impl(PyObject* const* args) {
  return run_filter_entry(args, "kalman_filter", nullptr);
}

}  // namespace

bool ready_filter_result_type() {
  if (g_result_type == nullptr) g_result_type = PyStructSequence_NewType(&kResultDesc);
  return g_result_type != nullptr;
}

PyObject* filter_result_type() { return reinterpret_cast<PyObject*>(g_result_type); }

const orv_py::entry_spec kFilterEntry = {
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
    "    Returns a KalmanFilterResult: loglik, loglik_t, nobs, diffuse_periods, x_pred,\n"
    "    x_filt, P_pred, P_filt, y_pred, y_filt, innov, std_innov, S, eps_hat (see\n"
    "    help(KalmanFilterResult)). Raises numpy.linalg.LinAlgError when an\n"
    "    innovation covariance is not positive definite.\n"
    "    ",
    kFilterTextSignature,
    kFilterParams,
    kFilterParamCount,
    kFilterRequired,
    kalman_filter_impl,
    kFilterKeywordOnly,
};

}  // namespace orv_module
