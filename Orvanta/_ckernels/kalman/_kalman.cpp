// The extension module Orvanta._ckernels.kalman._kalman: module creation and
// initialisation, the two Python entries kalman_hot_loop and ukf_hot_loop
// that keep faith with the compiled module this one replaces, and
// kalman_filter, the linear filter for real data, with its named result.
//
// Each entry binds and converts its arguments, checks shapes, allocates its
// outputs with numpy.zeros, fills the native records, runs the native loop
// with the interpreter lock released, and maps the status to an exception.
// Views and references are RAII objects, so every exit path releases them.
//
// Behaviours kept because callers rely on them, though they look unusual:
// - Globals resolved per call. `np` (to allocate the outputs) and `LinAlgError`
//   (to raise) are looked up in the module namespace, then the builtins, at
//   every call, as in the compiled module this one replaces; rebinding
//   `_kalman.np` changes what allocates the outputs.
// - One module object. Once executed, the module is cached and the create step
//   returns it again, so importing after deleting it from sys.modules gives the
//   same object; the exec step leaves that object as it is and refuses any
//   other with RuntimeError, so nothing is initialised twice.
// - One interpreter per process. The module object, the interned names, the
//   shared (0.0, 0.0, 0.0) tuple and the entry type are process-wide, so the
//   create step raises ImportError in any interpreter but the first.
// - `__test__`, an empty dict, as the module this one replaces had; doctest
//   looks for it.
// - Integers through __int__. `meas_addr`, `T` and the `nmk` items take any
//   object with __int__ (__index__ alone is refused), so a float address is
//   truncated, as the module this one replaces converted it.

#include "py_glue.h"  // Python.h first, as the C API requires

#include <frameobject.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cinttypes>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <initializer_list>
#include <cstdio>
#include <span>
#include <utility>

#include "kalman.h"

using orv_py::array_view;
using orv_py::ref;

namespace {

constexpr const char* kQualifiedName = "Orvanta._ckernels.kalman._kalman";

// ---- process-wide state, written only while the module initialises ---------------

std::int64_t g_interpreter_id = -1;  // the interpreter that first created the module
PyObject* g_module = nullptr;        // the one module object, once executed
PyObject* g_module_dict = nullptr;   // its namespace (borrowed from g_module)
PyObject* g_zero_tuple = nullptr;    // (0.0, 0.0, 0.0), shared by every result

struct interned_names {
  PyObject* np;
  PyObject* zeros;
  PyObject* float64;
  PyObject* LinAlgError;
  PyObject* dtype_kwnames;  // ("dtype",)
  PyObject* asarray;
  PyObject* dtype_order_kwnames;  // ("dtype", "order")
  PyObject* C;
  PyObject* dtype;
  PyObject* kind;
};
interned_names g_names{};

// ---- small helpers of the entries -----------------------------------------------------

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
ref new_zeros(std::span<const i64> shape) {
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
  const ref float64(PyObject_GetAttr(np_again.get(), g_names.float64));
  if (!float64) return ref();
  PyObject* call_args[] = {dims.get(), float64.get()};
  return ref(PyObject_Vectorcall(zeros.get(), call_args, 1, g_names.dtype_kwnames));
}

// One output array of an entry: its name in the result, its rank, its extents
// (each names one of the call's extent values), and the field of the native
// output record that receives its data pointer. The first extent is always a
// history length; when it is zero the record gets null instead of the data.
template <class Record, class Extent>
struct output_desc {
  const char* name;
  int rank;
  Extent extents[3];
  f64* Record::*field;
};

// A table is well formed when every rank is one a view supports and every
// field of the record but loglik receives the data of exactly one output, so
// that an output left out of a table, or listed twice, does not compile.
template <class Record, class Extent, std::size_t N>
constexpr bool is_well_formed(const output_desc<Record, Extent> (&table)[N]) {
  for (std::size_t i = 0; i < N; ++i) {
    if (table[i].rank < 1 || table[i].rank > 3 || table[i].field == &Record::loglik)
      return false;
    for (std::size_t j = 0; j < i; ++j)
      if (table[i].field == table[j].field) return false;
  }
  return N + 1 == sizeof(Record) / sizeof(f64*);
}

// The output arrays of one call, as its table describes them: allocated with
// numpy.zeros in table order (the order of the result tuple), then viewed,
// then handed to the native record. Whatever it still holds is released when
// it goes out of scope.
template <class Record, class Extent, std::size_t N>
class call_outputs {
 public:
  using desc = output_desc<Record, Extent>;

  // `extents` holds the value of each Extent for this call and must outlive
  // the object; `entry` names the entry in error messages.
  call_outputs(const char* entry, const desc (&table)[N], std::span<const i64> extents)
      : call_outputs(entry, table, extents, std::make_index_sequence<N>{}) {}

  // Every array is allocated before any is viewed. The loop writes every
  // element of every output, and `np` may have been rebound to anything: so
  // each must be a writable C-contiguous float64 array of exactly the shape
  // asked for, and no two may share memory.
  bool allocate_and_view() {
    for (std::size_t i = 0; i < N; ++i)
      if (!allocate(i)) return false;
    for (std::size_t i = 0; i < N; ++i) {
      if (!views_[i].acquire(arrays_[i].get())) return raise_unusable(i);
      if (!has_requested_shape(i)) return raise_wrong_shape(i);
    }
    return are_disjoint();
  }

  // Maps the pages of every large output in one request each, before the
  // loop writes them. Fresh arrays from np.zeros are mapped lazily, and a
  // page fault per 4 KiB page cost a full-history call at (40, 8, 8) about
  // as long as its arithmetic; one madvise per array does the same work
  // without the traps. Advice only: an older kernel that refuses it changes
  // nothing. Runs without the interpreter lock.
  void map_pages() const noexcept {
    const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
    for (std::size_t i = 0; i < N; ++i) {
      const auto begin = reinterpret_cast<std::uintptr_t>(views_[i].data());
      const auto end = begin + static_cast<std::uintptr_t>(views_[i].size()) * sizeof(f64);
      const std::uintptr_t first = (begin + page - 1) & ~(page - 1), last = end & ~(page - 1);
      if (last > first + kMinMappedBytes)
        madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
    }
  }

  // Points each output's field of the record at its array's data.
  void fill_record(Record& record) const {
    for (std::size_t i = 0; i < N; ++i) {
      const desc& out = table_[i];
      record.*out.field = extent(out, 0) > 0 ? views_[i].data() : nullptr;
    }
  }

