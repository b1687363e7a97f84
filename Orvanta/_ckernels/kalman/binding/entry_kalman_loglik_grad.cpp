// The Python entry kalman_loglik_grad: kalman_filter's log-likelihood and its
// exact gradient with respect to every model array, from one forward and one
// backward pass (kf_loglik_grad, without the interpreter lock), in a named
// result.

#include "entries.h"  // Python.h first, as the C API requires

#include <array>

#include "entry_filter_call.h"
#include "entry_filter_start.h"
#include "entry_outputs.h"
#include "entry_real_inputs.h"
#include "entry_support.h"
#include "entry_filter_declarations.h"
#include "../kalman.h"
#include "named_result.h"

namespace orv_module {

namespace {

constexpr const char* kEntry = "kalman_loglik_grad";

// kalman_filter's model and start, without the history flags: there is no
// history to return.
constexpr auto kGradParams = orv_py::join(kModelParams, kStartParams);

consteval Py_ssize_t param_at(const char* name) { return orv_py::param_index(kGradParams, name); }

constexpr orv_py::result_field kResultFields[] = {
    {"loglik", "float: the log-likelihood, with the bits of kalman_filter's for the same call",
     field_kind::real},
    {"dA", "(n, n) array: d loglik / d A[i, j]", field_kind::array},
    {"dB", "(n, k) array: d loglik / d B[i, j]", field_kind::array},
    {"dC", "(m, n) array: d loglik / d C[i, j]", field_kind::array},
    {"dd", "(m,) array: d loglik / d d[i]", field_kind::array},
    {"dQ", "(k, k) array: the symmetric gradient in Q: a symmetric change D of Q moves "
           "loglik by sum(dQ * D) to first order", field_kind::array},
    {"dR", "(m, m) array: the symmetric gradient in R", field_kind::array},
    {"dx0", "(n,) array: d loglik / d x0[i] (under init='diffuse', the finite part)",
     field_kind::array},
    {"dP0", "(n, n) array or None: the symmetric gradient in P0 (under init='diffuse', "
            "its finite part); None under init='stationary', where P0 is solved for",
     field_kind::array_or_none},
};

constexpr orv_py::result_decl kResult = {
    orv_py::result_form::named,
    "Orvanta._ckernels.kalman._kalman.KalmanLoglikGradResult",
    "The result of kalman_loglik_grad: a named tuple of the log-likelihood and its\n"
    "gradient with respect to each model array, each of that array's shape (dP0 None\n"
    "under init='stationary').",
    kResultFields,
};

// The type, created by module initialisation.
orv_py::named_result g_result_type(kResult);

PyObject* kalman_loglik_grad_impl(PyObject* const* args) {
  filter_call call;
  const kf_filter_inputs& fin = call.fin;
  const kf_inputs& in = fin.model;
  if (!call.read_model(args) ||
      !call.read_start(args[param_at("init")], args[param_at("diffuse_states")]))
    return nullptr;

  // One gradient per model array, of its shape; none for the P0 that the
  // stationary start solves for.
  const i64 n = in.n, k = in.k, m = in.m;
  entry_outputs outputs(kEntry);
  const std::size_t dA = outputs.add("dA", std::array<i64, 2>{n, n});
  const std::size_t dB = outputs.add("dB", std::array<i64, 2>{n, k});
  const std::size_t dC = outputs.add("dC", std::array<i64, 2>{m, n});
  const std::size_t dd = outputs.add("dd", std::array<i64, 1>{m});
  const std::size_t dQ = outputs.add("dQ", std::array<i64, 2>{k, k});
  const std::size_t dR = outputs.add("dR", std::array<i64, 2>{m, m});
  const std::size_t dx0 = outputs.add("dx0", std::array<i64, 1>{n});
  const std::size_t dP0 = fin.init == KF_INIT_STATIONARY
                              ? outputs.add_none("dP0")
                              : outputs.add("dP0", std::array<i64, 2>{n, n});
  if (!outputs.allocate_all_then_view_all() || !outputs.check_disjoint()) return nullptr;

  call.point_at_inputs();
  kf_grad_outputs out{};
  out.dA = outputs.data_or_null(dA);
  out.dB = outputs.data_or_null(dB);
  out.dC = outputs.data_or_null(dC);
  out.dd = outputs.data_or_null(dd);
  out.dQ = outputs.data_or_null(dQ);
  out.dR = outputs.data_or_null(dR);
  out.dx0 = outputs.data_or_null(dx0);
  out.dP0 = outputs.data_or_null(dP0);
  out.where = -1;
  int status;
  {
    const gil_released unlocked;
    status = kf_loglik_grad(&fin, &out);
  }
  if (status != KF_OK) {
    raise_filter_status(status, out.where, m, kEntry, out.loglik);
    return nullptr;
  }

  ref items[] = {ref(PyFloat_FromDouble(out.loglik)), outputs.take(dA), outputs.take(dB),
                 outputs.take(dC), outputs.take(dd), outputs.take(dQ), outputs.take(dR),
                 outputs.take(dx0), outputs.take(dP0)};
  static_assert(std::size(items) == std::size(kResultFields));
  return g_result_type.build(items).release();
}

}  // namespace

constinit const orv_py::entry_spec kGradEntry = orv_py::make_entry(
    "kalman_loglik_grad",
    "The log-likelihood of kalman_filter and its exact gradient with respect to every\n"
    "model array, from one forward and one backward (adjoint) pass.\n\n"
    "    The model, its arguments, conversions, starts and errors are kalman_filter's;\n"
    "    the log-likelihood has the bits kalman_filter(..., store_history=False) gives.\n"
    "    Each dX has the shape of X and holds d loglik / d X[i, j], the entries taken as\n"
    "    free variables; for the symmetric Q, R and P0 it is the symmetric gradient:\n"
    "    dQ equals its transpose, and a symmetric change D of Q moves loglik by\n"
    "    sum(dQ * D) to first order (an off-diagonal pair moved together by 2 dQ[i, j]).\n"
    "    For Q = L L', the gradient in L is 2 dQ L.\n\n"
    "    init='stationary': P0 solves P = A P A' + B Q B', and its adjoint flows into\n"
    "    dA, dB and dQ; dP0 is None. init='diffuse': the gradient of the exact diffuse\n"
    "    log-likelihood; dx0 and dP0 are the derivatives in the finite parts x0, P0.\n\n"
    "    Returns a KalmanLoglikGradResult (loglik, dA, dB, dC, dd, dQ, dR, dx0, dP0).\n"
    "    Raises ValueError for a model array that is not finite, for a jitter that is\n"
    "    negative or not finite, and for a log-likelihood that comes out non-finite;\n"
    "    numpy.linalg.LinAlgError when an innovation covariance is not positive\n"
    "    definite.\n"
    "    ",
    kGradParams, &g_result_type, kalman_loglik_grad_impl);

}  // namespace orv_module
