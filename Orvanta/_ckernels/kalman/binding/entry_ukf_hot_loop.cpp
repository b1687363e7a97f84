// The Python entry ukf_hot_loop: the pruned second-order unscented filter,
// whose measurement function is native code passed by its address.

#include "entries.h"  // Python.h first, as the C API requires

#include <array>
#include <cinttypes>
#include <cstdint>
#include <iterator>

#include "entry_outputs.h"
#include "entry_support.h"
#include "../kalman.h"
#include "module_state.h"
#include "named_result.h"

namespace orv_module {

namespace {

using orv_py::defaulted;
using orv_py::param_kind;
using orv_py::required;

constexpr orv_py::param kUkfParams[] = {
    required("meas_addr", param_kind::address),
    required("hx", param_kind::array),
    required("gx", param_kind::array),
    required("bx", param_kind::array),
    required("hxx", param_kind::array),
    required("gxx", param_kind::array),
    required("hss", param_kind::array),
    required("gss", param_kind::array_or_none),  // empty without controls
    required("steady_state", param_kind::array),
    required("params", param_kind::array_or_none),  // empty for a function without any
    required("Q", param_kind::array_or_none),       // empty without shocks
    required("R", param_kind::array),
    required("obs", param_kind::array),
    required("z0", param_kind::array),
    required("P0", param_kind::array),
    required("alpha", param_kind::real),
    required("beta", param_kind::real),
    required("kappa", param_kind::real),
    required("jitter", param_kind::real),
    defaulted("symmetrize", param_kind::flag, "True"),
    defaulted("store_history", param_kind::flag, "True"),
};

// The position of parameter `name`.
consteval Py_ssize_t param_at(const char* name) { return orv_py::param_index(kUkfParams, name); }

// The extents of ukf_hot_loop's outputs: the history length, the states, the
// model variables in levels (states and controls), the augmented state
// (first- and second-order parts) and the observables.
namespace ukf_dim {
enum extent : int { rows, ns, nv, nz, no, count };
}

using ukf_output = output_desc<ukf_outputs, ukf_dim::extent>;

// In the order of the result tuple.
constexpr ukf_output kUkfOutputs[] = {
    {"x1_pred", 2, {ukf_dim::rows, ukf_dim::ns}, &ukf_outputs::x1_pred},
    {"x2_pred", 2, {ukf_dim::rows, ukf_dim::ns}, &ukf_outputs::x2_pred},
    {"x1_filt", 2, {ukf_dim::rows, ukf_dim::ns}, &ukf_outputs::x1_filt},
    {"x2_filt", 2, {ukf_dim::rows, ukf_dim::ns}, &ukf_outputs::x2_filt},
    {"x_pred", 2, {ukf_dim::rows, ukf_dim::nv}, &ukf_outputs::x_pred},
    {"x_filt", 2, {ukf_dim::rows, ukf_dim::nv}, &ukf_outputs::x_filt},
    {"P_pred", 3, {ukf_dim::rows, ukf_dim::nz, ukf_dim::nz}, &ukf_outputs::P_pred},
    {"P_filt", 3, {ukf_dim::rows, ukf_dim::nz, ukf_dim::nz}, &ukf_outputs::P_filt},
    {"y_pred", 2, {ukf_dim::rows, ukf_dim::no}, &ukf_outputs::y_pred},
    {"y_filt", 2, {ukf_dim::rows, ukf_dim::no}, &ukf_outputs::y_filt},
    {"innov", 2, {ukf_dim::rows, ukf_dim::no}, &ukf_outputs::innov},
    {"std_innov", 2, {ukf_dim::rows, ukf_dim::no}, &ukf_outputs::std_innov},
    {"S", 3, {ukf_dim::rows, ukf_dim::no, ukf_dim::no}, &ukf_outputs::S},
};
static_assert(is_well_formed(kUkfOutputs));

// (0, (0.0, 0.0, 0.0), (history..., loglik)).
constexpr auto kResultFields = history_tuple_fields(kUkfOutputs);
constexpr orv_py::result_decl kResult = {orv_py::result_form::status_tuple, "_UkfHistory",
                                         nullptr, kResultFields};
orv_py::named_result g_result(kResult);

// The value of each ukf_dim extent for one call.
std::array<i64, ukf_dim::count> ukf_extents(const ukf_inputs& in) {
  std::array<i64, ukf_dim::count> e{};
  e[ukf_dim::rows] = in.store_history ? in.T : 0;
  e[ukf_dim::ns] = in.n_state;
  e[ukf_dim::nv] = in.n_state + in.n_ctrl;
  e[ukf_dim::nz] = 2 * in.n_state;
  e[ukf_dim::no] = in.n_obs;
  return e;
}

// The extents every array must have, in the order callers are told about them.
bool check_ukf_shapes(std::uint64_t meas_addr, const ukf_inputs& in, const array_view& hx,
                      const array_view& gx, const array_view& bx, const array_view& hxx,
                      const array_view& gxx, const array_view& hss, const array_view& gss,
                      const array_view& ss, const array_view& Q, const array_view& R,
                      const array_view& z0, const array_view& P0) {
  const i64 ns = in.n_state, nc = in.n_ctrl, ne = in.n_exog, no = in.n_obs;
  const auto fail = [](const char* message) {
    PyErr_SetString(PyExc_ValueError, message);
    return false;
  };
  if (meas_addr == 0) return fail("ukf_hot_loop requires a nonzero measurement function address.");
  if (ns < 1) return fail("hx must have at least one state.");
  if (no < 1) return fail("obs must have at least one observable column.");
  if (hx.extent(1) != ns) return fail("hx must have shape (n_state, n_state).");
  if (bx.extent(0) != ns) return fail("bx must have shape (n_state, n_exog).");
  if (gx.extent(1) != ns) return fail("gx must have shape (n_ctrl, n_state).");
  if (hxx.extent(0) != ns || hxx.extent(1) != ns || hxx.extent(2) != ns)
    return fail("hxx must have shape (n_state, n_state, n_state).");
  if (gxx.extent(0) != nc || gxx.extent(1) != ns || gxx.extent(2) != ns)
    return fail("gxx must have shape (n_ctrl, n_state, n_state).");
  if (hss.extent(0) != ns) return fail("hss must have shape (n_state,).");
  if (gss.extent(0) != nc) return fail("gss must have shape (n_ctrl,).");
  if (ss.extent(0) != ns + nc) return fail("steady_state must have shape (n_state + n_ctrl,).");
  if (Q.extent(0) != ne || Q.extent(1) != ne) return fail("Q must have shape (n_exog, n_exog).");
  if (R.extent(0) != no || R.extent(1) != no) return fail("R must have shape (n_obs, n_obs).");
  if (z0.extent(0) != 2 * ns) return fail("z0 must have shape (2 * n_state,).");
  if (P0.extent(0) != 2 * ns || P0.extent(1) != 2 * ns)
    return fail("P0 must have shape (2 * n_state, 2 * n_state).");
  return true;
}

PyObject* ukf_hot_loop_impl(PyObject* const* args) {
  constexpr Py_ssize_t kAddr = param_at("meas_addr"), kHx = param_at("hx"),
                       kAlpha = param_at("alpha"), kBeta = param_at("beta"),
                       kKappa = param_at("kappa"), kJitter = param_at("jitter"),
                       kSym = param_at("symmetrize"), kStore = param_at("store_history");
  const auto converted = [&](bool ok, Py_ssize_t param) {
    return orv_py::noting_argument(ok, "ukf_hot_loop", kUkfParams[param].name);
  };
  std::uint64_t meas_addr = 0;
  if (!converted(orv_py::to_address(args[kAddr], &meas_addr), kAddr)) return nullptr;
  array_view hx(2), gx(2), bx(2), hxx(3), gxx(3), hss(1), gss(1), ss(1), params(1), Q(2),
      R(2), obs(2), z0(1), P0(2);
  array_view* inputs[] = {&hx, &gx, &bx, &hxx, &gxx, &hss, &gss, &ss, &params, &Q, &R, &obs,
                          &z0, &P0};
  static_assert(param_at("P0") - param_at("hx") + 1 == std::size(inputs));
  for (Py_ssize_t i = 0; i < 14; ++i)
    if (!converted(inputs[i]->acquire(args[kHx + i]), kHx + i)) return nullptr;
  ukf_inputs in{};
  if (!converted(orv_py::to_f64(args[kAlpha], &in.alpha), kAlpha) ||
      !converted(orv_py::to_f64(args[kBeta], &in.beta), kBeta) ||
      !converted(orv_py::to_f64(args[kKappa], &in.kappa), kKappa) ||
      !converted(orv_py::to_f64(args[kJitter], &in.jitter), kJitter) ||
      !converted(orv_py::to_flag(args[kSym], &in.symmetrize), kSym) ||
      !converted(orv_py::to_flag(args[kStore], &in.store_history), kStore))
    return nullptr;
  in.n_state = hx.extent(0);
  in.n_ctrl = gx.extent(0);
  in.n_exog = bx.extent(1);
  in.n_obs = obs.extent(1);
  in.n_params = params.extent(0);
  in.T = obs.extent(0);
  if (!check_ukf_shapes(meas_addr, in, hx, gx, bx, hxx, gxx, hss, gss, ss, Q, R, z0, P0))
    return nullptr;
  const auto extents = ukf_extents(in);
  entry_outputs out("ukf_hot_loop");
  add_table(out, kUkfOutputs, extents);
  if (!out.allocate_all_then_view_all() || !out.check_disjoint()) return nullptr;

  // A function address handed over as an integer.
  in.meas = reinterpret_cast<meas_fn>(static_cast<std::uintptr_t>(meas_addr));
  in.hx = hx.data();
  in.gx = in.n_ctrl > 0 ? gx.data() : nullptr;
  in.bx = in.n_exog > 0 ? bx.data() : nullptr;
  in.hxx = hxx.data();
  in.gxx = in.n_ctrl > 0 ? gxx.data() : nullptr;
  in.hss = hss.data();
  in.gss = in.n_ctrl > 0 ? gss.data() : nullptr;
  in.steady_state = ss.data();
  in.params = in.n_params > 0 ? params.data() : nullptr;
  in.Q = in.n_exog > 0 ? Q.data() : nullptr;
  in.R = R.data();
  in.obs = in.T > 0 ? obs.data() : nullptr;
  in.z0 = z0.data();
  in.P0 = P0.data();
  f64 loglik = 0.0;
  ukf_outputs record{};
  fill_record(kUkfOutputs, out, 0, record);
  record.loglik = &loglik;
  i64 status;
  {
    const gil_released unlocked;
    if (in.store_history) out.map_pages(0, out.count());
    status = ukf_hot_loop(&in, &record);
  }
  if (status == UKF_OK) return out.status_result(loglik);
  if (status == UKF_ERR_NOT_PD) {
    raise_global(g_names.LinAlgError, "UKF covariance is not positive definite.");
  } else if (status == UKF_ERR_ALLOC) {
    PyErr_SetString(PyExc_MemoryError, "ukf_hot_loop: scratch allocation failed.");
  } else {
    PyErr_Format(PyExc_ValueError, "ukf_hot_loop failed with status %" PRId64 ".", status);
  }
  return nullptr;
}

}  // namespace

constinit const orv_py::entry_spec kUkfEntry = orv_py::make_entry(
    "ukf_hot_loop",
    "Run the native second-order UKF hot loop.\n\n"
    "    ``meas_addr`` is a real-valued measurement ``@cfunc`` address with signature\n"
    "    ``void(double* vars, double* params, double* out)``.\n"
    "    ",
    kUkfParams, &g_result, ukf_hot_loop_impl, /*keyword_errors_first=*/false);

}  // namespace orv_module
