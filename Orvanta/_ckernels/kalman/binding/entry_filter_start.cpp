// The start of the linear filter as its entries take it (see
// entry_filter_start.h).

#include "entry_filter_start.h"  // Python.h first, as the C API requires

#include "entry_filter_declarations.h"

#include <cstdio>
#include <cstring>

namespace orv_module {

bool to_init(PyObject* obj, std::span<const char* const> starts, int* out) {
  if (PyUnicode_Check(obj)) {
    for (std::size_t i = 0; i < starts.size(); ++i) {
      if (PyUnicode_CompareWithASCIIString(obj, starts[i]) == 0) {
        *out = static_cast<int>(i);
        return true;
      }
    }
  }
  // "'a', 'b' or 'c'"
  char names[96] = {};
  std::size_t used = 0;
  for (std::size_t i = 0; i < starts.size() && used < sizeof names; ++i) {
    const char* sep = i == 0 ? "" : i + 1 == starts.size() ? " or " : ", ";
    used += static_cast<std::size_t>(
        std::snprintf(names + used, sizeof names - used, "%s'%s'", sep, starts[i]));
  }
  PyErr_Format(PyUnicode_Check(obj) ? PyExc_ValueError : PyExc_TypeError,
               "init must be %s; got %R.", names, obj);
  return false;
}

namespace {

// diffuse_states: n values, each 0 or 1; n is A's.
bool check_diffuse_states(const filter_input& diffuse, i64 n) {
  constexpr int kAt = orv_py::param_index(kFilterParams, "diffuse_states");
  const model_size states[] = {{'n', "states", 0, "A", "(n, n)", 0, n}};
  if (!require_sizes(diffuse.view, {kAt, "diffuse_states", "(n,)", "(n,)"}, states))
    return false;
  const f64* mask = diffuse.view.data();
  for (i64 i = 0; i < n; ++i) {
    if (mask[i] != 0.0 && mask[i] != 1.0) {
      char value[32];
      std::snprintf(value, sizeof value, "%.17g", mask[i]);
      PyErr_Format(PyExc_ValueError,
                   "diffuse_states must hold 0/1 or booleans, one per state; got %s at index "
                   "%lld.",
                   value, static_cast<long long>(i));
      return false;
    }
  }
  return true;
}

}  // namespace

bool check_start(int init, const filter_input& x0, const filter_input& P0,
                 const filter_input* diffuse, i64 n, const char* stationary_detail) {
  if (init == KF_INIT_KNOWN && (!x0.given || !P0.given)) {
    PyErr_Format(PyExc_TypeError,
                 "init='known' needs x0 and P0, the filtered state and its covariance in the "
                 "period before the first observation; %s missing.",
                 !x0.given && !P0.given ? "both are" : !x0.given ? "x0 is" : "P0 is");
    return false;
  }
  if (init == KF_INIT_STATIONARY && P0.given) {
    PyErr_Format(PyExc_ValueError,
                 "P0 must be None with init='stationary': the covariance is the solution of "
                 "P = A P A^T + B Q B^T%s.",
                 stationary_detail);
    return false;
  }
  if (diffuse == nullptr || !diffuse->given) return true;
  if (init != KF_INIT_DIFFUSE) {
    PyErr_SetString(PyExc_ValueError, "diffuse_states is used only with init='diffuse'.");
    return false;
  }
  return check_diffuse_states(*diffuse, n);
}

void raise_infinite_observation(std::span<const i64> index) {
  char text[96] = {};
  std::size_t used = 0;
  for (std::size_t d = 0; d < index.size() && used < sizeof text; ++d)
    used += static_cast<std::size_t>(std::snprintf(text + used, sizeof text - used,
                                                   d == 0 ? "%lld" : ", %lld",
                                                   static_cast<long long>(index[d])));
  PyErr_Format(PyExc_ValueError,
               "y[%s] is infinite; y may hold finite values, and NaN where a value is missing.",
               text);
}

}  // namespace orv_module
