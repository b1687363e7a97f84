// Inputs of the entries that take any real array-likes (see
// entry_real_inputs.h).

#include "entry_real_inputs.h"  // Python.h first, as the C API requires

#include <cmath>
#include <cstdio>
#include <cstring>

#include "module_state.h"

namespace orv_module {

namespace {

// Re-raises a TypeError or ValueError of converting argument `name` as one of
// the same kind that names it, with the original as its cause; anything else
// (a MemoryError, say) passes unchanged.
void name_conversion_error(const char* name) {
  PyObject* original = PyErr_GetRaisedException();
  PyObject* kind = PyErr_GivenExceptionMatches(original, PyExc_TypeError) ? PyExc_TypeError
                   : PyErr_GivenExceptionMatches(original, PyExc_ValueError)
                       ? PyExc_ValueError
                       : nullptr;
  if (kind == nullptr) {
    PyErr_SetRaisedException(original);
    return;
  }
  PyErr_Format(kind, "%s could not be converted to a float64 array: %S", name, original);
  PyObject* renamed = PyErr_GetRaisedException();
  PyException_SetCause(renamed, original);  // steals original
  PyErr_SetRaisedException(renamed);
}

}  // namespace

// The shape of a view as Python prints a tuple: "(3, 4)", "(5,)", "()".
void view_shape_text(const array_view& view, char* out, std::size_t len) {
  if (view.ndim() > 3) {
    std::snprintf(out, len, "an array of %d dimensions", view.ndim());
    return;
  }
  std::size_t used = static_cast<std::size_t>(std::snprintf(out, len, "("));
  for (int d = 0; d < view.ndim() && used < len; ++d)
    used += static_cast<std::size_t>(std::snprintf(out + used, len - used, d ? ", %lld" : "%lld",
                                                   static_cast<long long>(view.extent(d))));
  if (used < len) std::snprintf(out + used, len - used, view.ndim() == 1 ? ",)" : ")");
}

// ValueError "<name> must have shape <symbols> = <values>; got <shape>.",
// or without " = <values>" when `values` is null.
bool fail_shape(const array_view& view, const char* name, const char* symbols,
                const char* values, const char* hint) {
  char got[96];
  view_shape_text(view, got, sizeof got);
  if (values != nullptr)
    PyErr_Format(PyExc_ValueError, "%s must have shape %s = %s; got %s.%s", name, symbols,
                 values, got, hint);
  else
    PyErr_Format(PyExc_ValueError, "%s must have shape %s; got %s.%s", name, symbols, got,
                 hint);
  return false;
}

namespace {

// The one-letter symbols of "(m, n)", in order; at most 3.
int symbols_of(const char* symbols, char out[3]) {
  int count = 0;
  for (const char* c = symbols; *c != '\0' && count < 3; ++c)
    if ((*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z')) out[count++] = *c;
  return count;
}

// The size of `symbol` among `sizes`, or null when it is free.
const model_size* size_of(char symbol, std::span<const model_size> sizes) {
  for (const model_size& size : sizes)
    if (size.symbol == symbol && size.value >= 0) return &size;
  return nullptr;
}

// "3 rows", "1 column", "2 entries": `count` along axis `axis` of an
// argument whose symbols number `rank`.
void count_text(long long count, int axis, int rank, char* out, std::size_t len) {
  const char* one = rank == 1 ? "entry" : axis == 0 ? "row" : "column";
  const char* many = rank == 1 ? "entries" : axis == 0 ? "rows" : "columns";
  std::snprintf(out, len, "%lld %s", count, count == 1 ? one : many);
}

}  // namespace

bool expected_text(const char* symbols, std::span<const model_size> sizes, char* out,
                   std::size_t len) {
  char letters[3];
  const int rank = symbols_of(symbols, letters);
  bool any = false;
  std::size_t used = static_cast<std::size_t>(std::snprintf(out, len, "("));
  for (int d = 0; d < rank && used < len; ++d) {
    const char* sep = d ? ", " : "";
    const model_size* size = size_of(letters[d], sizes);
    any = any || size != nullptr;
    used += static_cast<std::size_t>(
        size != nullptr ? std::snprintf(out + used, len - used, "%s%lld", sep,
                                        static_cast<long long>(size->value))
                        : std::snprintf(out + used, len - used, "%s%c", sep, letters[d]));
  }
  if (used < len) std::snprintf(out + used, len - used, rank == 1 ? ",)" : ")");
  return any;
}

bool has_sizes(const array_view& view, int lead, const char* symbols,
               std::span<const model_size> sizes) {
  char letters[3];
  const int rank = symbols_of(symbols, letters);
  if (lead < 0 || view.ndim() != lead + rank) return false;
  for (int d = 0; d < rank; ++d) {
    const model_size* size = size_of(letters[d], sizes);
    if (size != nullptr && view.extent(lead + d) != size->value) return false;
  }
  return true;
}

bool raise_disagreement(const array_view& view, int lead, const shaped_arg& arg,
                        std::span<const model_size> sizes) {
  char letters[3];
  const int rank = symbols_of(arg.symbols, letters);
  if (lead < 0 || view.ndim() != lead + rank) return false;
  // each symbol one extent, and one symbol only away from its size
  const model_size* differing = nullptr;
  int axis = -1;
  for (int a = 0; a < rank; ++a) {
    for (int b = 0; b < a; ++b)
      if (letters[a] == letters[b] && view.extent(lead + a) != view.extent(lead + b))
        return false;
    const model_size* size = size_of(letters[a], sizes);
    if (size == nullptr || view.extent(lead + a) == size->value) continue;
    if (differing != nullptr && differing != size) return false;
    differing = size;
    if (axis < 0) axis = a;
  }
  if (differing == nullptr) return false;
  char theirs[32], ours[32];
  count_text(static_cast<long long>(differing->value), differing->from_axis, 2, theirs,
             sizeof theirs);
  count_text(static_cast<long long>(view.extent(lead + axis)), axis, rank, ours, sizeof ours);
  const bool source_first = differing->from < arg.position;
  PyErr_Format(PyExc_ValueError,
               "%s and %s disagree on the number of %s %c: %s %s has %s, %s %s has %s.",
               source_first ? differing->from_name : arg.name,
               source_first ? arg.name : differing->from_name, differing->counted,
               differing->symbol, source_first ? differing->from_name : arg.name,
               source_first ? differing->from_shape : arg.shape, source_first ? theirs : ours,
               source_first ? arg.name : differing->from_name,
               source_first ? arg.shape : differing->from_shape, source_first ? ours : theirs);
  return true;
}

bool require_sizes(const array_view& view, const shaped_arg& arg,
                   std::span<const model_size> sizes) {
  if (has_sizes(view, 0, arg.symbols, sizes)) return true;
  if (raise_disagreement(view, 0, arg, sizes)) return false;
  char values[96];
  return fail_shape(view, arg.name, arg.symbols,
                    expected_text(arg.symbols, sizes, values, sizeof values) ? values : nullptr);
}

namespace {

// Whether obj is a numpy.ndarray itself, not a subclass (the common case,
// told apart without a look-up).
bool is_exact_ndarray(PyObject* obj) {
  return std::strcmp(Py_TYPE(obj)->tp_name, "numpy.ndarray") == 0;
}

// Whether obj is a numpy.ma.MaskedArray (or of a subclass), told by the
// names of its type's bases, so that no look-up through `np` is needed.
bool is_masked_array(PyObject* obj) {
  PyObject* bases = Py_TYPE(obj)->tp_mro;
  if (bases == nullptr || !PyTuple_Check(bases)) return false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases); ++i) {
    auto* base = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(bases, i));
    const ref qualified(PyType_GetFullyQualifiedName(base));
    if (!qualified) {
      PyErr_Clear();
      continue;
    }
    const char* text = PyUnicode_AsUTF8(qualified.get());
    if (text != nullptr && (std::strcmp(text, "numpy.ma.MaskedArray") == 0 ||
                            std::strcmp(text, "numpy.ma.core.MaskedArray") == 0))
      return true;
    PyErr_Clear();
  }
  return false;
}

// A masked array's data as float64 with NaN at its masked entries:
// obj.astype(np.float64).filled(nan).
ref masked_entries_as_nan(PyObject* obj) {
  const ref np = orv_py::lookup_global(g_module_dict, g_names.np);
  const ref float64 = np ? ref(PyObject_GetAttr(np.get(), g_names.float64)) : ref();
  if (!float64) return ref();
  const ref as_float(PyObject_CallMethod(obj, "astype", "O", float64.get()));
  if (!as_float) return ref();
  return ref(PyObject_CallMethod(as_float.get(), "filled", "d", std::nan("")));
}

}  // namespace

