// One call of a linear filter entry: see entry_filter_call.h.

#include "entry_filter_call.h"  // Python.h first, as the C API requires

#include <type_traits>

namespace orv_module {

namespace {

consteval Py_ssize_t model_at(const char* name) {
  return orv_py::param_index(kModelParams, name);
}

constexpr Py_ssize_t kY = model_at("y"), kX0 = model_at("x0"), kP0 = model_at("P0");
static_assert(model_at("A") == 0 && kX0 == kY + 1 && kP0 == kX0 + 1 &&
              kP0 + 1 == std::extent_v<decltype(filter_call::arrays)>);

}  // namespace

bool filter_call::read_model(PyObject* const* args) {
  for (Py_ssize_t i = 0; i <= kP0; ++i)
    if (!arrays[i].take(args[i], kModelParams[i].name, i >= kX0,
                        i == kY ? masked::as_missing : masked::refused))
      return false;
  kf_inputs& in = fin.model;
  PyObject* jitter = args[model_at("jitter")];
  return orv_py::to_flag(args[model_at("symmetrize")], &in.symmetrize) &&
         orv_py::to_f64(jitter, &in.jitter) && check_jitter(in.jitter, jitter);
}

bool filter_call::read_start(PyObject* init, PyObject* diffuse_states) {
  kf_inputs& in = fin.model;
  return to_init(init, kFilterStarts, &fin.init) &&
         diffuse.take(diffuse_states, "diffuse_states", true) &&
         check_model_shapes(arrays, &in.n, &in.k, &in.m, &in.T) &&
         check_start(fin.init, arrays[kX0], arrays[kP0], &diffuse, in.n, "") &&
         check_finite_model(arrays);
}

void filter_call::point_at_inputs() {
  kf_inputs& in = fin.model;
  const f64** model[] = {&in.A, &in.B, &in.C, &in.d, &in.Q, &in.R, &in.y};
  for (Py_ssize_t i = 0; i < kX0; ++i) *model[i] = arrays[i].view.data_or_null();
  in.x0 = arrays[kX0].given ? arrays[kX0].view.data() : nullptr;
  in.P0 = arrays[kP0].given ? arrays[kP0].view.data() : nullptr;
  fin.diffuse = diffuse.given ? diffuse.view.data() : nullptr;
}

}  // namespace orv_module
