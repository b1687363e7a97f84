// The Python entry kalman_smoother: kalman_filter's call, followed in the
// same native call (kf_smoother, without the interpreter lock) by the
// fixed-interval smoother, with the smoothed states, shocks and measurement
// errors after the filter's fields in its named result.

#include "entries.h"  // Python.h first, as the C API requires

#include <array>
#include <cstdio>
#include <span>

#include "entry_outputs.h"
#include "entry_filter_declarations.h"
#include "../kalman.h"
#include "named_result.h"

namespace orv_module {

namespace {

// The filter's fields, then the smoother's, in the order of its outputs.
constexpr auto kResultFields = filter_fields_then(std::array<orv_py::result_field, 7>{{
    {"x_smooth", "(T, n) array: the smoothed states, E[x_t | all of y]", field_kind::array},
    {"P_smooth", "(T, n, n) array: their covariances", field_kind::array},
    {"eps_smooth", "(T, k) array: the smoothed shocks, E[eps_t | all of y] (row 0 NaN under "
                   "init='diffuse', where eps_0 is no part of the model)", field_kind::array},
    {"eps_smooth_cov", "(T, k, k) array: their covariances", field_kind::array},
    {"e_smooth", "(T, m) array: the smoothed measurement errors, NaN where y is missing",
     field_kind::array},
    {"x0_smooth", "(n,) array or None: the smoothed state of the period before the first "
                  "observation (None under init='diffuse')", field_kind::array_or_none},
    {"P0_smooth", "(n, n) array or None: its covariance", field_kind::array_or_none},
}});

constexpr orv_py::result_decl kResult = {
    orv_py::result_form::named,
    "Orvanta._ckernels.kalman._kalman.KalmanSmootherResult",
    "The result of kalman_smoother: the fields of KalmanFilterResult, then the smoothed\n"
    "states, shocks and measurement errors and the smoothed state of the period before\n"
    "the first observation.",
    kResultFields,
    true,  // store_history=False is refused
};

// The type, created by module initialisation.
orv_py::named_result g_result_type(kResult);

// The smoother's outputs, the fields after the filter's.
constexpr std::size_t kFirstOutput = kFilterResultFields.size();
constexpr std::size_t kOutputs = kResultFields.size() - kFirstOutput;

class smoother_outputs final : public filter_extension {
 public:
  bool add_outputs(const char* entry, const kf_inputs& in, int init,
                   entry_outputs& outputs) override {
    if (in.store_history == 0) {
      PyErr_Format(PyExc_ValueError,
                   "%s needs the filter's history; store_history must be true.", entry);
      return false;
    }
    const i64 n = in.n, m = in.m, k = in.k, T = in.T;
    const std::array<std::array<i64, 3>, kOutputs> shapes = {{
        {T, n, 0}, {T, n, n}, {T, k, 0}, {T, k, k}, {T, m, 0}, {n, 0, 0}, {n, n, 0}}};
    constexpr int kRanks[kOutputs] = {2, 3, 2, 3, 2, 1, 2};
    // Under a diffuse start x0 and P0 describe the first period itself:
    // there is no period before it to smooth.
    const std::size_t made = init == KF_INIT_DIFFUSE ? kOutputs - 2 : kOutputs;
    for (std::size_t i = 0; i < kOutputs; ++i) {
      const char* name = kResultFields[kFirstOutput + i].name;
      const std::span<const i64> shape(shapes[i].data(), static_cast<std::size_t>(kRanks[i]));
      if (i < made) {
        outputs.add(name, shape);
      } else {
        outputs.add_none(name);
      }
    }
    return true;
  }

  int run(const kf_filter_inputs* in, kf_filter_outputs* out, const entry_outputs& outputs,
          std::size_t first) override {
    kf_smoother_outputs sout{};
    sout.filter = *out;
    sout.x_smooth = outputs.data_or_null(first);
    sout.P_smooth = outputs.data_or_null(first + 1);
    sout.eps_smooth = outputs.data_or_null(first + 2);
    sout.eps_smooth_cov = outputs.data_or_null(first + 3);
    sout.e_smooth = outputs.data_or_null(first + 4);
    sout.x0_smooth = outputs.data_or_null(first + 5);
    sout.P0_smooth = outputs.data_or_null(first + 6);
    const int status = kf_smoother(in, &sout);
    *out = sout.filter;
    if (sout.where >= 0) out->where = sout.where;
    return status;
  }

  const orv_py::named_result& result() override { return g_result_type; }
};

PyObject* kalman_smoother_impl(PyObject* const* args) {
  smoother_outputs outputs;
  return run_filter_entry(args, "kalman_smoother", &outputs);
}

}  // namespace

constinit const orv_py::entry_spec kSmootherEntry = orv_py::make_entry(
    "kalman_smoother",
    "Run kalman_filter and then the fixed-interval smoother of Durbin and Koopman.\n\n"
    "    The parameters are kalman_filter's, with store_history true. The smoothed\n"
    "    moments condition on every observation of y (missing entries left out, as\n"
    "    the filter leaves them out); under init='diffuse' the diffuse periods take\n"
    "    the exact initial smoother of Durbin and Koopman.\n\n"
    "    Returns a KalmanSmootherResult: kalman_filter's fields, then x_smooth,\n"
    "    P_smooth, eps_smooth, eps_smooth_cov (the shocks eps_t of\n"
    "    x_t = A x_{t-1} + B eps_t, eps_0 included), e_smooth (NaN where y is\n"
    "    missing), x0_smooth and P0_smooth (the period before the first\n"
    "    observation; None under init='diffuse', where eps_smooth[0] is NaN: the\n"
    "    first period's state is given by its prior as a whole). Raises\n"
    "    numpy.linalg.LinAlgError when an innovation covariance is not positive\n"
    "    definite, ValueError when a smoothed value is not finite.\n"
    "    ",
    kFilterParams, &g_result_type, kalman_smoother_impl);

}  // namespace orv_module