// Argument `name` as an array that can be read in place: obj itself when it
// exports C-contiguous float64 data (never copied), else
// np.asarray(np.asarray(obj), dtype=np.float64, order="C"), one copy, with
// `np` looked up in the module namespace now, once np.asarray has shown it to
// hold real numbers (booleans, integers or floats). Complex, string and
// object arrays are refused rather than cut to float64. (Unlike
// np.ascontiguousarray, this keeps a scalar's rank 0, so that its shape is
// judged as given.)
ref as_real_array(PyObject* obj, const char* name, masked masks) {
  if (obj == Py_None) {
    PyErr_Format(PyExc_TypeError, "%s must be a real array, not None.", name);
    return ref();
  }
  // A masked array exports its data, masked entries included: its mask has
  // to be read before the data is.
  ref unmasked;
  if (!is_exact_ndarray(obj) && is_masked_array(obj)) {
    if (masks == masked::refused) {
      PyErr_Format(PyExc_TypeError,
                   "%s is a masked array; only y may mark entries with a mask (as missing). "
                   "Pass %s.filled() or np.asarray(%s).",
                   name, name, name);
      return ref();
    }
    unmasked = masked_entries_as_nan(obj);
    if (!unmasked) return ref();
    obj = unmasked.get();
  }
  if (orv_py::is_c_contiguous_float64(obj)) return ref::borrow(obj);
  const ref np = orv_py::lookup_global(g_module_dict, g_names.np);
  if (!np) return ref();
  ref array(PyObject_CallMethodOneArg(np.get(), g_names.asarray, obj));
  if (!array) {
    name_conversion_error(name);
    return ref();
  }
  const ref dtype(PyObject_GetAttr(array.get(), g_names.dtype));
  const ref kind = dtype ? ref(PyObject_GetAttr(dtype.get(), g_names.kind)) : ref();
  if (!kind) return ref();
  const char* code = PyUnicode_Check(kind.get()) ? PyUnicode_AsUTF8(kind.get()) : nullptr;
  if (code == nullptr || code[0] == '\0' || std::strchr("biuf", code[0]) == nullptr) {
    PyErr_Clear();
    // pandas' nullable columns (Float64 holding pd.NA) arrive as objects
    const char* hint = code != nullptr && code[0] == 'O'
                           ? " If it holds pandas' missing values (pd.NA), pass "
                             ".to_numpy(dtype=float, na_value=np.nan)."
                           : "";
    PyErr_Format(PyExc_TypeError, "%s must hold real numbers; got an array of dtype %S.%s",
                 name, dtype.get(), hint);
    return ref();
  }
  const ref float64(PyObject_GetAttr(np.get(), g_names.float64));
  const ref convert(float64 ? PyObject_GetAttr(np.get(), g_names.asarray) : nullptr);
  if (!convert) return ref();
  PyObject* call_args[] = {array.get(), float64.get(), g_names.C};
  ref converted(PyObject_Vectorcall(convert.get(), call_args, 1, g_names.dtype_order_kwnames));
  if (!converted) name_conversion_error(name);
  return converted;
}

