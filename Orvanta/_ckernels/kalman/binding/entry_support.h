// What every entry of the module uses beside py_glue: the interpreter lock
// released for the native loop, output arrays from numpy.zeros, exceptions
// looked up in the module, and the shape checks of operands.
#ifndef ORV_KALMAN_ENTRY_SUPPORT_H
#define ORV_KALMAN_ENTRY_SUPPORT_H

#include "py_glue.h"

#include <initializer_list>
#include <span>

namespace orv_module {

using orv_py::array_view;
using orv_py::ref;

// Releases the interpreter lock for the lifetime of the object.
class gil_released {
 public:
  gil_released() noexcept : state_(PyEval_SaveThread()) {}
  ~gil_released() { PyEval_RestoreThread(state_); }
  gil_released(const gil_released&) = delete;
  gil_released& operator=(const gil_released&) = delete;

 private:
  PyThreadState* state_;
};

// numpy.zeros(shape, dtype=numpy.float64), with `np` looked up in the module
// namespace at the moment of the call.
ref new_zeros(std::span<const i64> shape);
// The same with dtype=numpy.int64.
ref new_int64_zeros(std::span<const i64> shape);

// Raises cls(message), with `cls` looked up in the module namespace now.
void raise_global(PyObject* cls_name, const char* message);

// Whether an operand has exactly the extents the native loop reads, or is
// empty where they describe no element at all (so None stands for any empty
// operand); require_shape raises ValueError(message) when it has not.
bool has_shape(const array_view& view, std::initializer_list<i64> shape);
bool require_shape(const array_view& view, std::initializer_list<i64> shape,
                   const char* message);

}  // namespace orv_module

#endif  // ORV_KALMAN_ENTRY_SUPPORT_H
