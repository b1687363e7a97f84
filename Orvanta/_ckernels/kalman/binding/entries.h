// The module's Python entries, each declared and defined in a file of its own
// (entry_<name>.cpp), and the one list of them: ORV_KALMAN_ENTRIES(X) applies
// X to each entry's spec, in the order the module binds them (each entry,
// then its named result type when it has one). A new entry is its native
// body, its entry file and one line here.
#ifndef ORV_KALMAN_ENTRIES_H
#define ORV_KALMAN_ENTRIES_H

#include "py_glue.h"  // Python.h first, as the C API requires

#include <cstddef>

#include "../kalman.h"

#define ORV_KALMAN_ENTRIES(X) \
  X(kKalmanEntry)             \
  X(kUkfEntry)                \
  X(kFilterEntry)             \
  X(kSmootherEntry)           \
  X(kBatchEntry)              \
  X(kGradEntry)

namespace orv_py {
class named_result;
}

namespace orv_module {

class entry_outputs;

#define ORV_KALMAN_DECLARE_ENTRY(spec) extern const orv_py::entry_spec spec;
ORV_KALMAN_ENTRIES(ORV_KALMAN_DECLARE_ENTRY)
#undef ORV_KALMAN_DECLARE_ENTRY

// What an entry that runs more than the filter (kalman_smoother) adds to
// kalman_filter's call: its own outputs, after the filter's in its result,
// and a native run in place of kf_filter.
class filter_extension {
 public:
  virtual ~filter_extension() = default;
  // Checks what the filter's checks leave open and declares its outputs,
  // with the interpreter lock held; false with an exception set.
  virtual bool add_outputs(const char* entry, const kf_inputs& in, int init,
                           entry_outputs& outputs) = 0;
  // Runs in place of kf_filter, without the interpreter lock; its outputs
  // are those from index `first` of `outputs`.
  virtual int run(const kf_filter_inputs* in, kf_filter_outputs* out,
                  const entry_outputs& outputs, std::size_t first) = 0;
  // Its result type, whose fields start with kalman_filter's.
  virtual const orv_py::named_result& result() = 0;
};

// kalman_filter's call (argument checks, outputs, the native run with the
// lock released, statuses turned into exceptions, the named result), with
// `entry` naming it in messages; ext may be null. kf_filter runs with
// steady_state_tol (an extension runs its own loop).
PyObject* run_filter_entry(PyObject* const* args, const char* entry, filter_extension* ext,
                           f64 steady_state_tol = 0.0);

// Raises the exception of kalman_filter for a status of kf_filter other than
// KF_OK (or of a native call that returns kf_filter's statuses), `where` as
// kf_filter_outputs.where, m the number of observables, `entry` naming the
// entry in the messages that name one.
void raise_filter_status(int status, i64 where, i64 m, const char* entry, f64 loglik = 0.0);

}  // namespace orv_module

#endif  // ORV_KALMAN_ENTRIES_H
