// The output arrays of every entry (entry_outputs): allocated with
// numpy.zeros, checked, viewed, handed to the native records and returned in
// the result. The hot loops describe theirs by one table each (name, rank,
// extents, field of the native record).
#ifndef ORV_KALMAN_ENTRY_OUTPUTS_H
#define ORV_KALMAN_ENTRY_OUTPUTS_H

#include "entry_support.h"  // Python.h first, as the C API requires

#include <array>
#include <cstddef>
#include <span>

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
               std::span<const i64> shape);
  i64* data() const noexcept { return static_cast<i64*>(buffer_.buf); }
  std::size_t bytes() const noexcept { return static_cast<std::size_t>(buffer_.len); }

 private:
  bool is_int64() const;
  bool has_shape(std::span<const i64> shape) const;

  bool held_ = false;
  Py_buffer buffer_;  // read only once acquired
};

// The output arrays of one call, the one way every entry makes them: each
// declared with its name, shape and element type (or as absent, None in the
// result), allocated with numpy.zeros (`np`, which a caller may rebind),
// viewed and checked, handed to the native records and moved into the
// result. Outputs are kept in the order of the result. Whatever the object
// still holds is released when it goes out of scope.
//
// The checks: the loop writes every element of every output, so each must be
// a writable C-contiguous array of its element type and of exactly the shape
// asked for, and no two may share memory. Each failed check raises TypeError
// or ValueError naming the output.
class entry_outputs {
 public:
  static constexpr std::size_t kMostOutputs = 24;

  // `entry` names the entry in error messages.
  explicit entry_outputs(const char* entry) noexcept : entry_(entry) {}
  ~entry_outputs();
  entry_outputs(const entry_outputs&) = delete;
  entry_outputs& operator=(const entry_outputs&) = delete;

  // Declares the next output, of `shape` (its rank, at most 3, is its size);
  // returns its index.
  std::size_t add(const char* name, std::span<const i64> shape, element type = element::f64);
  // Declares an output the call does not make: None in the result.
  std::size_t add_none(const char* name);
  std::size_t count() const noexcept { return count_; }

  // Outputs [first, last), each allocated and then viewed before the next
  // is allocated.
  bool allocate_then_view(std::size_t first, std::size_t last);
  // Every output allocated before any is viewed.
  bool allocate_all_then_view_all();
  // No two of the outputs share an element (an empty one has none); the
  // first pair found is named in result order.
  bool check_disjoint() const;

  // The pages of every large float64 output in [first, last) mapped in one
  // request each, before the loop writes them; for use without the
  // interpreter lock.
  void map_pages(std::size_t first, std::size_t last) const noexcept;

  f64* data(std::size_t i) const noexcept { return slot_at(i).f64_view.data(); }
  // Output i's data; null when it is absent or has no elements.
  f64* data_or_null(std::size_t i) const noexcept {
    return slot_at(i).present ? slot_at(i).f64_view.data_or_null() : nullptr;
  }
  // Output i's data; null when its first extent is 0 (a history that is not
  // stored), though it may be empty otherwise.
  f64* data_if_rows(std::size_t i) const noexcept {
    return slot_at(i).shape[0] > 0 ? slot_at(i).f64_view.data() : nullptr;
  }
  i64* int64_data(std::size_t i) const noexcept { return slot_at(i).i64_view.data(); }

  // Output i's array, moved out, or None when it is absent.
  ref take(std::size_t i);
  // Moves outputs [first, last) into items, one each.
  void take(std::size_t first, std::size_t last, ref* items);

  // The hot loops' result, (0, (0.0, 0.0, 0.0), (arrays..., loglik)); the
  // arrays move into it.
  PyObject* status_result(f64 loglik);

 private:
  struct slot {
    slot(const char* name, element type, std::span<const i64> shape) noexcept;
    const char* name;
    element type;
    bool present;
    int rank;
    i64 shape[3] = {0, 0, 0};
    ref array;
    // released before the array they view
    array_view f64_view;
    int64_output_view i64_view;

    std::span<const i64> extents() const { return {shape, static_cast<std::size_t>(rank)}; }
  };

  slot& slot_at(std::size_t i) noexcept { return slots_.all[i]; }
  const slot& slot_at(std::size_t i) const noexcept { return slots_.all[i]; }
  std::size_t declare(const char* name, element type, std::span<const i64> shape, bool present);
  bool allocate(std::size_t i);
  bool view(std::size_t i);

  // The slots are made as outputs are declared: most calls declare far fewer
  // than there is room for.
  union slots {
    slots() noexcept {}
    ~slots() {}
    slot all[kMostOutputs];
  };

  const char* entry_;
  std::size_t count_ = 0;
  slots slots_;
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
