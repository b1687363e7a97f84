// Helpers shared by the module's entries (see entry_support.h).

#include "entry_support.h"  // Python.h first, as the C API requires

#include "module_state.h"

namespace orv_module {

namespace {

// numpy.zeros(shape, dtype=numpy.<dtype>), `np` looked up now.
ref zeros_of(std::span<const i64> shape, PyObject* dtype) {
  const ref np = orv_py::lookup_global(g_module_dict, g_names.np);
  if (!np) return ref();
  const ref zeros(PyObject_GetAttr(np.get(), g_names.zeros));
  if (!zeros) return ref();
  ref dims(PyTuple_New(static_cast<Py_ssize_t>(shape.size())));
  if (!dims) return ref();
  Py_ssize_t i = 0;
  for (const i64 extent : shape) {
    PyObject* item = PyLong_FromLongLong(extent);
    if (item == nullptr) return ref();
    PyTuple_SET_ITEM(dims.get(), i++, item);
  }
  const ref np_again = orv_py::lookup_global(g_module_dict, g_names.np);
  if (!np_again) return ref();
  const ref type(PyObject_GetAttr(np_again.get(), dtype));
  if (!type) return ref();
  PyObject* call_args[] = {dims.get(), type.get()};
  return ref(PyObject_Vectorcall(zeros.get(), call_args, 1, g_names.dtype_kwnames));
}

}  // namespace

ref new_zeros(std::span<const i64> shape) { return zeros_of(shape, g_names.float64); }

ref new_int64_zeros(std::span<const i64> shape) { return zeros_of(shape, g_names.int64); }

void raise_global(PyObject* cls_name, const char* message) {
  const ref cls = orv_py::lookup_global(g_module_dict, cls_name);
  if (!cls) return;
  const ref text(PyUnicode_FromString(message));
  if (!text) return;
  const ref instance(PyObject_CallOneArg(cls.get(), text.get()));
  if (!instance) return;
  if (!PyExceptionInstance_Check(instance.get())) {
    PyErr_SetString(PyExc_TypeError, "exceptions must derive from BaseException");
    return;
  }
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(instance.get())), instance.get());
}

bool has_shape(const array_view& view, std::initializer_list<i64> shape) {
  bool exact = true, no_elements = false;
  int d = 0;
  for (const i64 extent : shape) {
    no_elements = no_elements || extent == 0;
    exact = exact && view.extent(d++) == extent;
  }
  return exact || (no_elements && view.size() == 0);
}

bool require_shape(const array_view& view, std::initializer_list<i64> shape,
                   const char* message) {
  if (has_shape(view, shape)) return true;
  PyErr_SetString(PyExc_ValueError, message);
  return false;
}

}  // namespace orv_module
