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
#include "kalman.h"
#include "module_state.h"

namespace orv_module {

namespace {

const char* const kSmootherParams[] = {"A",      "B",          "C",      "d",
                                       "Q",      "R",          "y",      "x0",
                                       "P0",     "symmetrize", "jitter", "return_shocks",
                                       "store_history", "init", "diffuse_states"};

// The filter's fields (as KalmanFilterResult's), then the smoother's.
PyStructSequence_Field kResultFields[] = {
    {"loglik", "float: the log-likelihood, the sum of loglik_t taken in period order"},
    {"loglik_t", "(T,) array: each period's term (0.0 for a period with nothing observed)"},
    {"nobs", "int: the number of observed (not NaN) entries of y"},
    {"diffuse_periods", "int: the periods filtered by the exact diffuse recursions"},
    {"x_pred", "(T, n) array: the predicted states"},
    {"x_filt", "(T, n) array: the filtered states"},
    {"P_pred", "(T, n, n) array: the predicted state covariances"},
    {"P_filt", "(T, n, n) array: the filtered state covariances"},
    {"y_pred", "(T, m) array: C x_pred + d, for every observable"},
    {"y_filt", "(T, m) array: C x_filt + d, for every observable"},
    {"innov", "(T, m) array: y - y_pred, NaN where y is missing"},
    {"std_innov", "(T, m) array: the standardised innovations, NaN where y is missing"},
    {"S", "(T, m, m) array: C P_pred C^T + R over every observable"},
    {"eps_hat", "(T, k) array or None: the filtered shock estimates (data up to t), with "
                "return_shocks"},
    {"x_smooth", "(T, n) array: the smoothed states, E[x_t | all of y]"},
    {"P_smooth", "(T, n, n) array: their covariances"},
    {"eps_smooth", "(T, k) array: the smoothed shocks, E[eps_t | all of y]"},
    {"eps_smooth_cov", "(T, k, k) array: their covariances"},
    {"e_smooth", "(T, m) array: the smoothed measurement errors, NaN where y is missing"},
    {"x0_smooth", "(n,) array: the smoothed state of the period before the first "
                  "observation"},
    {"P0_smooth", "(n, n) array: its covariance"},
    {nullptr, nullptr},
};
constexpr int kResultFieldCount = 21;

PyStructSequence_Desc kResultDesc = {
    "Orvanta._ckernels.kalman._kalman.KalmanSmootherResult",
    "The result of kalman_smoother: the fields of KalmanFilterResult, then the smoothed\n"
    "states, shocks and measurement errors and the smoothed state of the period before\n"
    "the first observation.",
    kResultFields,
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
    if (init == KF_INIT_DIFFUSE) {
      PyErr_Format(PyExc_ValueError,
                   "%s supports init='known' and init='stationary'; the smoother does not "
                   "run through exact diffuse periods.",
                   entry);
      return false;
    }
    if (in.store_history == 0) {
      PyErr_Format(PyExc_ValueError,
                   "%s needs the filter's history; store_history must be true.", entry);
      return false;
    }
    const i64 n = in.n, m = in.m, k = in.k, T = in.T;
    const std::array<std::array<i64, 3>, kOutputs> shapes = {{
        {T, n, 0}, {T, n, n}, {T, k, 0}, {T, k, k}, {T, m, 0}, {n, 0, 0}, {n, n, 0}}};
    constexpr int kRanks[kOutputs] = {2, 3, 2, 3, 2, 1, 2};
    for (std::size_t i = 0; i < kOutputs; ++i) {
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
    for (std::size_t i = 0; i < kOutputs; ++i) {
      names[i] = kOutputNames[i];
      views[i] = &views_[i];
    }
    return kOutputs;
  }

  int run(const kf_filter_inputs* in, kf_filter_outputs* out) override {
    kf_smoother_outputs sout{};
    sout.filter = *out;
    sout.x_smooth = views_[0].data_or_null();
    sout.P_smooth = views_[1].data_or_null();
    sout.eps_smooth = views_[2].data_or_null();
    sout.eps_smooth_cov = views_[3].data_or_null();
    sout.e_smooth = views_[4].data_or_null();
    sout.x0_smooth = views_[5].data_or_null();
    sout.P0_smooth = views_[6].data_or_null();
    const int status = kf_smoother(in, &sout);
    *out = sout.filter;
    if (sout.where >= 0) out->where = sout.where;
    return status;
  }

  PyTypeObject* result_type() override { return g_result_type; }

  void fill(PyObject* result, Py_ssize_t first) override {
    for (std::size_t i = 0; i < kOutputs; ++i)
      PyStructSequence_SetItem(result, first + static_cast<Py_ssize_t>(i),
                               arrays_[i].release());
  }

 private:
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
    "    The parameters are kalman_filter's; init may be 'known' or 'stationary', and\n"
    "    store_history must be true. The smoothed moments condition on every\n"
    "    observation of y (missing entries left out, as the filter leaves them out).\n\n"
    "    Returns a KalmanSmootherResult: kalman_filter's fields, then x_smooth,\n"
    "    P_smooth, eps_smooth, eps_smooth_cov (the shocks eps_t of\n"
    "    x_t = A x_{t-1} + B eps_t, eps_0 included), e_smooth (NaN where y is\n"
    "    missing), x0_smooth and P0_smooth (the period before the first\n"
    "    observation). Raises numpy.linalg.LinAlgError when an innovation covariance\n"
    "    is not positive definite, ValueError when a smoothed value is not finite.\n"
    "    ",
    "(A, B, C, d, Q, R, y, x0=None, P0=None, symmetrize=True, jitter=0.0, "
    "return_shocks=False, store_history=True, *, init='known', diffuse_states=None)",
    kSmootherParams,
    15,
    7,
    kalman_smoother_impl,
    2,
};

}  // namespace orv_module