  // (0, (0.0, 0.0, 0.0), (arrays..., loglik)); the arrays move into it.
  PyObject* result(f64 loglik) {
    ref out(PyTuple_New(N + 1));
    if (!out) return nullptr;
    PyObject* value = PyFloat_FromDouble(loglik);
    if (value == nullptr) return nullptr;
    PyTuple_SET_ITEM(out.get(), N, value);
    for (std::size_t i = 0; i < N; ++i) PyTuple_SET_ITEM(out.get(), i, arrays_[i].release());
    ref status(PyLong_FromLong(0));
    if (!status) return nullptr;
    return PyTuple_Pack(3, status.get(), g_zero_tuple, out.get());
  }

 private:
  template <std::size_t... I>
  call_outputs(const char* entry, const desc (&table)[N], std::span<const i64> extents,
               std::index_sequence<I...>)
      : entry_(entry),
        table_(table),
        extents_(extents),
        views_{array_view(table[I].rank)...} {}

  i64 extent(const desc& out, int dim) const { return extents_[out.extents[dim]]; }

  bool has_requested_shape(std::size_t i) const {
    for (int d = 0; d < table_[i].rank; ++d)
      if (views_[i].extent(d) != extent(table_[i], d)) return false;
    return true;
  }

  // "(a, b)", the extents of output i as asked for or as received; room for
  // three extents of 20 digits and a sign.
  struct shape_text {
    char text[80];
  };
  shape_text describe_shape(std::size_t i, bool received) const {
    const desc& out = table_[i];
    long long e[3] = {0, 0, 0};
    for (int d = 0; d < out.rank; ++d) e[d] = received ? views_[i].extent(d) : extent(out, d);
    shape_text s{};
    if (out.rank == 1) std::snprintf(s.text, sizeof s.text, "(%lld,)", e[0]);
    if (out.rank == 2) std::snprintf(s.text, sizeof s.text, "(%lld, %lld)", e[0], e[1]);
    if (out.rank == 3) std::snprintf(s.text, sizeof s.text, "(%lld, %lld, %lld)", e[0], e[1], e[2]);
    return s;
  }

  // The view's own error, restated for output i, as a TypeError when the
  // object was of the wrong kind and a ValueError otherwise.
  bool raise_unusable(std::size_t i) const {
    PyObject* cause = PyErr_GetRaisedException();
    PyObject* type =
        PyErr_GivenExceptionMatches(cause, PyExc_TypeError) ? PyExc_TypeError : PyExc_ValueError;
    PyErr_Format(type,
                 "%s: output '%s' from np.zeros is not a writable C-contiguous float64 "
                 "array: %S",
                 entry_, table_[i].name, cause);
    PyObject* raised = PyErr_GetRaisedException();
    PyException_SetCause(raised, cause);
    PyErr_SetRaisedException(raised);
    return false;
  }

  bool raise_wrong_shape(std::size_t i) const {
    PyErr_Format(PyExc_ValueError, "%s: output '%s' from np.zeros has shape %s, not %s.",
                 entry_, table_[i].name, describe_shape(i, true).text,
                 describe_shape(i, false).text);
    return false;
  }

  // No two outputs with elements overlap in memory (an empty one has none).
  bool are_disjoint() const {
    std::uintptr_t begin[N], end[N];
    for (std::size_t i = 0; i < N; ++i) {
      begin[i] = reinterpret_cast<std::uintptr_t>(views_[i].data());
      end[i] = begin[i] + static_cast<std::uintptr_t>(views_[i].size()) * sizeof(f64);
    }
    for (std::size_t i = 0; i < N; ++i)
      for (std::size_t j = 0; j < i; ++j)
        if (begin[i] < end[i] && begin[j] < end[j] && begin[i] < end[j] && begin[j] < end[i]) {
          PyErr_Format(PyExc_ValueError, "%s: outputs '%s' and '%s' from np.zeros share memory.",
                       entry_, table_[j].name, table_[i].name);
          return false;
        }
    return true;
  }

  bool allocate(std::size_t i) {
    const desc& out = table_[i];
    i64 shape[3];
    for (int d = 0; d < out.rank; ++d) shape[d] = extent(out, d);
    arrays_[i] = new_zeros(std::span<const i64>(shape, static_cast<std::size_t>(out.rank)));
    return static_cast<bool>(arrays_[i]);
  }

  // Smaller arrays take too few faults to be worth a system call.
  static constexpr std::uintptr_t kMinMappedBytes = 64 * 1024;

