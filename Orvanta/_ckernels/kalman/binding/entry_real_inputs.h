// Inputs of the entries that take any real array-likes (kalman_filter,
// kalman_smoother, kalman_loglik_batch): C-contiguous float64 arrays read in
// place, anything else converted once, the linear model's shapes, and the
// messages that name an argument whose shape does not fit.
#ifndef ORV_KALMAN_ENTRY_REAL_INPUTS_H
#define ORV_KALMAN_ENTRY_REAL_INPUTS_H

#include "entry_support.h"  // Python.h first, as the C API requires

#include <cstddef>
#include <span>

namespace orv_module {

// The shape of a view as Python prints a tuple: "(3, 4)", "(5,)", "()".
void view_shape_text(const array_view& view, char* out, std::size_t len);

// ValueError "<name> must have shape <symbols> = <values>; got <shape>.",
// or without " = <values>" when `values` is null; returns false.
bool fail_shape(const array_view& view, const char* name, const char* symbols,
                const char* values, const char* hint = "");

// A size of the linear model and the argument it is read from, for the
// message of another argument that disagrees with it.
struct model_size {
  char symbol;             // 'n'
  const char* counted;     // "states": "the number of states n"
  int from;                // the position of the parameter it is read from
  const char* from_name;   // "A"
  const char* from_shape;  // "(n, n)", that argument's shape as the message shows it
  int from_axis;           // 0: its rows, 1: its columns
  i64 value;               // below 0: not known (the symbol is then free)
};

// An argument as the messages show it: its parameter's position and name,
// its shape ("(N, m, n)") and the symbols of its last axes ("(m, n)"), one
// letter each.
struct shaped_arg {
  int position;
  const char* name;
  const char* shape;
  const char* symbols;
};

// "(3, k)": the extents that `sizes` give the symbols of `symbols`, a free
// one (not among them, or not known) as its letter. Returns whether any was
// given.
bool expected_text(const char* symbols, std::span<const model_size> sizes, char* out,
                   std::size_t len);

// Whether the axes of `view` from `lead` on are as many as `symbols` and have
// the extents `sizes` give them (any extent for a free symbol).
bool has_sizes(const array_view& view, int lead, const char* symbols,
               std::span<const model_size> sizes);

// When the axes of `view` from `lead` on match arg.symbols in number and
// each symbol has one extent there, but the extent of exactly one symbol
// differs from its size in `sizes`: ValueError naming both arguments, in
// parameter order, and the extents they disagree on ("A and B disagree on
// the number of states n: A (n, n) has 3 rows, B (n, k) has 2 rows."),
// and true. Otherwise false and nothing raised: the shape does not fit in
// itself, and the caller says so.
bool raise_disagreement(const array_view& view, int lead, const shaped_arg& arg,
                        std::span<const model_size> sizes);

// The extents `sizes` give arg.symbols, on exactly that many axes: when
// they differ, raise_disagreement's message if it applies, else fail_shape's
// ("C must have shape (m, n) = (2, 3); got (3, 2)."); returns whether they
// matched.
bool require_sizes(const array_view& view, const shaped_arg& arg,
                   std::span<const model_size> sizes);

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
