// The output arrays of every entry (entry_outputs): allocated with
// numpy.zeros, checked, viewed, handed to the native records and returned in
// the result. The hot loops describe theirs by one table each (name, rank,
// extents, field of the native record).
#ifndef ORV_KALMAN_ENTRY_OUTPUTS_H
#define ORV_KALMAN_ENTRY_OUTPUTS_H

#include "entry_support.h"  // Python.h first, as the C API requires

#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
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

// The element type of an output: float64, or int64 (the batch's statuses).
enum class element : unsigned char { f64, i64 };

// An int64 output as np.zeros returned it, viewed writable.
class int64_output_view {
 public:
  int64_output_view() = default;
  ~int64_output_view() {
    if (held_) PyBuffer_Release(&buffer_);
  }
  int64_output_view(const int64_output_view&) = delete;
  int64_output_view& operator=(const int64_output_view&) = delete;

  // Views `array`, which must be a writable C-contiguous int64 array of
  // `shape`; ValueError naming the output otherwise, with the buffer's own
  // error as its cause when there is one.
  bool acquire(PyObject* array, const char* entry, const char* name,
               std::span<const i64> shape) {
    const bool viewed = PyObject_GetBuffer(array, &buffer_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT |
                                                               PyBUF_WRITABLE) == 0;
    held_ = viewed;
    if (viewed && is_int64() && has_shape(shape)) return true;
    PyObject* cause = PyErr_GetRaisedException();  // null when the view was taken
    PyErr_Format(PyExc_ValueError,
                 "%s: output '%s' from np.zeros is not a writable C-contiguous int64 array of "
                 "shape %s.",
                 entry, name, describe_shape(shape).text);
    if (cause != nullptr) {
      PyObject* raised = PyErr_GetRaisedException();
      PyException_SetCause(raised, cause);  // steals cause
      PyErr_SetRaisedException(raised);
    }
    return false;
  }
  i64* data() const noexcept { return static_cast<i64*>(buffer_.buf); }
  std::size_t bytes() const noexcept { return static_cast<std::size_t>(buffer_.len); }

 private:
  bool is_int64() const {
    const char* format = buffer_.format != nullptr ? buffer_.format : "B";
    if (*format == '@' || *format == '=' || *format == '<') ++format;
    return buffer_.itemsize == 8 && (std::strcmp(format, "q") == 0 || std::strcmp(format, "l") == 0);
  }
  bool has_shape(std::span<const i64> shape) const {
    if (buffer_.ndim != static_cast<int>(shape.size())) return false;
    for (std::size_t d = 0; d < shape.size(); ++d)
      if (buffer_.shape[d] != shape[d]) return false;
    return true;
  }

  bool held_ = false;
  Py_buffer buffer_{};
};

// The output arrays of one call, the one way every entry makes them: each
// declared with its name, shape and element type (or as absent, None in the
// result), allocated with numpy.zeros (`np`, which a caller may rebind),
// viewed and checked (see the checks above), handed to the native records
// and moved into the result. Outputs are kept in the order of the result.
// Whatever the object still holds is released when it goes out of scope.
class entry_outputs {
 public:
  static constexpr std::size_t kMostOutputs = 24;

  // `entry` names the entry in error messages.
  explicit entry_outputs(const char* entry) noexcept : entry_(entry) {}
  entry_outputs(const entry_outputs&) = delete;
  entry_outputs& operator=(const entry_outputs&) = delete;

  // Declares the next output, of `shape` (its rank, at most 3, is its size);
  // returns its index.
  std::size_t add(const char* name, std::span<const i64> shape, element type = element::f64) {
    slot& s = slots_[count_];
    s.name = name;
    s.type = type;
    s.present = true;
    s.rank = static_cast<int>(shape.size());
    for (std::size_t d = 0; d < shape.size(); ++d) s.shape[d] = shape[d];
    return count_++;
  }
  // Declares an output the call does not make: None in the result.
  std::size_t add_none(const char* name) {
    slots_[count_].name = name;
    return count_++;
  }
  std::size_t count() const noexcept { return count_; }

  // Outputs [first, last), each allocated and then viewed before the next
  // is allocated.
  bool allocate_then_view(std::size_t first, std::size_t last) {
    for (std::size_t i = first; i < last; ++i)
      if (!allocate(i) || !view(i)) return false;
    return true;
  }
  // Every output allocated before any is viewed.
  bool allocate_all_then_view_all() {
    for (std::size_t i = 0; i < count_; ++i)
      if (!allocate(i)) return false;
    for (std::size_t i = 0; i < count_; ++i)
      if (!view(i)) return false;
    return true;
  }

  // No two of the outputs share an element (an empty one has none); the
  // first pair found is named in result order.
  bool check_disjoint() const {
    for (std::size_t i = 0; i < count_; ++i) {
      const auto [begin_i, end_i] = bytes(i);
      for (std::size_t j = 0; j < i && begin_i < end_i; ++j) {
        const auto [begin_j, end_j] = bytes(j);
        if (begin_j < end_j && begin_i < end_j && begin_j < end_i) {
          PyErr_Format(PyExc_ValueError, "%s: outputs '%s' and '%s' from np.zeros share memory.",
                       entry_, slots_[j].name, slots_[i].name);
          return false;
        }
      }
    }
    return true;
  }

  // The pages of every large float64 output in [first, last) mapped (see
  // map_pages); for use without the interpreter lock.
  void map_pages(std::size_t first, std::size_t last) const noexcept {
    for (std::size_t i = first; i < last; ++i)
      if (slots_[i].f64_view) orv_module::map_pages(*slots_[i].f64_view);
  }

