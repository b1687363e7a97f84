// The Python entry kalman_loglik_batch: the log-likelihood of many parameter
// draws of a linear model in one call, each with its own status, run by
// kf_loglik_batch without the interpreter lock.

#include "entries.h"  // Python.h first, as the C API requires

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <cmath>
#include <limits>
#include <vector>
#include <cstdio>
#include <span>

#include "entry_filter_start.h"
#include "entry_outputs.h"
#include "entry_real_inputs.h"
#include "entry_support.h"
#include "entry_filter_declarations.h"
#include "../kalman.h"
#include "named_result.h"

namespace orv_module {

namespace {

// The model's parameters, then the start, the threads and the steady state,
// keyword-only.
constexpr auto kBatchParams = orv_py::join(
    kModelParams,
    std::array<param, 2>{{keyword("init", param_kind::choice, "'known'", kBatchStarts),
                          keyword("threads", param_kind::count, "1")}},
    kSteadyStateParams);

// The position of parameter `name`.
consteval Py_ssize_t param_at(const char* name) { return orv_py::param_index(kBatchParams, name); }

constexpr orv_py::result_field kResultFields[] = {
    {"loglik", "(N,) float64 array: each draw's log-likelihood, -inf where it failed",
     field_kind::array},
    {"status", "(N,) int64 array: 0 for a draw filtered to the end, -3 when one of its "
               "innovation covariances was not positive definite, -4 when its A is not "
               "stable under init='stationary'", field_kind::int64_array},
};

constexpr orv_py::result_decl kResult = {
    orv_py::result_form::named,
    "Orvanta._ckernels.kalman._kalman.KalmanLoglikBatchResult",
    "The result of kalman_loglik_batch: a named tuple of the draws' log-likelihoods\n"
    "and statuses.",
    kResultFields,
};

// The type, created by module initialisation.
orv_py::named_result g_result_type(kResult);

// How each model argument is shaped: for all draws, or with a leading axis
// of one per draw.
struct batched_arg {
  const char* name;
  const char* shared;   // "(m, n)"
  const char* batched;  // "(N, m, n)"
};
constexpr batched_arg kArgs[] = {
    {"A", "(n, n)", "(N, n, n)"}, {"B", "(n, k)", "(N, n, k)"}, {"C", "(m, n)", "(N, m, n)"},
    {"d", "(m,)", "(N, m)"},      {"Q", "(k, k)", "(N, k, k)"}, {"R", "(m, m)", "(N, m, m)"},
    {"y", "(T, m)", "(N, T, m)"}, {"x0", "(n,)", "(N, n)"},     {"P0", "(n, n)", "(N, n, n)"},
};
enum { kA, kB, kC, kD, kQ, kR, kY, kX0, kP0, kArrays };
constexpr int kSharedRank[kArrays] = {2, 2, 2, 1, 2, 2, 2, 1, 2};

// ValueError "<name> must have shape <shared> = <values>, or <batched> for one
// per draw; got <shape>.<hint>" (without " = <values>" when it is null).
bool fail_batched_shape(const array_view& view, int arg, const char* values,
                        const char* hint = "") {
  char got[96];
  view_shape_text(view, got, sizeof got);
  const batched_arg& a = kArgs[arg];
  if (values != nullptr)
    PyErr_Format(PyExc_ValueError, "%s must have shape %s = %s, or %s for one per draw; got %s.%s",
                 a.name, a.shared, values, a.batched, got, hint);
  else
    PyErr_Format(PyExc_ValueError, "%s must have shape %s, or %s for one per draw; got %s.%s",
                 a.name, a.shared, a.batched, got, hint);
  return false;
}

// The draws of the call: N and the first argument that has one per draw.
struct draw_count {
  i64 N = 1;
  int from = -1;  // none yet: every argument is shared, and there is one draw
};

// Whether argument `arg` has its shared shape, or one per draw after a
// leading axis, with the trailing extents `sizes` give its symbols (any
// extent for a symbol not among them). A leading axis must agree with the
// draws of the arguments before.
bool check_batched(const array_view& view, int arg, std::span<const model_size> sizes,
                   draw_count& draws) {
  const batched_arg& a = kArgs[arg];
  const int lead = view.ndim() - kSharedRank[arg];
  const bool ranked = lead == 0 || lead == 1;
  if (!ranked || !has_sizes(view, lead, a.shared, sizes)) {
    if (ranked &&
        raise_disagreement(view, lead, {arg, a.name, lead ? a.batched : a.shared, a.shared},
                           sizes))
      return false;
    char values[96];
    return fail_batched_shape(view, arg,
                              expected_text(a.shared, sizes, values, sizeof values) ? values
                                                                                    : nullptr);
  }
  if (lead == 0) return true;
  if (draws.from < 0) {
    draws.N = view.extent(0);
    draws.from = arg;
    return true;
  }
  if (view.extent(0) == draws.N) return true;
  PyErr_Format(PyExc_ValueError,
               "%s has %lld draws on its leading axis, but %s has %lld; every argument "
               "with one per draw must have the same number.",
               kArgs[arg].name, static_cast<long long>(view.extent(0)), kArgs[draws.from].name,
               static_cast<long long>(draws.N));
  return false;
}

// The sizes from A (n), B (k) and y (T, m), then every argument checked
// against them and against the number of draws, in parameter order.
bool check_batch_shapes(const filter_input* v, kf_batch_inputs& in, draw_count& draws) {
  // A sets n, B k and y (T, m); whether one is batched shows in its rank
  const array_view& A = v[kA].view;
  if (A.ndim() < 2 || A.ndim() > 3 || A.extent(A.ndim() - 1) != A.extent(A.ndim() - 2))
    return fail_batched_shape(A, kA, nullptr);
  in.n = A.extent(A.ndim() - 1);
  const array_view& B = v[kB].view;
  const array_view& y = v[kY].view;
  in.k = B.ndim() >= 2 && B.ndim() <= 3 ? B.extent(B.ndim() - 1) : -1;
  in.T = y.ndim() >= 2 && y.ndim() <= 3 ? y.extent(y.ndim() - 2) : -1;
  in.m = y.ndim() >= 2 && y.ndim() <= 3 ? y.extent(y.ndim() - 1) : -1;
  if (y.ndim() < 2 || y.ndim() > 3)
    return fail_batched_shape(y, kY, nullptr,
                              y.ndim() == 1 ? " One series is a column: y[:, None]." : "");
  const auto form = [](const array_view& view, int arg) {
    return view.ndim() > kSharedRank[arg] ? kArgs[arg].batched : kArgs[arg].shared;
  };
  const model_size sizes[] = {{'n', "states", kA, "A", form(A, kA), 0, in.n},
                              {'k', "shocks", kB, "B", form(B, kB), 1, in.k},
                              {'m', "observables", kY, "y", form(y, kY), 1, in.m}};
  for (int arg = 0; arg < kArrays; ++arg)
    if (v[arg].given && !check_batched(v[arg].view, arg, sizes, draws)) return false;
  return true;
}

// threads: an integer (anything with __index__, but not a bool) of at least
// 1; any larger value than the blocks of draws or the processors can use
// stands for as many as they can.
bool to_threads(PyObject* obj, i64* out) {
  const ref index(PyBool_Check(obj) ? nullptr : PyNumber_Index(obj));
  if (!index) {
    if (PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_TypeError)) return false;
    PyErr_Format(PyExc_TypeError, "threads must be an integer; got %.200s.",
                 Py_TYPE(obj)->tp_name);
    return false;
  }
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.get(), &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  if (overflow > 0) {
    *out = LLONG_MAX;
    return true;
  }
  if (overflow < 0 || value < 1) {
    PyErr_Format(PyExc_ValueError, "threads must be at least 1; got %R.", obj);
    return false;
  }
  *out = value;
  return true;
}

// The exception for a status of kf_loglik_batch other than KF_OK.
void raise_batch_status(int status, const kf_batch_inputs& in, i64 where) {
  switch (status) {
    case KF_ERR_INFINITE_OBS: {
      const i64 values = in.T * in.m;
      const std::array<i64, 3> index = {where / values, where % values / in.m, where % in.m};
      // a y shared by every draw has no draw axis
      raise_infinite_observation(in.y.draw_step != 0 ? std::span<const i64>(index)
                                                     : std::span<const i64>(index).subspan(1));
      return;
    }
    case KF_ERR_ALLOC:
      PyErr_SetString(PyExc_MemoryError, "kalman_loglik_batch: scratch allocation failed.");
      return;
    default:
      PyErr_Format(PyExc_ValueError, "kalman_loglik_batch failed with status %d.", status);
  }
}

// Draw i's values of argument `arg` start i * step values in: its shared
// element count for an argument with one per draw, 0 for a shared one.
kf_batch_array batch_array(const filter_input& input, int arg) {
  if (!input.given) return {nullptr, 0};
  const array_view& view = input.view;
  const bool per_draw = view.ndim() > kSharedRank[arg];
  i64 step = 1;
  for (int d = per_draw ? 1 : 0; d < view.ndim(); ++d) step *= view.extent(d);
  return {view.data_or_null(), per_draw ? step : 0};
}

// The slice of draws [first, first + count) of a batch: every argument with
// one value per draw, and the outputs, start at draw `first`.
kf_batch_inputs draws_from(const kf_batch_inputs& in, i64 first, i64 count) {
  kf_batch_inputs slice = in;
  for (kf_batch_array* array :
       {&slice.A, &slice.B, &slice.C, &slice.d, &slice.Q, &slice.R, &slice.y, &slice.x0, &slice.P0})
    if (array->data != nullptr) array->data += first * array->draw_step;
  slice.N = count;
  return slice;
}

// Seconds of work between two looks at the interpreter's signals.
constexpr double kSliceSeconds = 0.05;

// run_in_slices' status when a signal handler raised (Ctrl-C).
constexpr int KF_ERR_INTERRUPTED = -100;

// Runs kf_loglik_batch over the draws a slice at a time, without the
// interpreter lock, and takes the lock between slices to run the signal
// handlers, so that Ctrl-C stops a long call within about kSliceSeconds.
// Slices start small and grow to about kSliceSeconds of work each. A draw's
// result does not depend on the slice it falls in, nor on the slices' sizes.
// Returns the status of the first slice that fails, with `where` counted
// from draw 0, or KF_ERR_INTERRUPTED with the handler's exception set.
// With no draws it runs once, for the checks that do not need any.
int run_in_slices(const kf_batch_inputs& in, kf_batch_outputs& out) {
  using clock = std::chrono::steady_clock;
  // the first slice: 16 draws a thread (threads may be as large as i64 holds)
  const i64 per_threads = in.threads > in.N / 16 ? in.N : 16 * in.threads;
  i64 slice = std::min<i64>(in.N, std::max<i64>(64, per_threads));
  i64 first = 0;
  do {
    const i64 count = std::min(slice, in.N - first);
    const kf_batch_inputs part = draws_from(in, first, count);
    kf_batch_outputs part_out{out.loglik + first, out.status + first, -1};
    int status;
    const clock::time_point start = clock::now();
    {
      const gil_released unlocked;
      status = kf_loglik_batch(&part, &part_out);
    }
    const double seconds = std::chrono::duration<double>(clock::now() - start).count();
    if (status != KF_OK) {
      const i64 shift = status == KF_ERR_INFINITE_OBS && in.y.draw_step != 0
                            ? first * in.T * in.m : 0;
      out.where = part_out.where >= 0 ? part_out.where + shift : part_out.where;
      return status;
    }
    first += count;
    if (first < in.N && PyErr_CheckSignals() < 0) return KF_ERR_INTERRUPTED;
    // the next slice: about kSliceSeconds at this one's pace, at most 4 times as long
    const double scale = seconds > 0.0 ? kSliceSeconds / seconds : 4.0;
    slice = std::max<i64>(1, static_cast<i64>(static_cast<double>(count) *
                                               std::min(scale, 4.0)));
  } while (first < in.N);
  return KF_OK;
}

// The model's arrays (all but y) are finite: a shared one that is not
// raises ValueError naming it; a draw whose own values are not is marked in
// not_finite (one flag per draw, left empty when no argument has draws).
bool check_finite_draws(const filter_input* inputs, const kf_batch_inputs& in,
                        std::vector<char>& not_finite) {
  const kf_batch_array arrays[kArrays] = {in.A, in.B, in.C, in.d, in.Q, in.R, in.y, in.x0, in.P0};
  for (int arg = 0; arg < kArrays; ++arg) {
    const kf_batch_array& a = arrays[arg];
    if (arg == param_at("y") || a.data == nullptr) continue;
    if (a.draw_step == 0) {
      if (!check_finite_array(inputs[arg].view, kArgs[arg].name)) return false;
      continue;
    }
    if (not_finite.empty()) not_finite.assign(static_cast<std::size_t>(in.N), 0);
    for (i64 draw = 0; draw < in.N; ++draw) {
      const f64* values = a.data + draw * a.draw_step;
      for (i64 i = 0; i < a.draw_step && !not_finite[draw]; ++i)
        not_finite[draw] = !std::isfinite(values[i]);
    }
  }
  return true;
}

// The statuses only the whole draw tells: its own model values not finite
// (KF_ERR_MODEL_NOT_FINITE), or a log-likelihood that came out non-finite
// from finite ones (KF_ERR_LOGLIK_NOT_FINITE); either gets -inf. A draw's
// status 0 means a finite log-likelihood.
void mark_non_finite_draws(const std::vector<char>& not_finite, kf_batch_outputs& out, i64 N) {
  constexpr f64 kFailed = -std::numeric_limits<f64>::infinity();
  for (i64 draw = 0; draw < N; ++draw) {
    if (!not_finite.empty() && not_finite[draw]) {
      out.status[draw] = KF_ERR_MODEL_NOT_FINITE;
      out.loglik[draw] = kFailed;
    } else if (out.status[draw] == KF_OK && !std::isfinite(out.loglik[draw])) {
      out.status[draw] = KF_ERR_LOGLIK_NOT_FINITE;
      out.loglik[draw] = kFailed;
    }
  }
}

PyObject* kalman_loglik_batch_impl(PyObject* const* args) {
  filter_input inputs[kArrays];
  static_assert(kArrays == param_at("P0") + 1);
  for (int i = 0; i < kArrays; ++i)
    if (!inputs[i].take(args[i], kArgs[i].name, i >= kX0,
                        i == param_at("y") ? masked::as_missing : masked::refused))
      return nullptr;
  kf_batch_inputs in{};
  if (!orv_py::to_flag(args[param_at("symmetrize")], &in.symmetrize) ||
      !orv_py::to_f64(args[param_at("jitter")], &in.jitter) ||
      !check_jitter(in.jitter, args[param_at("jitter")]) ||
      !to_init(args[param_at("init")], kBatchStarts, &in.init) ||
      !to_threads(args[param_at("threads")], &in.threads) ||
      !read_steady_state_tol(args[param_at("steady_state_tol")], &in.steady_state_tol))
    return nullptr;
  draw_count draws;
  if (!check_batch_shapes(inputs, in, draws) ||
      !check_start(in.init, inputs[kX0], inputs[kP0], nullptr, in.n, ", solved for each draw"))
    return nullptr;
  in.N = draws.N;

  entry_outputs outputs("kalman_loglik_batch");
  const std::array<i64, 1> shape = {in.N};
  const std::size_t loglik = outputs.add("loglik", shape);
  const std::size_t status = outputs.add("status", shape, element::i64);
  if (!outputs.allocate_all_then_view_all() || !outputs.check_disjoint()) return nullptr;

  in.A = batch_array(inputs[kA], kA);
  in.B = batch_array(inputs[kB], kB);
  in.C = batch_array(inputs[kC], kC);
  in.d = batch_array(inputs[kD], kD);
  in.Q = batch_array(inputs[kQ], kQ);
  in.R = batch_array(inputs[kR], kR);
  in.y = batch_array(inputs[kY], kY);
  in.x0 = batch_array(inputs[kX0], kX0);
  in.P0 = batch_array(inputs[kP0], kP0);
  std::vector<char> not_finite;
  if (!check_finite_draws(inputs, in, not_finite)) return nullptr;
  kf_batch_outputs out{outputs.data(loglik), outputs.int64_data(status), -1};
  const int result = run_in_slices(in, out);
  if (result == KF_ERR_INTERRUPTED) return nullptr;
  if (result != KF_OK) {
    raise_batch_status(result, in, out.where);
    return nullptr;
  }
  mark_non_finite_draws(not_finite, out, in.N);
  ref items[] = {outputs.take(loglik), outputs.take(status)};
  return g_result_type.build(items).release();
}

}  // namespace

