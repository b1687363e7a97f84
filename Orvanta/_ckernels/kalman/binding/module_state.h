// The module's process-wide state: created once, while the module
// initialises (_kalman.cpp), and only read afterwards, by the entries.
#ifndef ORV_KALMAN_MODULE_STATE_H
#define ORV_KALMAN_MODULE_STATE_H

#include "py_glue.h"

namespace orv_module {

// Names interned once, for the attribute and keyword look-ups of every call.
struct interned_names {
  PyObject* np;
  PyObject* zeros;
  PyObject* float64;
  PyObject* int64;
  PyObject* LinAlgError;
  PyObject* dtype_kwnames;  // ("dtype",)
  PyObject* asarray;
  PyObject* dtype_order_kwnames;  // ("dtype", "order")
  PyObject* C;
  PyObject* dtype;
  PyObject* kind;
};

extern interned_names g_names;
// The module's namespace (borrowed from the module object), where `np` and
// `LinAlgError` are looked up at every call.
extern PyObject* g_module_dict;
// (0.0, 0.0, 0.0), the middle element of every result of the two hot loops.
extern PyObject* g_zero_tuple;

}  // namespace orv_module

#endif  // ORV_KALMAN_MODULE_STATE_H
