// The output arrays of an entry, described by one table per entry (name,
// rank, extents, field of the native record): allocated with numpy.zeros,
// checked, viewed, handed to the native record and returned in the result.
#ifndef ORV_KALMAN_ENTRY_OUTPUTS_H
#define ORV_KALMAN_ENTRY_OUTPUTS_H

#include "entry_support.h"  // Python.h first, as the C API requires

#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <utility>

#include "module_state.h"

namespace orv_module {

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

// The checks of a fresh output array, for which numpy.zeros (that is, `np`,
// which a caller may rebind) was asked. The loop writes every element of
// every output: so each must be a writable C-contiguous float64 array of
// exactly the shape asked for, and no two may share memory. Each raises
// TypeError or ValueError naming the output and returns false when the
// check fails.

// After a view failed to take output `name`: its error, restated for the
// output, as a TypeError when the object was of the wrong kind and a
// ValueError otherwise, with the original as the cause.
inline bool raise_unusable_output(const char* entry, const char* name) {
  PyObject* cause = PyErr_GetRaisedException();
  PyObject* type =
      PyErr_GivenExceptionMatches(cause, PyExc_TypeError) ? PyExc_TypeError : PyExc_ValueError;
  PyErr_Format(type,
               "%s: output '%s' from np.zeros is not a writable C-contiguous float64 array: %S",
               entry, name, cause);
  PyObject* raised = PyErr_GetRaisedException();
  PyException_SetCause(raised, cause);  // steals cause
  PyErr_SetRaisedException(raised);
  return false;
}

// "(a, b)": room for three extents of 20 digits and a sign.
struct shape_text {
  char text[80];
};
inline shape_text describe_shape(std::span<const i64> e) {
  shape_text s{};
  const auto x = [&](std::size_t d) { return static_cast<long long>(e[d]); };
  if (e.size() == 1) std::snprintf(s.text, sizeof s.text, "(%lld,)", x(0));
  if (e.size() == 2) std::snprintf(s.text, sizeof s.text, "(%lld, %lld)", x(0), x(1));
  if (e.size() == 3) std::snprintf(s.text, sizeof s.text, "(%lld, %lld, %lld)", x(0), x(1), x(2));
  return s;
}

// Output `name`, viewed, has the extents asked for.
inline bool check_output_shape(const char* entry, const char* name, const array_view& view,
                               std::span<const i64> asked) {
  i64 got[3] = {0, 0, 0};
  bool same = true;
  for (std::size_t d = 0; d < asked.size(); ++d) {
    got[d] = view.extent(static_cast<int>(d));
    same = same && got[d] == asked[d];
  }
  if (same) return true;
  PyErr_Format(PyExc_ValueError, "%s: output '%s' from np.zeros has shape %s, not %s.", entry,
               name, describe_shape(std::span<const i64>(got, asked.size())).text,
               describe_shape(asked).text);
  return false;
}

// No two of the outputs share an element (an empty one has none).
inline bool check_outputs_disjoint(const char* entry, std::span<const char* const> names,
                                   std::span<const array_view* const> views) {
  for (std::size_t i = 0; i < views.size(); ++i) {
    const auto begin_i = reinterpret_cast<std::uintptr_t>(views[i]->data());
    const auto end_i = begin_i + static_cast<std::uintptr_t>(views[i]->size()) * sizeof(f64);
    for (std::size_t j = 0; j < i && begin_i < end_i; ++j) {
      const auto begin_j = reinterpret_cast<std::uintptr_t>(views[j]->data());
      const auto end_j = begin_j + static_cast<std::uintptr_t>(views[j]->size()) * sizeof(f64);
      if (begin_j < end_j && begin_i < end_j && begin_j < end_i) {
        PyErr_Format(PyExc_ValueError, "%s: outputs '%s' and '%s' from np.zeros share memory.",
                     entry, names[j], names[i]);
        return false;
      }
    }
  }
  return true;
}

// Maps the pages of a large output in one request, before the loop writes
// them. Fresh arrays from np.zeros are mapped lazily, and a page fault per
// 4 KiB page cost a full-history call at (40, 8, 8) about as long as its
// arithmetic; one madvise per array does the same work without the traps.
// Advice only: an older kernel that refuses it changes nothing. For use
// without the interpreter lock.
inline void map_pages(const array_view& view) noexcept {
  // Smaller arrays take too few faults to be worth a system call.
  constexpr std::uintptr_t kMinMappedBytes = 64 * 1024;
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto begin = reinterpret_cast<std::uintptr_t>(view.data());
  const auto end = begin + static_cast<std::uintptr_t>(view.size()) * sizeof(f64);
  const std::uintptr_t first = (begin + page - 1) & ~(page - 1), last = end & ~(page - 1);
  if (last > first + kMinMappedBytes)
    madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
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

  // Every array is allocated before any is viewed; each is then checked (see
  // the checks above).
  bool allocate_and_view() {
    for (std::size_t i = 0; i < N; ++i)
      if (!allocate(i)) return false;
    const char* names[N];
    const array_view* views[N];
    for (std::size_t i = 0; i < N; ++i) {
      const desc& out = table_[i];
      if (!views_[i].acquire(arrays_[i].get())) return raise_unusable_output(entry_, out.name);
      i64 shape[3] = {0, 0, 0};
      if (!check_output_shape(entry_, out.name, views_[i], requested_shape(i, shape)))
        return false;
      names[i] = out.name;
      views[i] = &views_[i];
    }
    return check_outputs_disjoint(entry_, names, views);
  }

  // The pages of every large output mapped (see map_pages).
  void map_pages() const noexcept {
    for (std::size_t i = 0; i < N; ++i) orv_module::map_pages(views_[i]);
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

  // The shape asked for output i, in `shape` (three extents at most).
  std::span<const i64> requested_shape(std::size_t i, i64 (&shape)[3]) const {
    const desc& out = table_[i];
    for (int d = 0; d < out.rank; ++d) shape[d] = extent(out, d);
    return std::span<const i64>(shape, static_cast<std::size_t>(out.rank));
  }

  bool allocate(std::size_t i) {
    i64 shape[3] = {0, 0, 0};
    arrays_[i] = new_zeros(requested_shape(i, shape));
    return static_cast<bool>(arrays_[i]);
  }

  const char* entry_;
  const desc (&table_)[N];
  std::span<const i64> extents_;
  ref arrays_[N];
  array_view views_[N];  // released before the arrays they view
};

}  // namespace orv_module

#endif  // ORV_KALMAN_ENTRY_OUTPUTS_H