// C (m, n) fits n but y (T, m) has C's rows as its periods: ValueError
// suggesting y.T.
bool fail_transposed_y(const array_view& C, const array_view& y) {
  PyErr_Format(PyExc_ValueError,
               "y must have shape (T, m) with m = %lld, the rows of C; got (%lld, %lld), "
               "which looks transposed: pass y.T.",
               static_cast<long long>(C.extent(0)), static_cast<long long>(y.extent(0)),
               static_cast<long long>(y.extent(1)));
  return false;
}

// The model's shapes, with n from A, k from B and (T, m) from y, in the
// order of the parameters (A, B and y first, since they set the sizes).
bool check_model_shapes(const filter_input* v, i64* n, i64* k, i64* m, i64* T) {
  enum { kA, kB, kC, kD, kQ, kR, kY, kX0, kP0 };
  const array_view& A = v[kA].view;
  if (A.ndim() != 2 || A.extent(0) != A.extent(1)) return fail_shape(A, "A", "(n, n)", nullptr);
  *n = A.extent(0);
  model_size sizes[] = {{'n', "states", kA, "A", "(n, n)", 0, *n},
                        {'k', "shocks", kB, "B", "(n, k)", 1, -1},
                        {'m', "observables", kY, "y", "(T, m)", 1, -1}};
  const array_view& B = v[kB].view;
  if (!require_sizes(B, {kB, "B", "(n, k)", "(n, k)"}, sizes)) return false;
  *k = sizes[1].value = B.extent(1);
  const array_view& y = v[kY].view;
  const array_view& C = v[kC].view;
  if (y.ndim() != 2) {
    // A 2-D d with a 1-D y: the arguments were given by position with d left
    // out, each taking the place of the one before it.
    const char* hint = y.ndim() != 1 ? ""
                       : v[kD].view.ndim() == 2
                           ? " The positional arguments look shifted: d (m,) comes between C "
                             "and Q."
                           : " One series is a column: y[:, None].";
    return fail_shape(y, "y", "(T, m)", nullptr, hint);
  }
  *T = y.extent(0);
  *m = sizes[2].value = y.extent(1);
  if (C.ndim() == 2 && C.extent(1) == *n && C.extent(0) != *m && y.extent(0) == C.extent(0))
    return fail_transposed_y(C, y);
  return require_sizes(C, {kC, "C", "(m, n)", "(m, n)"}, sizes) &&
         require_sizes(v[kD].view, {kD, "d", "(m,)", "(m,)"}, sizes) &&
         require_sizes(v[kQ].view, {kQ, "Q", "(k, k)", "(k, k)"}, sizes) &&
         require_sizes(v[kR].view, {kR, "R", "(m, m)", "(m, m)"}, sizes) &&
         (!v[kX0].given || require_sizes(v[kX0].view, {kX0, "x0", "(n,)", "(n,)"}, sizes)) &&
         (!v[kP0].given || require_sizes(v[kP0].view, {kP0, "P0", "(n, n)", "(n, n)"}, sizes));
}

