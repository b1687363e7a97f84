// The Python entry kalman_smoother: kalman_filter's call, followed in the
// same native call (kf_smoother, without the interpreter lock) by the
// fixed-interval smoother, with the smoothed states, shocks and measurement
// errors after the filter's fields in its named result.

#include "entries.h"  // Python.h first, as the C API requires

#include <array>
#include <cstdio>
#include <span>

#include "entry_outputs.h"
#include "entry_support.h"
#include "filter_entry_signature.h"
#include "kalman.h"
#include "module_state.h"

namespace orv_module {

namespace {

// The filter's fields, then the smoother's.
auto kResultFields = filter_fields_then(std::array<PyStructSequence_Field, 7>{{
    {"x_smooth", "(T, n) array: the smoothed states, E[x_t | all of y]"},
    {"P_smooth", "(T, n, n) array: their covariances"},
    {"eps_smooth", "(T, k) array: the smoothed shocks, E[eps_t | all of y] (row 0 NaN under "
                   "init='diffuse', where eps_0 is no part of the model)"},
    {"eps_smooth_cov", "(T, k, k) array: their covariances"},
    {"e_smooth", "(T, m) array: the smoothed measurement errors, NaN where y is missing"},
    {"x0_smooth", "(n,) array or None: the smoothed state of the period before the first "
                  "observation (None under init='diffuse')"},
    {"P0_smooth", "(n, n) array or None: its covariance"},
}});
constexpr int kResultFieldCount = static_cast<int>(kResultFields.size()) - 1;

PyStructSequence_Desc kResultDesc = {
    "Orvanta._ckernels.kalman._kalman.KalmanSmootherResult",
    "The result of kalman_smoother: the fields of KalmanFilterResult, then the smoothed\n"
    "states, shocks and measurement errors and the smoothed state of the period before\n"
    "the first observation.",
    kResultFields.data(),
    kResultFieldCount,
};

PyTypeObject* g_result_type = nullptr;

constexpr std::size_t kOutputs = 7;
constexpr const char* kOutputNames[kOutputs] = {"x_smooth",  "P_smooth",  "eps_smooth",
                                                "eps_smooth_cov", "e_smooth",
                                                "x0_smooth", "P0_smooth"};

class smoother_outputs final : public filter_extension {
 public:
  bool allocate(const char* entry, const kf_inputs& in, int init) override {
    if (in.store_history == 0) {
      PyErr_Format(PyExc_ValueError,
                   "%s needs the filter's history; store_history must be true.", entry);
      return false;
    }
    // Under a diffuse start x0 and P0 describe the first period itself:
    // there is no period before it to smooth.
    count_ = init == KF_INIT_DIFFUSE ? kOutputs - 2 : kOutputs;
    const i64 n = in.n, m = in.m, k = in.k, T = in.T;
    const std::array<std::array<i64, 3>, kOutputs> shapes = {{
        {T, n, 0}, {T, n, n}, {T, k, 0}, {T, k, k}, {T, m, 0}, {n, 0, 0}, {n, n, 0}}};
    constexpr int kRanks[kOutputs] = {2, 3, 2, 3, 2, 1, 2};
    for (std::size_t i = 0; i < count_; ++i) {
      const std::span<const i64> asked(shapes[i].data(), static_cast<std::size_t>(kRanks[i]));
      arrays_[i] = new_zeros(asked);
      if (!arrays_[i]) return false;
      if (!views_[i].acquire(arrays_[i].get()))
        return raise_unusable_output(entry, kOutputNames[i]), false;
      if (!check_output_shape(entry, kOutputNames[i], views_[i], asked)) return false;
    }
    return true;
  }

  std::size_t views(const char** names, const array_view** views) override {
    for (std::size_t i = 0; i < count_; ++i) {
      names[i] = kOutputNames[i];
      views[i] = &views_[i];
    }
    return count_;
  }

  int run(const kf_filter_inputs* in, kf_filter_outputs* out) override {
    kf_smoother_outputs sout{};
    sout.filter = *out;
    sout.x_smooth = views_[0].data_or_null();
    sout.P_smooth = views_[1].data_or_null();
    sout.eps_smooth = views_[2].data_or_null();
    sout.eps_smooth_cov = views_[3].data_or_null();
    sout.e_smooth = views_[4].data_or_null();
    sout.x0_smooth = count_ == kOutputs ? views_[5].data_or_null() : nullptr;
    sout.P0_smooth = count_ == kOutputs ? views_[6].data_or_null() : nullptr;
    const int status = kf_smoother(in, &sout);
    *out = sout.filter;
    if (sout.where >= 0) out->where = sout.where;
    return status;
  }

  PyTypeObject* result_type() override { return g_result_type; }

  void fill(PyObject* result, Py_ssize_t first) override {
    for (std::size_t i = 0; i < kOutputs; ++i) {
      PyObject* value = i < count_ ? arrays_[i].release() : Py_NewRef(Py_None);
      PyStructSequence_SetItem(result, first + static_cast<Py_ssize_t>(i), value);
    }
  }

 private:
  std::size_t count_ = kOutputs;  // the outputs allocated, from the first
  ref arrays_[kOutputs];
  array_view views_[kOutputs] = {array_view(2), array_view(3), array_view(2), array_view(3),
                                 array_view(2), array_view(1), array_view(2)};
};

PyObject* kalman_smoother_impl(PyObject* const* args) {
  smoother_outputs outputs;
  return run_filter_entry(args, "kalman_smoother", &outputs);
}

}  // namespace

bool ready_smoother_result_type() {
  if (g_result_type == nullptr) g_result_type = PyStructSequence_NewType(&kResultDesc);
  return g_result_type != nullptr;
}

PyObject* smoother_result_type() { return reinterpret_cast<PyObject*>(g_result_type); }

const orv_py::entry_spec kSmootherEntry = {
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
    kFilterTextSignature,
    kFilterParams,
    kFilterParamCount,
    kFilterRequired,
    kalman_smoother_impl,
    kFilterKeywordOnly,
};

}  // namespace orv_module