  f64* data(std::size_t i) const noexcept { return slots_[i].f64_view->data(); }
  // Output i's data; null when it is absent or has no elements.
  f64* data_or_null(std::size_t i) const noexcept {
    return slots_[i].f64_view ? slots_[i].f64_view->data_or_null() : nullptr;
  }
  // Output i's data; null when its first extent is 0 (a history that is not
  // stored), though it may be empty otherwise.
  f64* data_if_rows(std::size_t i) const noexcept {
    return slots_[i].shape[0] > 0 ? slots_[i].f64_view->data() : nullptr;
  }
  i64* int64_data(std::size_t i) const noexcept { return slots_[i].i64_view->data(); }

  // Output i's array, moved out, or None when it is absent.
  ref take(std::size_t i) {
    return slots_[i].present ? std::move(slots_[i].array) : ref::borrow(Py_None);
  }
  // Moves outputs [first, last) into items, one each.
  void take(std::size_t first, std::size_t last, ref* items) {
    for (std::size_t i = first; i < last; ++i) *items++ = take(i);
  }

  // The hot loops' result, (0, (0.0, 0.0, 0.0), (arrays..., loglik)); the
  // arrays move into it.
  PyObject* status_result(f64 loglik) {
    ref out(PyTuple_New(static_cast<Py_ssize_t>(count_ + 1)));
    if (!out) return nullptr;
    PyObject* value = PyFloat_FromDouble(loglik);
    if (value == nullptr) return nullptr;
    PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(count_), value);
    for (std::size_t i = 0; i < count_; ++i)
      PyTuple_SET_ITEM(out.get(), static_cast<Py_ssize_t>(i), take(i).release());
    ref status(PyLong_FromLong(0));
    if (!status) return nullptr;
    return PyTuple_Pack(3, status.get(), g_zero_tuple, out.get());
  }

 private:
  struct slot {
    const char* name = nullptr;
    element type = element::f64;
    bool present = false;
    int rank = 0;
    i64 shape[3] = {0, 0, 0};
    ref array;
    // released before the array they view
    std::optional<array_view> f64_view;
    std::optional<int64_output_view> i64_view;

    std::span<const i64> extents() const { return {shape, static_cast<std::size_t>(rank)}; }
  };

  bool allocate(std::size_t i) {
    slot& s = slots_[i];
    if (!s.present) return true;
    s.array = s.type == element::f64 ? new_zeros(s.extents()) : new_int64_zeros(s.extents());
    return static_cast<bool>(s.array);
  }

  bool view(std::size_t i) {
    slot& s = slots_[i];
    if (!s.present) return true;
    if (s.type == element::i64)
      return s.i64_view.emplace().acquire(s.array.get(), entry_, s.name, s.extents());
    array_view& v = s.f64_view.emplace(s.rank);
    if (!v.acquire(s.array.get())) return raise_unusable_output(entry_, s.name);
    return check_output_shape(entry_, s.name, v, s.extents());
  }

  // The bytes output i covers, [begin, end); empty when it is absent.
  std::pair<std::uintptr_t, std::uintptr_t> bytes(std::size_t i) const {
    const slot& s = slots_[i];
    if (s.f64_view) {
      const auto begin = reinterpret_cast<std::uintptr_t>(s.f64_view->data());
      return {begin, begin + static_cast<std::uintptr_t>(s.f64_view->size()) * sizeof(f64)};
    }
    if (s.i64_view) {
      const auto begin = reinterpret_cast<std::uintptr_t>(s.i64_view->data());
      return {begin, begin + s.i64_view->bytes()};
    }
    return {0, 0};
  }

  const char* entry_;
  std::size_t count_ = 0;
  slot slots_[kMostOutputs];
};

// The outputs a table describes, declared in table order with the call's
// extents; returns the index of the first.
template <class Record, class Extent, std::size_t N>
std::size_t add_table(entry_outputs& outputs, const output_desc<Record, Extent> (&table)[N],
                      std::span<const i64> extents) {
  const std::size_t first = outputs.count();
  for (const output_desc<Record, Extent>& out : table) {
    i64 shape[3] = {0, 0, 0};
    for (int d = 0; d < out.rank; ++d) shape[d] = extents[out.extents[d]];
    outputs.add(out.name, std::span<const i64>(shape, static_cast<std::size_t>(out.rank)));
  }
  return first;
}

// Points each table output's field of the record at its data (null where
// its history length is 0); `first` is the index of the table's first
// output.
template <class Record, class Extent, std::size_t N>
void fill_record(const output_desc<Record, Extent> (&table)[N], const entry_outputs& outputs,
                 std::size_t first, Record& record) {
  for (std::size_t i = 0; i < N; ++i) record.*table[i].field = outputs.data_if_rows(first + i);
}

// The fields of the hot loops' inner result tuple: the table's outputs, then
// loglik.
template <class Record, class Extent, std::size_t N>
constexpr std::array<orv_py::result_field, N + 1> history_tuple_fields(
    const output_desc<Record, Extent> (&table)[N]) {
  std::array<orv_py::result_field, N + 1> fields{};
  for (std::size_t i = 0; i < N; ++i)
    fields[i] = {table[i].name, nullptr, orv_py::field_kind::array};
  fields[N] = {"loglik", nullptr, orv_py::field_kind::real};
  return fields;
}

}  // namespace orv_module

#endif  // ORV_KALMAN_ENTRY_OUTPUTS_H
