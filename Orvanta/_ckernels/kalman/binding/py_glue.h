// The Python side of the entries: owned references, typed views of float64
// buffers, argument conversion, and a callable type with vectorcall and
// keyword binding, declared by an entry_spec (entry_declaration.h).
// Everything here runs with the interpreter lock held and reports failure by
// returning false (or null) with a Python exception set.
#ifndef ORV_KALMAN_PY_GLUE_H
#define ORV_KALMAN_PY_GLUE_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>

#include "../../_common/orv_common.h"
#include "entry_declaration.h"

namespace orv_py {

// An owned (strong) reference, released when it goes out of scope.
class ref {
 public:
  ref() noexcept = default;
  explicit ref(PyObject* owned) noexcept : p_(owned) {}
  static ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return ref(p);
  }
  ~ref() { Py_XDECREF(p_); }
  ref(ref&& other) noexcept : p_(other.release()) {}
  ref& operator=(ref&& other) noexcept {
    reset(other.release());
    return *this;
  }
  ref(const ref&) = delete;
  ref& operator=(const ref&) = delete;

  PyObject* get() const noexcept { return p_; }
  PyObject* release() noexcept {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  void reset(PyObject* owned = nullptr) noexcept {
    PyObject* old = p_;
    p_ = owned;
    Py_XDECREF(old);
  }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// What a view asks of a buffer besides its layout: to be writable (the
// arrays of kalman_hot_loop and ukf_hot_loop, and every output), or only
// readable (inputs that are only read).
enum class access { writable, read_only };

// A float64 array of a fixed rank (1 vector, 2 matrix, 3 cube), read in place
// through the buffer protocol; or, with the rank kAnyRank, of whatever rank
// the buffer has, which its user then judges. None is an empty array with a
// null data pointer. The buffer stays acquired until the view is destroyed.
class array_view {
 public:
  static constexpr int kAnyRank = -1;

  explicit array_view(int rank, access mode = access::writable) noexcept
      : rank_(rank), mode_(mode), ndim_(rank > 0 ? rank : 0) {}
  ~array_view() {
    if (held_) PyBuffer_Release(&buffer_);
  }
  array_view(const array_view&) = delete;
  array_view& operator=(const array_view&) = delete;

  // Takes a C-contiguous float64 buffer of the view's rank from obj,
  // writable unless the view is read-only.
  bool acquire(PyObject* obj);

  f64* data() const noexcept { return data_; }
  // The rank of the buffer (the view's rank, for a fixed-rank view); the
  // extents of a buffer of more than three dimensions are not kept.
  int ndim() const noexcept { return ndim_; }
  i64 extent(int dim) const noexcept { return extents_[dim]; }
  i64 size() const noexcept;
  // Data pointer, or null when the array has no elements.
  f64* data_or_null() const noexcept { return size() > 0 ? data_ : nullptr; }

 private:
  int rank_;
  access mode_;
  int ndim_;
  bool held_ = false;
  Py_buffer buffer_{};
  i64 extents_[3] = {0, 0, 0};
  f64* data_ = nullptr;
};

// Whether obj exports a C-contiguous buffer of native float64 values that
// can be read in place; never raises.
bool is_c_contiguous_float64(PyObject* obj);

// Scalar conversions of the entries' arguments.
bool to_f64(PyObject* obj, f64* out);
bool to_flag(PyObject* obj, int* out);
bool to_i64(PyObject* obj, i64* out);
// obj[index], converted as to_i64 converts; the index is a Python int.
bool item_to_i64(PyObject* obj, Py_ssize_t index, i64* out);
bool to_address(PyObject* obj, std::uint64_t* out);

// Looks a name up in a module namespace, then in the builtins; NameError
// when it is in neither.
ref lookup_global(PyObject* module_dict, PyObject* name);

// Returns `converted`. When it is false, adds the note "while converting
// argument 'arg' of entry" to the exception being raised, whose type and
// message stay as they are, so that a caller with many arrays learns which
// one failed.
bool noting_argument(bool converted, const char* entry, const char* arg);

// Readies the entry type and the names its helpers use; called once, by the
// module's exec step.
bool ready_entry_type();

// A new callable for the entry `spec`, with __module__ `module_name`; its
// defaults and text signature are made from the entry's parameters.
ref new_entry(const entry_spec* spec, PyObject* module_name);

}  // namespace orv_py

#endif  // ORV_KALMAN_PY_GLUE_H
