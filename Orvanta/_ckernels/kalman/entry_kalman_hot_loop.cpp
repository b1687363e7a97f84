// The Python entry kalman_hot_loop: the linear filter over a whole sample,
// with the parameter list and result of the numba loop it stands in for.

#include "entries.h"  // Python.h first, as the C API requires

#include <array>
#include <cinttypes>

#include "entry_outputs.h"
#include "kf_output_table.h"
#include "entry_support.h"
#include "kalman.h"
#include "module_state.h"

namespace orv_module {

namespace {

const char* const kKalmanParams[] = {"T", "nmk", "A", "B", "C", "d", "Q", "R", "y", "x0",
                                     "P0", "symmetrize", "jitter", "return_shocks",
                                     "store_history"};

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
  enum { kT, kNmk, kA, kB, kC, kD, kQ, kR, kY, kX0, kP0, kSym, kJitter, kShocks, kStore };
  kf_inputs in{};
  const auto converted = [&](bool ok, int param) {
    return orv_py::noting_argument(ok, "kalman_hot_loop", kKalmanParams[param]);
  };
  if (!converted(orv_py::to_i64(args[kT], &in.T), kT)) return nullptr;
  array_view A(2), B(2), C(2), d(1), Q(2), R(2), y(2), x0(1), P0(2);
  array_view* inputs[] = {&A, &B, &C, &d, &Q, &R, &y, &x0, &P0};
  for (int i = 0; i < 9; ++i)
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
  call_outputs out("kalman_hot_loop", kKfOutputs, extents);
  if (!out.allocate_and_view()) return nullptr;
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
  out.fill_record(record);
  record.loglik = &loglik;
  int status;
  {
    const gil_released unlocked;
    if (in.store_history) out.map_pages();
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
  return out.result(loglik);
}

}  // namespace

const orv_py::entry_spec kKalmanEntry = {
    "kalman_hot_loop",
    "Run the linear Kalman filter; mirrors numba `_kalman_hot_loop`.\n\n"
    "    Returns ``(KF_OK, (0.0, 0.0, 0.0), out)`` where ``out`` is the history tuple\n"
    "    + loglik. Raises ``numpy.linalg.LinAlgError`` on a non-PD innovation\n"
    "    covariance (so KalmanFilter.run's existing ``except`` maps it to\n"
    "    ``MatrixConditionError``).\n"
    "    ",
    "(T, nmk, A, B, C, d, Q, R, y, x0, P0, symmetrize, jitter, return_shocks=False, "
    "store_history=True)",
    kKalmanParams,
    15,
    13,
    kalman_hot_loop_impl,
    0,
};

}  // namespace orv_module
