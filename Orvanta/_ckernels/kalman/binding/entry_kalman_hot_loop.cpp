// The Python entry kalman_hot_loop: the linear filter over a whole sample,
// with the parameter list and result of the numba loop it stands in for.

#include "entries.h"  // Python.h first, as the C API requires

#include <array>
#include <iterator>

#include "entry_outputs.h"
#include "entry_filter_history.h"
#include "entry_support.h"
#include "../kalman.h"
#include "module_state.h"
#include "named_result.h"

namespace orv_module {

namespace {

using orv_py::defaulted;
using orv_py::param_kind;
using orv_py::required;

// The parameter list of the numba loop it stands in for.
constexpr orv_py::param kKalmanParams[] = {
    required("T", param_kind::integer),
    required("nmk", param_kind::integers),
    required("A", param_kind::array),
    required("B", param_kind::array),
    required("C", param_kind::array),
    required("d", param_kind::array),
    required("Q", param_kind::array),
    required("R", param_kind::array),
    required("y", param_kind::array),
    required("x0", param_kind::array),
    required("P0", param_kind::array),
    required("symmetrize", param_kind::flag),
    required("jitter", param_kind::real),
    defaulted("return_shocks", param_kind::flag, "False"),
    defaulted("store_history", param_kind::flag, "True"),
};

// The position of parameter `name`.
consteval Py_ssize_t param_at(const char* name) { return orv_py::param_index(kKalmanParams, name); }

// (0, (0.0, 0.0, 0.0), (history..., loglik)).
constexpr auto kResultFields = history_tuple_fields(kKfOutputs);
constexpr orv_py::result_decl kResult = {orv_py::result_form::status_tuple, "_KalmanHistory",
                                         nullptr, kResultFields};
orv_py::named_result g_result(kResult);

// The operands must match the dimensions the loop is told, or it would read
// outside them.
bool check_kf_shapes(const kf_inputs& d, const array_view& A, const array_view& B,
                     const array_view& C, const array_view& dv, const array_view& Q,
                     const array_view& R, const array_view& y, const array_view& x0,
                     const array_view& P0) {
  const i64 n = d.n, m = d.m, k = d.k;
  if (!require_shape(A, {n, n}, "A must have shape (n, n).") ||
      !require_shape(B, {n, k}, "B must have shape (n, k).") ||
      !require_shape(C, {m, n}, "C must have shape (m, n).") ||
      !require_shape(dv, {m}, "d must have shape (m,).") ||
      !require_shape(Q, {k, k}, "Q must have shape (k, k).") ||
      !require_shape(R, {m, m}, "R must have shape (m, m).") ||
      !require_shape(x0, {n}, "x0 must have shape (n,).") ||
      !require_shape(P0, {n, n}, "P0 must have shape (n, n)."))
    return false;
  // y may hold more rows than the T that are filtered.
  const bool y_ok = d.T <= 0 || (m == 0 && y.size() == 0) ||
                    (y.extent(1) == m && y.extent(0) >= d.T);
  if (!y_ok) PyErr_SetString(PyExc_ValueError, "y must have m columns and at least T rows.");
  return y_ok;
}

PyObject* kalman_hot_loop_impl(PyObject* const* args) {
  constexpr Py_ssize_t kT = param_at("T"), kNmk = param_at("nmk"), kA = param_at("A"),
                       kSym = param_at("symmetrize"), kJitter = param_at("jitter"),
                       kShocks = param_at("return_shocks"), kStore = param_at("store_history");
  kf_inputs in{};
  const auto converted = [&](bool ok, Py_ssize_t param) {
    return orv_py::noting_argument(ok, "kalman_hot_loop", kKalmanParams[param].name);
  };
  if (!converted(orv_py::to_i64(args[kT], &in.T), kT)) return nullptr;
  array_view A(2), B(2), C(2), d(1), Q(2), R(2), y(2), x0(1), P0(2);
  array_view* inputs[] = {&A, &B, &C, &d, &Q, &R, &y, &x0, &P0};
  static_assert(param_at("P0") - param_at("A") + 1 == std::size(inputs));
  for (Py_ssize_t i = 0; i < 9; ++i)
    if (!converted(inputs[i]->acquire(args[kA + i]), kA + i)) return nullptr;
  if (!converted(orv_py::to_flag(args[kSym], &in.symmetrize), kSym) ||
      !converted(orv_py::to_f64(args[kJitter], &in.jitter), kJitter) ||
      !converted(orv_py::to_flag(args[kShocks], &in.return_shocks), kShocks) ||
      !converted(orv_py::to_flag(args[kStore], &in.store_history), kStore))
    return nullptr;
  if (!converted(orv_py::item_to_i64(args[kNmk], 0, &in.n), kNmk) ||
      !converted(orv_py::item_to_i64(args[kNmk], 1, &in.m), kNmk) ||
      !converted(orv_py::item_to_i64(args[kNmk], 2, &in.k), kNmk))
    return nullptr;
  // Without history nothing else would refuse a negative T, and the empty
  // sample's log-likelihood of 0.0 would beat every real one.
  if (in.T < 0) {
    PyErr_Format(PyExc_ValueError, "T must not be negative (got %lld).",
                 static_cast<long long>(in.T));
    return nullptr;
  }
  const auto extents = kf_extents(in);
  entry_outputs out("kalman_hot_loop");
  add_table(out, kKfOutputs, extents);
  if (!out.allocate_all_then_view_all() || !out.check_disjoint()) return nullptr;
  if (!check_kf_shapes(in, A, B, C, d, Q, R, y, x0, P0)) return nullptr;

  in.A = A.data();
  in.B = B.data();
  in.C = C.data();
  in.d = d.data();
  in.Q = Q.data();
  in.R = R.data();
  in.y = in.T > 0 ? y.data() : nullptr;
  in.x0 = x0.data();
  in.P0 = P0.data();
  f64 loglik = 0.0;
  kf_outputs record{};
  fill_record(kKfOutputs, out, 0, record);
  record.loglik = &loglik;
  int status;
  {
    const gil_released unlocked;
    if (in.store_history) out.map_pages(0, out.count());
    status = kf_hot_loop(&in, &record);
  }
  if (status == KF_ERR_NOT_PD) {
    raise_global(g_names.LinAlgError, "Innovation covariance is not positive definite.");
    return nullptr;
  }
  if (status == KF_ERR_ALLOC) {
    PyErr_SetString(PyExc_MemoryError, "kf_hot_loop: scratch allocation failed.");
    return nullptr;
  }
  return out.status_result(loglik);
}

}  // namespace

constinit const orv_py::entry_spec kKalmanEntry = orv_py::make_entry(
    "kalman_hot_loop",
    "Run the linear Kalman filter; mirrors numba `_kalman_hot_loop`.\n\n"
    "    Returns ``(KF_OK, (0.0, 0.0, 0.0), out)`` where ``out`` is the history tuple\n"
    "    + loglik. Raises ``numpy.linalg.LinAlgError`` on a non-PD innovation\n"
    "    covariance (so KalmanFilter.run's existing ``except`` maps it to\n"
    "    ``MatrixConditionError``).\n"
    "    ",
    kKalmanParams, &g_result, kalman_hot_loop_impl, /*keyword_errors_first=*/false);

}  // namespace orv_module
