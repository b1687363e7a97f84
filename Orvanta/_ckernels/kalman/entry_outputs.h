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

}  // namespace orv_module

#endif  // ORV_KALMAN_ENTRY_OUTPUTS_H
