// One call of a linear filter entry that takes kalman_filter's model and
// start (kalman_filter, kalman_smoother, kalman_loglik_grad): its arrays and
// settings read and checked in parameter order, and the native record
// pointed at them once the outputs exist.
#ifndef ORV_KALMAN_ENTRY_FILTER_CALL_H
#define ORV_KALMAN_ENTRY_FILTER_CALL_H

#include "entry_filter_declarations.h"  // Python.h first, as the C API requires

#include "../kalman.h"

namespace orv_module {

struct filter_call {
  // A, B, C, d, Q, R, y, x0, P0, the first parameters of every such entry.
  filter_input arrays[9];
  filter_input diffuse;
  kf_filter_inputs fin{};

  // The model's parameters (kModelParams, at the front of args): the arrays
  // (a masked y read as missing), symmetrize and jitter.
  bool read_model(PyObject* const* args);

  // The start's (kStartParams: init, diffuse_states), then what needs them
  // all: the shapes, what the start needs, and finite model values.
  bool read_start(PyObject* init, PyObject* diffuse_states);

  // fin's arrays pointed at the views (null where an argument is absent).
  void point_at_inputs();
};

}  // namespace orv_module

#endif  // ORV_KALMAN_ENTRY_FILTER_CALL_H
