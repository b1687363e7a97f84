// The module's Python entries, each defined in a file of its own, and what
// module initialisation needs of them.
#ifndef ORV_KALMAN_ENTRIES_H
#define ORV_KALMAN_ENTRIES_H

#include "py_glue.h"

namespace orv_module {

extern const orv_py::entry_spec kKalmanEntry;  // kalman_hot_loop
extern const orv_py::entry_spec kUkfEntry;     // ukf_hot_loop
extern const orv_py::entry_spec kFilterEntry;  // kalman_filter

// kalman_filter's result type, KalmanFilterResult: created by the first call
// (false with an exception set when it cannot be), then borrowed.
bool ready_filter_result_type();
PyObject* filter_result_type();

}  // namespace orv_module

#endif  // ORV_KALMAN_ENTRIES_H
