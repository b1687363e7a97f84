// The extension module Orvanta._ckernels.kalman._kalman: module creation and
// initialisation, and the two Python entries kalman_hot_loop and ukf_hot_loop.
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
  const ref zero(PyFloat_FromDouble(0.0));
  if (!g_names.np || !g_names.zeros || !g_names.float64 || !g_names.LinAlgError ||
      !g_names.dtype_kwnames || !zero)
    return false;
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
  const bool ok =
      builtins && module_name && kalman_defaults && ukf_defaults &&
      PyObject_SetAttrString(module, "__builtins__", builtins.get()) == 0 &&
      check_runtime_version() && build_constants() && register_in_sys_modules(module) &&
      bind_new(dict, "np", ref(PyImport_ImportModule("numpy"))) &&
      bind_new(dict, "LinAlgError", import_linalg_error(dict)) && orv_py::ready_entry_type() &&
      bind_new(dict, "kalman_hot_loop",
               orv_py::new_entry(&kKalmanEntry, kalman_defaults.get(), module_name.get())) &&
      bind_new(dict, "ukf_hot_loop",
               orv_py::new_entry(&kUkfEntry, ukf_defaults.get(), module_name.get())) &&
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