  const char* entry_;
  const desc (&table_)[N];
  std::span<const i64> extents_;
  ref arrays_[N];
  array_view views_[N];  // released before the arrays they view
};

// Raises cls(message), with `cls` looked up in the module namespace now.
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

// The native loop reads exactly these extents: an array must have them, or be
// empty where they describe no element at all (so None stands for any empty
// operand).
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

// ---- kalman_hot_loop --------------------------------------------------------------------

const char* const kKalmanParams[] = {"T", "nmk", "A", "B", "C", "d", "Q", "R", "y", "x0",
                                     "P0", "symmetrize", "jitter", "return_shocks",
                                     "store_history"};

// The extents of kalman_hot_loop's outputs. Only eps_hat has its own history
// length: it is stored when the history is and the shocks are asked for.
namespace kf_dim {
enum extent : int { rows, shock_rows, n, m, k, count };
}

using kf_output = output_desc<kf_outputs, kf_dim::extent>;

// In the order of the result tuple.
constexpr kf_output kKfOutputs[] = {
    {"x_pred", 2, {kf_dim::rows, kf_dim::n}, &kf_outputs::x_pred},
    {"x_filt", 2, {kf_dim::rows, kf_dim::n}, &kf_outputs::x_filt},
    {"P_pred", 3, {kf_dim::rows, kf_dim::n, kf_dim::n}, &kf_outputs::P_pred},
    {"P_filt", 3, {kf_dim::rows, kf_dim::n, kf_dim::n}, &kf_outputs::P_filt},
    {"y_pred", 2, {kf_dim::rows, kf_dim::m}, &kf_outputs::y_pred},
    {"y_filt", 2, {kf_dim::rows, kf_dim::m}, &kf_outputs::y_filt},
    {"innov", 2, {kf_dim::rows, kf_dim::m}, &kf_outputs::innov},
    {"std_innov", 2, {kf_dim::rows, kf_dim::m}, &kf_outputs::std_innov},
    {"S", 3, {kf_dim::rows, kf_dim::m, kf_dim::m}, &kf_outputs::S},
    {"eps_hat", 2, {kf_dim::shock_rows, kf_dim::k}, &kf_outputs::eps_hat},
};
static_assert(is_well_formed(kKfOutputs));

// The value of each kf_dim extent for one call.
std::array<i64, kf_dim::count> kf_extents(const kf_inputs& in) {
  std::array<i64, kf_dim::count> e{};
  e[kf_dim::rows] = in.store_history ? in.T : 0;
  e[kf_dim::shock_rows] = in.store_history && in.return_shocks ? in.T : 0;
  e[kf_dim::n] = in.n;
  e[kf_dim::m] = in.m;
  e[kf_dim::k] = in.k;
  return e;
}

// The operands must match the dimensions the loop is told, or it would read
// outside them.
bool check_kf_shapes(const kf_inputs& d, const array_view& A, const array_view& B,
                     const array_view& C, const array_view& dv, const array_view& Q,
                     const array_view& R, const array_view& y, const array_view& x0,
                     const array_view& P0) {
  const i64 n = d.n, m = d.m, k = d.k;
  if (!require_shape(A, {n, n}, "A must have shape (n, n).") ||
      !require_shape(B, {n, k}, "B must have shape (n, k).") ||
      !require_shape(C, {m, n}, "C must have shape (m, n).") ||
      !require_shape(dv, {m}, "d must have shape (m,).") ||
      !require_shape(Q, {k, k}, "Q must have shape (k, k).") ||
      !require_shape(R, {m, m}, "R must have shape (m, m).") ||
      !require_shape(x0, {n}, "x0 must have shape (n,).") ||
      !require_shape(P0, {n, n}, "P0 must have shape (n, n)."))
    return false;
  // y may hold more rows than the T that are filtered.
  const bool y_ok = d.T <= 0 || (m == 0 && y.size() == 0) ||
                    (y.extent(1) == m && y.extent(0) >= d.T);
  if (!y_ok) PyErr_SetString(PyExc_ValueError, "y must have m columns and at least T rows.");
  return y_ok;
}

PyObject* kalman_hot_loop_impl(PyObject* const* args) {
  enum { kT, kNmk, kA, kB, kC, kD, kQ, kR, kY, kX0, kP0, kSym, kJitter, kShocks, kStore };
  kf_inputs in{};
  const auto converted = [&](bool ok, int param) {
    return orv_py::noting_argument(ok, "kalman_hot_loop", kKalmanParams[param]);
  };
  if (!converted(orv_py::to_i64(args[kT], &in.T), kT)) return nullptr;
  array_view A(2), B(2), C(2), d(1), Q(2), R(2), y(2), x0(1), P0(2);
  array_view* inputs[] = {&A, &B, &C, &d, &Q, &R, &y, &x0, &P0};
  for (int i = 0; i < 9; ++i)
    if (!converted(inputs[i]->acquire(args[kA + i]), kA + i)) return nullptr;
  if (!converted(orv_py::to_flag(args[kSym], &in.symmetrize), kSym) ||
      !converted(orv_py::to_f64(args[kJitter], &in.jitter), kJitter) ||
      !converted(orv_py::to_flag(args[kShocks], &in.return_shocks), kShocks) ||
      !converted(orv_py::to_flag(args[kStore], &in.store_history), kStore))
    return nullptr;
  if (!converted(orv_py::item_to_i64(args[kNmk], 0, &in.n), kNmk) ||
      !converted(orv_py::item_to_i64(args[kNmk], 1, &in.m), kNmk) ||
      !converted(orv_py::item_to_i64(args[kNmk], 2, &in.k), kNmk))
    return nullptr;
  // Without history nothing else would refuse a negative T, and the empty
  // sample's log-likelihood of 0.0 would beat every real one.
  if (in.T < 0) {
    PyErr_Format(PyExc_ValueError, "T must not be negative (got %lld).",
                 static_cast<long long>(in.T));
    return nullptr;
  }
  const auto extents = kf_extents(in);
  call_outputs out("kalman_hot_loop", kKfOutputs, extents);
  if (!out.allocate_and_view()) return nullptr;
  if (!check_kf_shapes(in, A, B, C, d, Q, R, y, x0, P0)) return nullptr;

  in.A = A.data();
  in.B = B.data();
  in.C = C.data();
  in.d = d.data();
  in.Q = Q.data();
  in.R = R.data();
  in.y = in.T > 0 ? y.data() : nullptr;
  in.x0 = x0.data();
  in.P0 = P0.data();
  f64 loglik = 0.0;
  kf_outputs record{};
  out.fill_record(record);
  record.loglik = &loglik;
  int status;
  {
    const gil_released unlocked;
    if (in.store_history) out.map_pages();
    status = kf_hot_loop(&in, &record);
  }
  if (status == KF_ERR_NOT_PD) {
    raise_global(g_names.LinAlgError, "Innovation covariance is not positive definite.");
    return nullptr;
  }
  if (status == KF_ERR_ALLOC) {
    PyErr_SetString(PyExc_MemoryError, "kf_hot_loop: scratch allocation failed.");
    return nullptr;
  }
  return out.result(loglik);
}

const orv_py::entry_spec kKalmanEntry = {
    "kalman_hot_loop",
    "Run the linear Kalman filter; mirrors numba `_kalman_hot_loop`.\n\n"
    "    Returns ``(KF_OK, (0.0, 0.0, 0.0), out)`` where ``out`` is the history tuple\n"
    "    + loglik. Raises ``numpy.linalg.LinAlgError`` on a non-PD innovation\n"
    "    covariance (so KalmanFilter.run's existing ``except`` maps it to\n"
    "    ``MatrixConditionError``).\n"
    "    ",
    "(T, nmk, A, B, C, d, Q, R, y, x0, P0, symmetrize, jitter, return_shocks=False, "
    "store_history=True)",
    kKalmanParams,
    15,
    13,
    kalman_hot_loop_impl,
    0,
};

// ---- kalman_filter -----------------------------------------------------------------------
//
// The linear filter for real data: sizes from the arrays, any real array-like
// as input (converted once when it is not already C-contiguous float64, and
// read in place when it is), missing observations, three kinds of start, and
// a named result. The whole filter, start included, runs in kf_filter with
// the interpreter lock released.

const char* const kFilterParams[] = {"A",      "B",          "C",      "d",
                                     "Q",      "R",          "y",      "x0",
                                     "P0",     "symmetrize", "jitter", "return_shocks",
                                     "store_history", "init", "diffuse_states"};

// The fields of the result, in tuple order; the history arrays follow the
// order of kalman_hot_loop's.
PyStructSequence_Field kResultFields[] = {
    {"loglik", "float: the log-likelihood, the sum of loglik_t taken in period order"},
    {"loglik_t", "(T,) array: each period's term (0.0 for a period with nothing observed)"},
    {"nobs", "int: the number of observed (not NaN) entries of y"},
    {"diffuse_periods", "int: the periods filtered by the exact diffuse recursions"},
    {"x_pred", "(T, n) array or None: the predicted states"},
    {"x_filt", "(T, n) array or None: the filtered states"},
    {"P_pred", "(T, n, n) array or None: the predicted state covariances (in a diffuse "
               "period their finite part)"},
    {"P_filt", "(T, n, n) array or None: the filtered state covariances (in a diffuse "
               "period their finite part)"},
    {"y_pred", "(T, m) array or None: C x_pred + d, for every observable, observed or "
               "not (the nowcast of a missing value)"},
    {"y_filt", "(T, m) array or None: C x_filt + d, for every observable"},
    {"innov", "(T, m) array or None: y - y_pred, NaN where y is missing"},
    {"std_innov", "(T, m) array or None: the innovations standardised by the Cholesky "
                  "factor of the observed block of S; NaN where y is missing and in "
                  "diffuse periods"},
    {"S", "(T, m, m) array or None: C P_pred C^T + R over every observable"},
    {"eps_hat", "(T, k) array or None: the shock estimates, with return_shocks"},
    {nullptr, nullptr},
};
constexpr int kResultFieldCount = 14;

PyStructSequence_Desc kResultDesc = {
    "Orvanta._ckernels.kalman._kalman.KalmanFilterResult",
    "The result of kalman_filter: a named tuple of the log-likelihood, its terms, the\n"
    "counts of observed entries and diffuse periods, and the filtering history (None\n"
    "without store_history; eps_hat None without return_shocks).",
    kResultFields,
    kResultFieldCount,
};

PyTypeObject* g_result_type = nullptr;

// The shape of a view as Python prints a tuple: "(3, 4)", "(5,)", "()".
void shape_text(const array_view& view, char* out, std::size_t len) {
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

// Whether the view has exactly these extents (and their number of them).
bool has_extents(const array_view& view, std::initializer_list<i64> extents) {
  if (view.ndim() != static_cast<int>(extents.size())) return false;
  int d = 0;
  for (const i64 extent : extents)
    if (view.extent(d++) != extent) return false;
  return true;
}

// ValueError "<name> must have shape <symbols> = <values>; got <shape>.",
// or without " = <values>" when `values` is null.
bool fail_shape(const array_view& view, const char* name, const char* symbols,
                const char* values, const char* hint = "") {
  char got[96];
  shape_text(view, got, sizeof got);
  if (values != nullptr)
    PyErr_Format(PyExc_ValueError, "%s must have shape %s = %s; got %s.%s", name, symbols,
                 values, got, hint);
  else
    PyErr_Format(PyExc_ValueError, "%s must have shape %s; got %s.%s", name, symbols, got,
                 hint);
  return false;
}

// Requires the extents, and names them in the message: "(m, n) = (3, 4)".
bool require_extents(const array_view& view, const char* name, const char* symbols,
                     std::initializer_list<i64> extents) {
  if (has_extents(view, extents)) return true;
  char values[96];
  std::size_t used = static_cast<std::size_t>(std::snprintf(values, sizeof values, "("));
  int d = 0;
  for (const i64 extent : extents)
    if (used < sizeof values)
      used += static_cast<std::size_t>(std::snprintf(values + used, sizeof values - used,
                                                     d++ ? ", %lld" : "%lld",
                                                     static_cast<long long>(extent)));
  if (used < sizeof values)
    std::snprintf(values + used, sizeof values - used, extents.size() == 1 ? ",)" : ")");
  return fail_shape(view, name, symbols, values);
}

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

// Argument `name` as an array that can be read in place: obj itself when it
// exports C-contiguous float64 data (never copied), else
// np.asarray(np.asarray(obj), dtype=np.float64, order="C"), one copy, with
// `np` looked up in the module namespace now, once np.asarray has shown it to
// hold real numbers (booleans, integers or floats). Complex, string and
// object arrays are refused rather than cut to float64. (Unlike
// np.ascontiguousarray, this keeps a scalar's rank 0, so that its shape is
// judged as given.)
ref as_real_array(PyObject* obj, const char* name) {
  if (obj == Py_None) {
    PyErr_Format(PyExc_TypeError, "%s must be a real array, not None.", name);
    return ref();
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
    PyErr_Format(PyExc_TypeError, "%s must hold real numbers; got an array of dtype %S.", name,
                 dtype.get());
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

// An input array of kalman_filter: the object read (the argument or its
// conversion) and a read-only view of it, of whatever rank it has.
struct filter_input {
  ref array;
  array_view view{array_view::kAnyRank, orv_py::access::read_only};
  bool given = false;

  // Converts and views obj; None is allowed (given stays false) only when
  // `optional`.
  bool take(PyObject* obj, const char* name, bool optional) {
    if (optional && obj == Py_None) return true;
    array = as_real_array(obj, name);
    if (!array || !view.acquire(array.get())) return false;
    given = true;
    return true;
  }
};

// init: one of the three names.
bool to_init(PyObject* obj, int* out) {
  static constexpr const char* kNames[] = {"known", "stationary", "diffuse"};
  if (PyUnicode_Check(obj)) {
    for (int i = 0; i < 3; ++i) {
      if (PyUnicode_CompareWithASCIIString(obj, kNames[i]) == 0) {
        *out = i == 0 ? KF_INIT_KNOWN : i == 1 ? KF_INIT_STATIONARY : KF_INIT_DIFFUSE;
        return true;
      }
    }
  }
  PyErr_Format(PyUnicode_Check(obj) ? PyExc_ValueError : PyExc_TypeError,
               "init must be 'known', 'stationary' or 'diffuse'; got %R.", obj);
  return false;
}

// The shapes, with n from A, k from B and (T, m) from y, in the order of the
// parameters (A, B and y first, since they set the sizes).
bool check_filter_shapes(filter_input* v, i64* n, i64* k, i64* m, i64* T) {
  enum { kA, kB, kC, kD, kQ, kR, kY, kX0, kP0 };
  const array_view& A = v[kA].view;
  if (A.ndim() != 2 || A.extent(0) != A.extent(1)) return fail_shape(A, "A", "(n, n)", nullptr);
  *n = A.extent(0);
  const array_view& B = v[kB].view;
  if (B.ndim() != 2 || B.extent(0) != *n) {
    char values[64];
    std::snprintf(values, sizeof values, "(%lld, k)", static_cast<long long>(*n));
    return fail_shape(B, "B", "(n, k)", values);
  }
  *k = B.extent(1);
  const array_view& y = v[kY].view;
  if (y.ndim() != 2)
    return fail_shape(y, "y", "(T, m)", nullptr,
                      y.ndim() == 1 ? " One series is a column: y[:, None]." : "");
  *T = y.extent(0);
  *m = y.extent(1);
  return require_extents(v[kC].view, "C", "(m, n)", {*m, *n}) &&
         require_extents(v[kD].view, "d", "(m,)", {*m}) &&
         require_extents(v[kQ].view, "Q", "(k, k)", {*k, *k}) &&
         require_extents(v[kR].view, "R", "(m, m)", {*m, *m}) &&
         (!v[kX0].given || require_extents(v[kX0].view, "x0", "(n,)", {*n})) &&
         (!v[kP0].given || require_extents(v[kP0].view, "P0", "(n, n)", {*n, *n}));
}

// What each start needs of x0, P0 and diffuse_states.
bool check_start(int init, const filter_input& x0, const filter_input& P0,
                 const filter_input& diffuse, i64 n) {
  if (init == KF_INIT_KNOWN && (!x0.given || !P0.given)) {
    PyErr_Format(PyExc_TypeError,
                 "init='known' needs x0 and P0, the filtered state and its covariance in the "
                 "period before the first observation; %s missing.",
                 !x0.given && !P0.given ? "both are" : !x0.given ? "x0 is" : "P0 is");
    return false;
  }
  if (init == KF_INIT_STATIONARY && P0.given) {
    PyErr_SetString(PyExc_ValueError,
                    "P0 must be None with init='stationary': the covariance is the solution of "
                    "P = A P A^T + B Q B^T.");
    return false;
  }
  if (init != KF_INIT_DIFFUSE && diffuse.given) {
    PyErr_SetString(PyExc_ValueError, "diffuse_states is used only with init='diffuse'.");
    return false;
  }
  if (!diffuse.given) return true;
  if (!require_extents(diffuse.view, "diffuse_states", "(n,)", {n})) return false;
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

// The history outputs, in the order of kalman_hot_loop's (kKfOutputs).
constexpr std::size_t kHistoryCount = std::size(kKfOutputs);

PyObject* kalman_filter_impl(PyObject* const* args) {
  enum { kA, kB, kC, kD, kQ, kR, kY, kX0, kP0, kSym, kJitter, kShocks, kStore, kInit,
         kDiffuse };
  filter_input inputs[9];
  static constexpr const char* kNames[] = {"A", "B", "C", "d", "Q", "R", "y", "x0", "P0"};
  for (int i = 0; i < 9; ++i)
    if (!inputs[i].take(args[kA + i], kNames[i], i >= kX0)) return nullptr;
  kf_filter_inputs fin{};
  kf_inputs& in = fin.model;
  if (!orv_py::to_flag(args[kSym], &in.symmetrize) ||
      !orv_py::to_f64(args[kJitter], &in.jitter) ||
      !orv_py::to_flag(args[kShocks], &in.return_shocks) ||
      !orv_py::to_flag(args[kStore], &in.store_history) || !to_init(args[kInit], &fin.init))
    return nullptr;
  filter_input diffuse;
  if (!diffuse.take(args[kDiffuse], "diffuse_states", true)) return nullptr;
  if (!check_filter_shapes(inputs, &in.n, &in.k, &in.m, &in.T) ||
      !check_start(fin.init, inputs[kX0], inputs[kP0], diffuse, in.n))
    return nullptr;

  // The outputs: loglik_t always, the history when it is stored.
  const auto extents = kf_extents(in);
  ref loglik_t = new_zeros(std::array<i64, 1>{in.T});
  ref history[kHistoryCount];
  array_view history_views[kHistoryCount] = {array_view(2), array_view(2), array_view(3),
                                             array_view(3), array_view(2), array_view(2),
                                             array_view(2), array_view(2), array_view(3),
                                             array_view(2)};
  array_view loglik_t_view(1);
  if (!loglik_t || !loglik_t_view.acquire(loglik_t.get())) return nullptr;
  kf_filter_outputs fout{};
  for (std::size_t i = 0; i < kHistoryCount; ++i) {
    const kf_output& desc = kKfOutputs[i];
    const bool stored = desc.field == &kf_outputs::eps_hat
                            ? in.store_history && in.return_shocks
                            : in.store_history != 0;
    if (!stored) continue;  // None in the result
    i64 shape[3];
    for (int d = 0; d < desc.rank; ++d) shape[d] = extents[desc.extents[d]];
    history[i] = new_zeros(std::span<const i64>(shape, static_cast<std::size_t>(desc.rank)));
    if (!history[i] || !history_views[i].acquire(history[i].get())) return nullptr;
    fout.history.*desc.field = history_views[i].data_or_null();
  }

  in.A = inputs[kA].view.data_or_null();
  in.B = inputs[kB].view.data_or_null();
  in.C = inputs[kC].view.data_or_null();
  in.d = inputs[kD].view.data_or_null();
  in.Q = inputs[kQ].view.data_or_null();
  in.R = inputs[kR].view.data_or_null();
  in.y = inputs[kY].view.data_or_null();
  in.x0 = inputs[kX0].given ? inputs[kX0].view.data() : nullptr;
  in.P0 = inputs[kP0].given ? inputs[kP0].view.data() : nullptr;
  fin.diffuse = diffuse.given ? diffuse.view.data() : nullptr;
  f64 loglik = 0.0;
  fout.history.loglik = &loglik;
  fout.loglik_t = loglik_t_view.data_or_null();
  int status;
  {
    const gil_released unlocked;
    status = kf_filter(&fin, &fout);
  }
  switch (status) {
    case KF_OK:
      break;
    case KF_ERR_NOT_PD: {
      char message[128];
      std::snprintf(message, sizeof message,
                    "Innovation covariance is not positive definite (period %lld).",
                    static_cast<long long>(fout.where));
      raise_global(g_names.LinAlgError, message);
      return nullptr;
    }
    case KF_ERR_NOT_STATIONARY:
      PyErr_SetString(PyExc_ValueError,
                      "init='stationary' needs every eigenvalue of A strictly inside the unit "
                      "circle; A has one on or outside it.");
      return nullptr;
    case KF_ERR_INFINITE_OBS:
      PyErr_Format(PyExc_ValueError,
                   "y[%lld, %lld] is infinite; y may hold finite values, and NaN where a "
                   "value is missing.",
                   static_cast<long long>(fout.where / in.m),
                   static_cast<long long>(fout.where % in.m));
      return nullptr;
    case KF_ERR_ALLOC:
      PyErr_SetString(PyExc_MemoryError, "kalman_filter: scratch allocation failed.");
      return nullptr;
    default:
      PyErr_Format(PyExc_ValueError, "kalman_filter failed with status %d.", status);
      return nullptr;
  }

  ref result(PyStructSequence_New(g_result_type));
  ref first[] = {ref(PyFloat_FromDouble(loglik)), std::move(loglik_t),
                 ref(PyLong_FromLongLong(fout.nobs)),
                 ref(PyLong_FromLongLong(fout.diffuse_periods))};
  if (!result || !first[0] || !first[2] || !first[3]) return nullptr;
  for (int i = 0; i < 4; ++i) PyStructSequence_SetItem(result.get(), i, first[i].release());
  for (std::size_t i = 0; i < kHistoryCount; ++i) {
    PyObject* value = history[i] ? history[i].release() : Py_NewRef(Py_None);
    PyStructSequence_SetItem(result.get(), static_cast<Py_ssize_t>(4 + i), value);
  }
  return result.release();
}

const orv_py::entry_spec kFilterEntry = {
    "kalman_filter",
    "Run the linear Kalman filter on data with missing values, from a known, a\n"
    "stationary or an exact diffuse start.\n\n"
    "    x_t = A x_{t-1} + B eps_t (Var eps = Q),  y_t = C x_t + d + e_t (Var e = R);\n"
    "    n, k, T and m come from A (n, n), B (n, k) and y (T, m). Any real array-likes\n"
    "    are accepted; C-contiguous float64 arrays are read in place, others are\n"
    "    converted once. A NaN in y is a missing value; an infinity is an error.\n\n"
    "    init='known': x0, P0 are the filtered moments of the period before the first\n"
    "    observation (both required). init='stationary': P0 solves\n"
    "    P = A P A' + B Q B' (x0 defaults to zeros). init='diffuse': the first\n"
    "    prediction has mean x0 (default zeros) and covariance kappa P_inf + P0\n"
    "    (default zeros), kappa -> infinity, P_inf = diag(diffuse_states) (default:\n"
    "    every state); the exact diffuse recursions of Durbin and Koopman run until\n"
    "    P_inf vanishes.\n\n"
    "    Returns a KalmanFilterResult: loglik, loglik_t, nobs, diffuse_periods, x_pred,\n"
    "    x_filt, P_pred, P_filt, y_pred, y_filt, innov, std_innov, S, eps_hat (see\n"
    "    help(KalmanFilterResult)). Raises numpy.linalg.LinAlgError when an\n"
    "    innovation covariance is not positive definite.\n"
    "    ",
    "(A, B, C, d, Q, R, y, x0=None, P0=None, symmetrize=True, jitter=0.0, "
    "return_shocks=False, store_history=True, *, init='known', diffuse_states=None)",
    kFilterParams,
    15,
    7,
    kalman_filter_impl,
    2,
};

// ---- ukf_hot_loop -------------------------------------------------------------------------

const char* const kUkfParams[] = {
    "meas_addr", "hx", "gx", "bx", "hxx", "gxx", "hss", "gss", "steady_state", "params",
    "Q", "R", "obs", "z0", "P0", "alpha", "beta", "kappa", "jitter", "symmetrize",
    "store_history"};

// The extents of ukf_hot_loop's outputs: the history length, the states, the
// model variables in levels (states and controls), the augmented state
// (first- and second-order parts) and the observables.
namespace ukf_dim {
enum extent : int { rows, ns, nv, nz, no, count };
}

using ukf_output = output_desc<ukf_outputs, ukf_dim::extent>;

// In the order of the result tuple.
constexpr ukf_output kUkfOutputs[] = {
    {"x1_pred", 2, {ukf_dim::rows, ukf_dim::ns}, &ukf_outputs::x1_pred},
    {"x2_pred", 2, {ukf_dim::rows, ukf_dim::ns}, &ukf_outputs::x2_pred},
    {"x1_filt", 2, {ukf_dim::rows, ukf_dim::ns}, &ukf_outputs::x1_filt},
    {"x2_filt", 2, {ukf_dim::rows, ukf_dim::ns}, &ukf_outputs::x2_filt},
    {"x_pred", 2, {ukf_dim::rows, ukf_dim::nv}, &ukf_outputs::x_pred},
    {"x_filt", 2, {ukf_dim::rows, ukf_dim::nv}, &ukf_outputs::x_filt},
    {"P_pred", 3, {ukf_dim::rows, ukf_dim::nz, ukf_dim::nz}, &ukf_outputs::P_pred},
    {"P_filt", 3, {ukf_dim::rows, ukf_dim::nz, ukf_dim::nz}, &ukf_outputs::P_filt},
    {"y_pred", 2, {ukf_dim::rows, ukf_dim::no}, &ukf_outputs::y_pred},
    {"y_filt", 2, {ukf_dim::rows, ukf_dim::no}, &ukf_outputs::y_filt},
    {"innov", 2, {ukf_dim::rows, ukf_dim::no}, &ukf_outputs::innov},
    {"std_innov", 2, {ukf_dim::rows, ukf_dim::no}, &ukf_outputs::std_innov},
    {"S", 3, {ukf_dim::rows, ukf_dim::no, ukf_dim::no}, &ukf_outputs::S},
};
static_assert(is_well_formed(kUkfOutputs));

// The value of each ukf_dim extent for one call.
std::array<i64, ukf_dim::count> ukf_extents(const ukf_inputs& in) {
  std::array<i64, ukf_dim::count> e{};
  e[ukf_dim::rows] = in.store_history ? in.T : 0;
  e[ukf_dim::ns] = in.n_state;
  e[ukf_dim::nv] = in.n_state + in.n_ctrl;
  e[ukf_dim::nz] = 2 * in.n_state;
  e[ukf_dim::no] = in.n_obs;
  return e;
}

// The extents every array must have, in the order callers are told about them.
bool check_ukf_shapes(std::uint64_t meas_addr, const ukf_inputs& in, const array_view& hx,
                      const array_view& gx, const array_view& bx, const array_view& hxx,
                      const array_view& gxx, const array_view& hss, const array_view& gss,
                      const array_view& ss, const array_view& Q, const array_view& R,
                      const array_view& z0, const array_view& P0) {
  const i64 ns = in.n_state, nc = in.n_ctrl, ne = in.n_exog, no = in.n_obs;
  const auto fail = [](const char* message) {
    PyErr_SetString(PyExc_ValueError, message);
    return false;
  };
  if (meas_addr == 0) return fail("ukf_hot_loop requires a nonzero measurement function address.");
  if (ns < 1) return fail("hx must have at least one state.");
  if (no < 1) return fail("obs must have at least one observable column.");
  if (hx.extent(1) != ns) return fail("hx must have shape (n_state, n_state).");
  if (bx.extent(0) != ns) return fail("bx must have shape (n_state, n_exog).");
  if (gx.extent(1) != ns) return fail("gx must have shape (n_ctrl, n_state).");
  if (hxx.extent(0) != ns || hxx.extent(1) != ns || hxx.extent(2) != ns)
    return fail("hxx must have shape (n_state, n_state, n_state).");
  if (gxx.extent(0) != nc || gxx.extent(1) != ns || gxx.extent(2) != ns)
    return fail("gxx must have shape (n_ctrl, n_state, n_state).");
  if (hss.extent(0) != ns) return fail("hss must have shape (n_state,).");
  if (gss.extent(0) != nc) return fail("gss must have shape (n_ctrl,).");
  if (ss.extent(0) != ns + nc) return fail("steady_state must have shape (n_state + n_ctrl,).");
  if (Q.extent(0) != ne || Q.extent(1) != ne) return fail("Q must have shape (n_exog, n_exog).");
  if (R.extent(0) != no || R.extent(1) != no) return fail("R must have shape (n_obs, n_obs).");
  if (z0.extent(0) != 2 * ns) return fail("z0 must have shape (2 * n_state,).");
  if (P0.extent(0) != 2 * ns || P0.extent(1) != 2 * ns)
    return fail("P0 must have shape (2 * n_state, 2 * n_state).");
  return true;
}

PyObject* ukf_hot_loop_impl(PyObject* const* args) {
  enum { kAddr, kHx, kGx, kBx, kHxx, kGxx, kHss, kGss, kSs, kParams, kQ, kR, kObs, kZ0, kP0,
         kAlpha, kBeta, kKappa, kJitter, kSym, kStore };
  const auto converted = [&](bool ok, int param) {
    return orv_py::noting_argument(ok, "ukf_hot_loop", kUkfParams[param]);
  };
  std::uint64_t meas_addr = 0;
  if (!converted(orv_py::to_address(args[kAddr], &meas_addr), kAddr)) return nullptr;
  array_view hx(2), gx(2), bx(2), hxx(3), gxx(3), hss(1), gss(1), ss(1), params(1), Q(2),
      R(2), obs(2), z0(1), P0(2);
  array_view* inputs[] = {&hx, &gx, &bx, &hxx, &gxx, &hss, &gss, &ss, &params, &Q, &R, &obs,
                          &z0, &P0};
  for (int i = 0; i < 14; ++i)
    if (!converted(inputs[i]->acquire(args[kHx + i]), kHx + i)) return nullptr;
  ukf_inputs in{};
  if (!converted(orv_py::to_f64(args[kAlpha], &in.alpha), kAlpha) ||
      !converted(orv_py::to_f64(args[kBeta], &in.beta), kBeta) ||
      !converted(orv_py::to_f64(args[kKappa], &in.kappa), kKappa) ||
      !converted(orv_py::to_f64(args[kJitter], &in.jitter), kJitter) ||
      !converted(orv_py::to_flag(args[kSym], &in.symmetrize), kSym) ||
      !converted(orv_py::to_flag(args[kStore], &in.store_history), kStore))
    return nullptr;
  in.n_state = hx.extent(0);
  in.n_ctrl = gx.extent(0);
  in.n_exog = bx.extent(1);
  in.n_obs = obs.extent(1);
  in.n_params = params.extent(0);
  in.T = obs.extent(0);
  if (!check_ukf_shapes(meas_addr, in, hx, gx, bx, hxx, gxx, hss, gss, ss, Q, R, z0, P0))
    return nullptr;
  const auto extents = ukf_extents(in);
  call_outputs out("ukf_hot_loop", kUkfOutputs, extents);
  if (!out.allocate_and_view()) return nullptr;

  // A function address handed over as an integer.
  in.meas = reinterpret_cast<meas_fn>(static_cast<std::uintptr_t>(meas_addr));
  in.hx = hx.data();
  in.gx = in.n_ctrl > 0 ? gx.data() : nullptr;
  in.bx = in.n_exog > 0 ? bx.data() : nullptr;
  in.hxx = hxx.data();
  in.gxx = in.n_ctrl > 0 ? gxx.data() : nullptr;
  in.hss = hss.data();
  in.gss = in.n_ctrl > 0 ? gss.data() : nullptr;
  in.steady_state = ss.data();
  in.params = in.n_params > 0 ? params.data() : nullptr;
  in.Q = in.n_exog > 0 ? Q.data() : nullptr;
  in.R = R.data();
  in.obs = in.T > 0 ? obs.data() : nullptr;
  in.z0 = z0.data();
  in.P0 = P0.data();
  f64 loglik = 0.0;
  ukf_outputs record{};
  out.fill_record(record);
  record.loglik = &loglik;
  i64 status;
  {
    const gil_released unlocked;
    if (in.store_history) out.map_pages();
    status = ukf_hot_loop(&in, &record);
  }
  if (status == UKF_OK) return out.result(loglik);
  if (status == UKF_ERR_NOT_PD) {
    raise_global(g_names.LinAlgError, "UKF covariance is not positive definite.");
  } else if (status == UKF_ERR_ALLOC) {
    PyErr_SetString(PyExc_MemoryError, "ukf_hot_loop: scratch allocation failed.");
  } else {
    PyErr_Format(PyExc_ValueError, "ukf_hot_loop failed with status %" PRId64 ".", status);
  }
  return nullptr;
}

const orv_py::entry_spec kUkfEntry = {
    "ukf_hot_loop",
    "Run the native second-order UKF hot loop.\n\n"
    "    ``meas_addr`` is a real-valued measurement ``@cfunc`` address with signature\n"
    "    ``void(double* vars, double* params, double* out)``.\n"
    "    ",
    "(meas_addr, hx, gx, bx, hxx, gxx, hss, gss, steady_state, params, Q, R, obs, z0, "
    "P0, alpha, beta, kappa, jitter, symmetrize=True, store_history=True)",
    kUkfParams,
    21,
    19,
    ukf_hot_loop_impl,
    0,
};

// ---- module initialisation -------------------------------------------------------------------

// Gives a failed initialisation a traceback entry of its own name.
void add_traceback(const char* function, PyObject* globals) {
  PyObject* exc = PyErr_GetRaisedException();
  PyCodeObject* code = PyCode_NewEmpty("_kalman.cpp", function, 1);
  PyFrameObject* frame =
      code != nullptr ? PyFrame_New(PyThreadState_Get(), code, globals, nullptr) : nullptr;
  PyErr_Clear();
  PyErr_SetRaisedException(exc);
  if (frame != nullptr) PyTraceBack_Here(frame);
  Py_XDECREF(frame);
  Py_XDECREF(code);
}

// Copies one attribute of the import spec onto the module, or skips it when it
// is None and skip_none is set.
bool copy_spec_attr(PyObject* spec, PyObject* module_dict, const char* from, const char* to,
                    bool skip_none) {
  const ref value(PyObject_GetAttrString(spec, from));
  if (!value) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    return true;
  }
  if (skip_none && value.get() == Py_None) return true;
  return PyDict_SetItemString(module_dict, to, value.get()) == 0;
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
  const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current == -1) return nullptr;
  if (g_interpreter_id == -1) {
    g_interpreter_id = current;
  } else if (current != g_interpreter_id) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one "
                    "interpreter per process.");
    return nullptr;
  }
  if (g_module != nullptr) return Py_NewRef(g_module);
  const ref name(PyObject_GetAttrString(spec, "name"));
  if (!name) return nullptr;
  ref module(PyModule_NewObject(name.get()));
  if (!module) return nullptr;
  PyObject* dict = PyModule_GetDict(module.get());
  if (!copy_spec_attr(spec, dict, "loader", "__loader__", false) ||
      !copy_spec_attr(spec, dict, "origin", "__file__", false) ||
      !copy_spec_attr(spec, dict, "parent", "__package__", false) ||
      !copy_spec_attr(spec, dict, "submodule_search_locations", "__path__", true))
    return nullptr;
  return module.release();
}

bool check_runtime_version() {
  const int built_major = PY_MAJOR_VERSION, built_minor = PY_MINOR_VERSION;
  const int run_major = static_cast<int>((Py_Version >> 24) & 0xff);
  const int run_minor = static_cast<int>((Py_Version >> 16) & 0xff);
  if (built_major == run_major && built_minor == run_minor) return true;
  return PyErr_WarnFormat(PyExc_RuntimeWarning, 1,
                          "compile time Python version %d.%d of module '%.100s' %s runtime "
                          "version %d.%d",
                          built_major, built_minor, kQualifiedName, "does not match", run_major,
                          run_minor) == 0;
}

bool build_constants() {
  if (g_zero_tuple != nullptr) return true;
  g_names.np = PyUnicode_InternFromString("np");
  g_names.zeros = PyUnicode_InternFromString("zeros");
  g_names.float64 = PyUnicode_InternFromString("float64");
  g_names.LinAlgError = PyUnicode_InternFromString("LinAlgError");
  g_names.dtype_kwnames = Py_BuildValue("(s)", "dtype");
  g_names.asarray = PyUnicode_InternFromString("asarray");
  g_names.dtype_order_kwnames = Py_BuildValue("(ss)", "dtype", "order");
  g_names.C = PyUnicode_InternFromString("C");
  g_names.dtype = PyUnicode_InternFromString("dtype");
  g_names.kind = PyUnicode_InternFromString("kind");
  const ref zero(PyFloat_FromDouble(0.0));
  if (!g_names.np || !g_names.zeros || !g_names.float64 || !g_names.LinAlgError ||
      !g_names.dtype_kwnames || !g_names.asarray || !g_names.dtype_order_kwnames || !g_names.C ||
      !g_names.dtype || !g_names.kind || !zero)
    return false;
  if (g_result_type == nullptr) g_result_type = PyStructSequence_NewType(&kResultDesc);
  if (g_result_type == nullptr) return false;
  g_zero_tuple = PyTuple_Pack(3, zero.get(), zero.get(), zero.get());
  return g_zero_tuple != nullptr;
}

bool register_in_sys_modules(PyObject* module) {
  PyObject* modules = PyImport_GetModuleDict();
  PyObject* existing = nullptr;
  const int found = PyDict_GetItemStringRef(modules, kQualifiedName, &existing);
  Py_XDECREF(existing);
  if (found < 0) return false;
  return found == 1 || PyDict_SetItemString(modules, kQualifiedName, module) == 0;
}

// LinAlgError as `from numpy.linalg import LinAlgError` would bind it.
ref import_linalg_error(PyObject* globals) {
  PyObject* modules = PyImport_GetModuleDict();
  PyObject* value = nullptr;
  {
    PyObject* linalg = nullptr;
    if (PyDict_GetItemStringRef(modules, "numpy.linalg", &linalg) < 0) return ref();
    const ref held(linalg);
    if (linalg != nullptr && PyObject_GetOptionalAttr(linalg, g_names.LinAlgError, &value) < 0)
      return ref();
  }
  if (value != nullptr) return ref(value);
  const ref fromlist(Py_BuildValue("(O)", g_names.LinAlgError));
  const ref name(PyUnicode_FromString("numpy.linalg"));
  if (!fromlist || !name) return ref();
  const ref linalg(
      PyImport_ImportModuleLevelObject(name.get(), globals, nullptr, fromlist.get(), 0));
  if (!linalg) return ref();
  if (PyObject_GetOptionalAttr(linalg.get(), g_names.LinAlgError, &value) < 0) return ref();
  if (value != nullptr) return ref(value);
  if (PyDict_GetItemStringRef(modules, "numpy.linalg.LinAlgError", &value) < 0) return ref();
  if (value != nullptr) return ref(value);
  PyErr_Format(PyExc_ImportError, "cannot import name %S", g_names.LinAlgError);
  return ref();
}

bool bind_new(PyObject* dict, const char* name, ref value) {
  return value && PyDict_SetItemString(dict, name, value.get()) == 0;
}

int module_exec(PyObject* module) {
  if (g_module != nullptr) {
    if (g_module == module) return 0;
    PyErr_SetString(PyExc_RuntimeError,
                    "Module '_kalman' has already been imported. Re-initialisation is not "
                    "supported.");
    return -1;
  }
  g_module = Py_NewRef(module);
  g_module_dict = PyModule_GetDict(module);
  PyObject* dict = g_module_dict;
  const ref builtins(PyImport_ImportModule("builtins"));
  const ref module_name(PyUnicode_FromString(kQualifiedName));
  const ref kalman_defaults(Py_BuildValue("(OO)", Py_False, Py_True));
  const ref ukf_defaults(Py_BuildValue("(OO)", Py_True, Py_True));
  const ref filter_defaults(
      Py_BuildValue("(OOOdOOsO)", Py_None, Py_None, Py_True, 0.0, Py_False, Py_True, "known",
                    Py_None));
  const bool ok =
      builtins && module_name && kalman_defaults && ukf_defaults && filter_defaults &&
      PyObject_SetAttrString(module, "__builtins__", builtins.get()) == 0 &&
      check_runtime_version() && build_constants() && register_in_sys_modules(module) &&
      bind_new(dict, "np", ref(PyImport_ImportModule("numpy"))) &&
      bind_new(dict, "LinAlgError", import_linalg_error(dict)) && orv_py::ready_entry_type() &&
      bind_new(dict, "kalman_hot_loop",
               orv_py::new_entry(&kKalmanEntry, kalman_defaults.get(), module_name.get())) &&
      bind_new(dict, "ukf_hot_loop",
               orv_py::new_entry(&kUkfEntry, ukf_defaults.get(), module_name.get())) &&
      bind_new(dict, "kalman_filter",
               orv_py::new_entry(&kFilterEntry, filter_defaults.get(), module_name.get())) &&
      bind_new(dict, "KalmanFilterResult",
               ref::borrow(reinterpret_cast<PyObject*>(g_result_type))) &&
      bind_new(dict, "__test__", ref(PyDict_New()));
  if (ok) return 0;
  add_traceback("init Orvanta._ckernels.kalman._kalman", dict);
  // A later import starts afresh.
  g_module_dict = nullptr;
  Py_CLEAR(g_module);
  return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_kalman",
    "Tarnel shim for the linear Kalman filter hot loop.\n"
    "\n"
    "Allocates the history output arrays, marshals the NumPy buffers into the C\n"
    "kf_inputs/kf_outputs structs, runs kf_hot_loop under nogil, and translates the\n"
    "status code back into the exceptions KalmanFilter.run already handles. The\n"
    "public signature and return shape match the numba `_kalman_hot_loop` so the two\n"
    "are interchangeable at the call site.\n",
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__kalman(void) { return PyModuleDef_Init(&module_def); }
