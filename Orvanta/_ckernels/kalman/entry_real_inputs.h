// Inputs of the entries that take any real array-likes (kalman_filter,
// kalman_smoother, kalman_loglik_batch): C-contiguous float64 arrays read in
// place, anything else converted once, the linear model's shapes, and the
// messages that name an argument whose shape does not fit.
#ifndef ORV_KALMAN_ENTRY_REAL_INPUTS_H
#define ORV_KALMAN_ENTRY_REAL_INPUTS_H

#include "entry_support.h"  // Python.h first, as the C API requires

#include <cstddef>
#include <initializer_list>

namespace orv_module {

// The shape of a view as Python prints a tuple: "(3, 4)", "(5,)", "()".
void view_shape_text(const array_view& view, char* out, std::size_t len);

// Whether the view has exactly these extents (and their number of them).
bool has_extents(const array_view& view, std::initializer_list<i64> extents);

// ValueError "<name> must have shape <symbols> = <values>; got <shape>.",
// or without " = <values>" when `values` is null; returns false.
bool fail_shape(const array_view& view, const char* name, const char* symbols,
                const char* values, const char* hint = "");

// Requires the extents, and names them in the message: "(m, n) = (3, 4)".
bool require_extents(const array_view& view, const char* name, const char* symbols,
                     std::initializer_list<i64> extents);

// What an input does with a numpy.ma masked array: y reads its masked
// entries as missing (NaN); a model array refuses it.
enum class masked { refused, as_missing };

// Argument `name` as an array that can be read in place: obj itself when it
// exports C-contiguous float64 data (never copied), else one conversion by
// np.asarray. Complex, string and object arrays are refused by name, masked
// arrays as `masks` says.
ref as_real_array(PyObject* obj, const char* name, masked masks = masked::refused);

// An input array of an entry: the object read (the argument or its
// conversion) and a read-only view of it, of whatever rank it has.
struct filter_input {
  ref array;
  array_view view{array_view::kAnyRank, orv_py::access::read_only};
  bool given = false;

  // Converts and views obj; None is allowed (given stays false) only when
  // `optional`.
  bool take(PyObject* obj, const char* name, bool optional,
            masked masks = masked::refused) {
    if (optional && obj == Py_None) return true;
    array = as_real_array(obj, name, masks);
    if (!array || !view.acquire(array.get())) return false;
    given = true;
    return true;
  }
};

// The shapes of the linear model's arrays A, B, C, d, Q, R, y, x0, P0 (`v`,
// in that order; x0 and P0 may be absent), which set n, k, T and m:
// ValueError naming the first that does not fit.
bool check_model_shapes(const filter_input* v, i64* n, i64* k, i64* m, i64* T);

// Every element of the model array `name` is finite: ValueError naming the
// first that is not, and where ("Q[1, 0] is nan; ..."); the view's rank is
// one of the model's (1 or 2). A non-finite parameter gives no likelihood.
bool check_finite_array(const array_view& view, const char* name);

// check_finite_array for each given model array of `v` (in the order of
// check_model_shapes) but y, where NaN is a missing value and an infinity the
// data's own error.
bool check_finite_model(const filter_input* v);

// jitter, added to the innovation covariance, must be a finite number of at
// least 0 (a negative one would make it less positive definite, not more):
// ValueError naming `given` otherwise.
bool check_jitter(f64 jitter, PyObject* given);

// steady_state_tol, the largest change of the predicted covariance at which
// the filter freezes its moments, as a finite number of at least 0 (0 never
// freezes): false with ValueError naming `given` otherwise.
bool read_steady_state_tol(PyObject* given, f64* tol);

}  // namespace orv_module

#endif  // ORV_KALMAN_ENTRY_REAL_INPUTS_H
