// The module's Python entries, each defined in a file of its own, and what
// module initialisation needs of them.
#ifndef ORV_KALMAN_ENTRIES_H
#define ORV_KALMAN_ENTRIES_H

#include "py_glue.h"  // Python.h first, as the C API requires

#include <cstddef>

#include "kalman.h"

namespace orv_module {

extern const orv_py::entry_spec kKalmanEntry;  // kalman_hot_loop
extern const orv_py::entry_spec kUkfEntry;     // ukf_hot_loop
extern const orv_py::entry_spec kFilterEntry;  // kalman_filter

extern const orv_py::entry_spec kSmootherEntry;  // kalman_smoother
extern const orv_py::entry_spec kBatchEntry;     // kalman_loglik_batch

// What an entry that runs more than the filter (kalman_smoother) adds to
// kalman_filter's call: its own outputs, a native run in place of kf_filter,
// and fields after the filter's in its own result type.
class filter_extension {
 public:
  static constexpr std::size_t kMostOutputs = 8;
  virtual ~filter_extension() = default;
  // Checks what the filter's checks leave open and allocates the outputs,
  // with the interpreter lock held; false with an exception set.
  virtual bool allocate(const char* entry, const kf_inputs& in, int init) = 0;
  // The outputs' names and views, for the checks the filter's outputs get;
  // returns how many (at most kMostOutputs).
  virtual std::size_t views(const char** names, const orv_py::array_view** views) = 0;
  // Runs in place of kf_filter, without the interpreter lock.
  virtual int run(const kf_filter_inputs* in, kf_filter_outputs* out) = 0;
  virtual PyTypeObject* result_type() = 0;
  // Moves the outputs into the result from field `first` on.
  virtual void fill(PyObject* result, Py_ssize_t first) = 0;
};

// kalman_filter's call (argument checks, outputs, the native run with the
// lock released, statuses turned into exceptions, the named result), with
// `entry` naming it in messages; ext may be null.
PyObject* run_filter_entry(PyObject* const* args, const char* entry, filter_extension* ext);

// kalman_smoother's result type, KalmanSmootherResult, likewise.
bool ready_smoother_result_type();
PyObject* smoother_result_type();

// kalman_loglik_batch's result type, KalmanLoglikBatchResult, likewise.
bool ready_batch_result_type();
PyObject* batch_result_type();

// kalman_filter's result type, KalmanFilterResult: created by the first call
// (false with an exception set when it cannot be), then borrowed.
bool ready_filter_result_type();
PyObject* filter_result_type();

}  // namespace orv_module

#endif  // ORV_KALMAN_ENTRIES_H