namespace {

// "[1, 0]" for the flat index `at` of an array of rank 1 or 2.
void index_text(const array_view& view, i64 at, char* out, std::size_t len) {
  if (view.ndim() == 2)
    std::snprintf(out, len, "[%lld, %lld]", static_cast<long long>(at / view.extent(1)),
                  static_cast<long long>(at % view.extent(1)));
  else
    std::snprintf(out, len, "[%lld]", static_cast<long long>(at));
}

}  // namespace

bool check_finite_array(const array_view& view, const char* name) {
  const f64* values = view.data_or_null();
  for (i64 at = 0; at < view.size(); ++at) {
    if (std::isfinite(values[at])) continue;
    char where[64];
    index_text(view, at, where, sizeof where);
    PyErr_Format(PyExc_ValueError,
                 "%s%s is %s; the model's arrays (A, B, C, d, Q, R, x0, P0) must hold finite "
                 "values.",
                 name, where, std::isnan(values[at]) ? "nan" : values[at] > 0 ? "inf" : "-inf");
    return false;
  }
  return true;
}

bool check_finite_model(const filter_input* v) {
  static constexpr const char* kNames[] = {"A", "B", "C", "d", "Q", "R", "y", "x0", "P0"};
  constexpr std::size_t kY = 6;  // NaN there is a missing value
  for (std::size_t i = 0; i < std::size(kNames); ++i)
    if (i != kY && v[i].given && !check_finite_array(v[i].view, kNames[i])) return false;
  return true;
}

bool check_jitter(f64 jitter, PyObject* given) {
  if (jitter >= 0.0 && std::isfinite(jitter)) return true;
  PyErr_Format(PyExc_ValueError, "jitter must be a finite number of at least 0; got %R.",
               given);
  return false;
}

bool read_steady_state_tol(PyObject* given, f64* tol) {
  if (!orv_py::to_f64(given, tol)) return false;
  if (*tol >= 0.0 && std::isfinite(*tol)) return true;
  PyErr_Format(PyExc_ValueError,
               "steady_state_tol must be a finite number of at least 0; got %R.", given);
  return false;
}

}  // namespace orv_module