constinit const orv_py::entry_spec kBatchEntry = orv_py::make_entry(
    "kalman_loglik_batch",
    "Log-likelihood of the linear Kalman filter for many parameter draws at once.\n\n"
    "    x_t = A x_{t-1} + B eps_t (Var eps = Q),  y_t = C x_t + d + e_t (Var e = R),\n"
    "    as for kalman_filter. Any of A, B, C, d, Q, R, y, x0, P0 may carry a leading\n"
    "    axis of N draws, one model (or sample) per draw; the others are shared by\n"
    "    every draw. A NaN in y is a missing value.\n\n"
    "    init='known': x0, P0 are the filtered moments of the period before the first\n"
    "    observation (both required). init='stationary': each draw's P0 solves\n"
    "    P = A P A' + B Q B' (x0 defaults to zeros).\n\n"
    "    Each draw's log-likelihood has the bits kalman_filter gives for it alone.\n"
    "    Draws run side by side in vector lanes, on `threads` threads (the caller's\n"
    "    among them), without the interpreter lock; the results do not depend on\n"
    "    `threads`. steady_state_tol as for kalman_filter, each draw's log-likelihood\n"
    "    then kalman_filter's with it.\n\n"
    "    Returns a KalmanLoglikBatchResult (loglik, status), arrays of N values. A draw\n"
    "    whose innovation covariance is not positive definite (status -3), or whose A\n"
    "    is not stable under init='stationary' (status -4), gets loglik -inf; the\n"
    "    others are unaffected and nothing is raised.\n"
    "    ",
    kBatchParams, &g_result_type, kalman_loglik_batch_impl);

}  // namespace orv_module
