// The output arrays of every entry (see entry_outputs.h).

#include "entry_outputs.h"  // Python.h first, as the C API requires

#include <sys/mman.h>
#include <unistd.h>

#include <cassert>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "module_state.h"

namespace orv_module {

namespace {

// After a view failed to take output `name`: its error, restated for the
// output, as a TypeError when the object was of the wrong kind and a
// ValueError otherwise, with the original as the cause.
bool raise_unusable_output(const char* entry, const char* name) {
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
shape_text describe_shape(std::span<const i64> e) {
  shape_text s{};
  const auto x = [&](std::size_t d) { return static_cast<long long>(e[d]); };
  if (e.size() == 1) std::snprintf(s.text, sizeof s.text, "(%lld,)", x(0));
  if (e.size() == 2) std::snprintf(s.text, sizeof s.text, "(%lld, %lld)", x(0), x(1));
  if (e.size() == 3) std::snprintf(s.text, sizeof s.text, "(%lld, %lld, %lld)", x(0), x(1), x(2));
  return s;
}

// Output `name`, viewed, has the extents asked for.
bool check_output_shape(const char* entry, const char* name, const array_view& view,
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
// Advice only: an older kernel that refuses it changes nothing.
void map_view_pages(const array_view& view) noexcept {
  // Smaller arrays take too few faults to be worth a system call.
  constexpr std::uintptr_t kMinMappedBytes = 64 * 1024;
  const auto page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const auto begin = reinterpret_cast<std::uintptr_t>(view.data());
  const auto end = begin + static_cast<std::uintptr_t>(view.size()) * sizeof(f64);
  const std::uintptr_t first = (begin + page - 1) & ~(page - 1), last = end & ~(page - 1);
  if (last > first + kMinMappedBytes)
    madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
}

}  // namespace

// ---- int64 outputs -------------------------------------------------------------------

bool int64_output_view::acquire(PyObject* array, const char* entry, const char* name,
                                std::span<const i64> shape) {
  const bool viewed =
      PyObject_GetBuffer(array, &buffer_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE) ==
      0;
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

bool int64_output_view::is_int64() const {
  const char* format = buffer_.format != nullptr ? buffer_.format : "B";
  if (*format == '@' || *format == '=' || *format == '<') ++format;
  return buffer_.itemsize == 8 &&
         (std::strcmp(format, "q") == 0 || std::strcmp(format, "l") == 0);
}

bool int64_output_view::has_shape(std::span<const i64> shape) const {
  if (buffer_.ndim != static_cast<int>(shape.size())) return false;
  for (std::size_t d = 0; d < shape.size(); ++d)
    if (buffer_.shape[d] != shape[d]) return false;
  return true;
}

// ---- the outputs of one call ---------------------------------------------------------

entry_outputs::slot::slot(const char* name_, element type_, std::span<const i64> shape_) noexcept
    : name(name_),
      type(type_),
      present(true),
      rank(static_cast<int>(shape_.size())),
      f64_view(static_cast<int>(shape_.size())) {
  for (std::size_t d = 0; d < shape_.size(); ++d) shape[d] = shape_[d];
}

entry_outputs::~entry_outputs() {
  for (std::size_t i = count_; i > 0; --i) slot_at(i - 1).~slot();
}

std::size_t entry_outputs::add(const char* name, std::span<const i64> shape, element type) {
  assert(count_ < kMostOutputs && shape.size() <= 3);
  new (&slots_.all[count_]) slot(name, type, shape);
  return count_++;
}

std::size_t entry_outputs::add_none(const char* name) {
  assert(count_ < kMostOutputs);
  slot& s = *new (&slots_.all[count_]) slot(name, element::f64, {});
  s.present = false;
  return count_++;
}

bool entry_outputs::allocate_then_view(std::size_t first, std::size_t last) {
  for (std::size_t i = first; i < last; ++i)
    if (!allocate(i) || !view(i)) return false;
  return true;
}

bool entry_outputs::allocate_all_then_view_all() {
  for (std::size_t i = 0; i < count_; ++i)
    if (!allocate(i)) return false;
  for (std::size_t i = 0; i < count_; ++i)
    if (!view(i)) return false;
  return true;
}

bool entry_outputs::allocate(std::size_t i) {
  slot& s = slot_at(i);
  if (!s.present) return true;
  s.array = s.type == element::f64 ? new_zeros(s.extents()) : new_int64_zeros(s.extents());
  return static_cast<bool>(s.array);
}

bool entry_outputs::view(std::size_t i) {
  slot& s = slot_at(i);
  if (!s.present) return true;
  if (s.type == element::i64) return s.i64_view.acquire(s.array.get(), entry_, s.name, s.extents());
  if (!s.f64_view.acquire(s.array.get())) return raise_unusable_output(entry_, s.name);
  return check_output_shape(entry_, s.name, s.f64_view, s.extents());
}

bool entry_outputs::check_disjoint() const {
  // The bytes [begin, end) of each output, found once; empty when it is
  // absent.
  std::uintptr_t begin[kMostOutputs], end[kMostOutputs];
  for (std::size_t i = 0; i < count_; ++i) {
    const slot& s = slot_at(i);
    const void* data = nullptr;
    std::size_t bytes = 0;
    if (s.present && s.type == element::i64) {
      data = s.i64_view.data();
      bytes = s.i64_view.bytes();
    } else if (s.present) {
      data = s.f64_view.data();
      bytes = static_cast<std::size_t>(s.f64_view.size()) * sizeof(f64);
    }
    begin[i] = reinterpret_cast<std::uintptr_t>(data);
    end[i] = begin[i] + bytes;
  }
  for (std::size_t i = 0; i < count_; ++i) {
    for (std::size_t j = 0; j < i && begin[i] < end[i]; ++j) {
      if (begin[j] < end[j] && begin[i] < end[j] && begin[j] < end[i]) {
        PyErr_Format(PyExc_ValueError, "%s: outputs '%s' and '%s' from np.zeros share memory.",
                     entry_, slot_at(j).name, slot_at(i).name);
        return false;
      }
    }
  }
  return true;
}

void entry_outputs::map_pages(std::size_t first, std::size_t last) const noexcept {
  for (std::size_t i = first; i < last; ++i)
    if (slot_at(i).present && slot_at(i).type == element::f64)
      map_view_pages(slot_at(i).f64_view);
}

ref entry_outputs::take(std::size_t i) {
  return slot_at(i).present ? std::move(slot_at(i).array) : ref::borrow(Py_None);
}

void entry_outputs::take(std::size_t first, std::size_t last, ref* items) {
  for (std::size_t i = first; i < last; ++i) *items++ = take(i);
}

PyObject* entry_outputs::status_result(f64 loglik) {
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

}  // namespace orv_module
