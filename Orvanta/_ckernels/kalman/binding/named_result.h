// The result type of an entry, made from its declaration: a struct sequence
// type (a named tuple) for a named result, nothing for the hot loops' plain
// tuples. Created once, by module initialisation, then borrowed by every call.
#ifndef ORV_KALMAN_NAMED_RESULT_H
#define ORV_KALMAN_NAMED_RESULT_H

#include "py_glue.h"  // Python.h first, as the C API requires

#include <cstddef>
#include <span>

namespace orv_py {

class named_result {
 public:
  static constexpr std::size_t kMostFields = 32;

  constexpr explicit named_result(const result_decl& decl) noexcept : decl_(decl) {}
  named_result(const named_result&) = delete;
  named_result& operator=(const named_result&) = delete;

  const result_decl& decl() const noexcept { return decl_; }

  // Creates the type of a named result the first time; false with an
  // exception set when it cannot be.
  bool ready() {
    if (decl_.form != result_form::named || type_ != nullptr) return true;
    if (decl_.fields.size() > kMostFields) {
      PyErr_Format(PyExc_SystemError, "%s: too many fields", decl_.name);
      return false;
    }
    for (std::size_t i = 0; i < decl_.fields.size(); ++i)
      fields_[i] = {decl_.fields[i].name, decl_.fields[i].doc};
    fields_[decl_.fields.size()] = {nullptr, nullptr};
    desc_ = {decl_.name, decl_.doc, fields_, static_cast<int>(decl_.fields.size())};
    type_ = PyStructSequence_NewType(&desc_);
    if (type_ == nullptr) return false;
    return add_named_tuple_api();
  }

  // The type (borrowed), null for a plain tuple.
  PyObject* type() const noexcept { return reinterpret_cast<PyObject*>(type_); }

  // The name the module binds the type to: the qualified name's last part.
  const char* short_name() const noexcept {
    const char* last = decl_.name;
    for (const char* c = decl_.name; *c != '\0'; ++c)
      if (*c == '.') last = c + 1;
    return last;
  }

  // A new result holding `items` (moved in), one per field in order; null
  // with the exception set when any is null (a failed conversion).
  ref build(std::span<ref> items) const {
    for (const ref& item : items)
      if (!item) return ref();
    ref result(PyStructSequence_New(type_));
    if (!result) return ref();
    for (std::size_t i = 0; i < items.size(); ++i)
      PyStructSequence_SetItem(result.get(), static_cast<Py_ssize_t>(i), items[i].release());
    return result;
  }

 private:
  // `_fields` and `_asdict()`, as collections.namedtuple has them, so that
  // a result turns into a dict or a DataFrame row the usual way.
  bool add_named_tuple_api() {
    ref names(PyTuple_New(static_cast<Py_ssize_t>(decl_.fields.size())));
    if (!names) return false;
    for (std::size_t i = 0; i < decl_.fields.size(); ++i) {
      PyObject* name = PyUnicode_InternFromString(decl_.fields[i].name);
      if (name == nullptr) return false;
      PyTuple_SET_ITEM(names.get(), static_cast<Py_ssize_t>(i), name);
    }
    PyObject* type = reinterpret_cast<PyObject*>(type_);
    if (PyObject_SetAttrString(type, "_fields", names.get()) < 0) return false;
    const ref as_dict(PyDescr_NewMethod(type_, &kAsDictMethod));
    return as_dict && PyObject_SetAttrString(type, "_asdict", as_dict.get()) == 0;
  }

  // result._asdict(): {field: value} in field order.
  static PyObject* as_dict(PyObject* self, PyObject*) {
    const ref names(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(self)), "_fields"));
    if (!names) return nullptr;
    if (!PyTuple_Check(names.get())) {
      PyErr_SetString(PyExc_TypeError, "_fields must be a tuple");
      return nullptr;
    }
    ref dict(PyDict_New());
    if (!dict) return nullptr;
    const Py_ssize_t count = PyTuple_GET_SIZE(names.get());
    for (Py_ssize_t i = 0; i < count && i < PyTuple_GET_SIZE(self); ++i)
      if (PyDict_SetItem(dict.get(), PyTuple_GET_ITEM(names.get(), i),
                         PyTuple_GET_ITEM(self, i)) < 0)
        return nullptr;
    return dict.release();
  }

  static inline PyMethodDef kAsDictMethod = {
      "_asdict", as_dict, METH_NOARGS,
      PyDoc_STR("_asdict($self, /)\n--\n\nA new dict of the fields and their values, in field order.")};

  const result_decl& decl_;
  PyTypeObject* type_ = nullptr;
  PyStructSequence_Field fields_[kMostFields + 1] = {};
  PyStructSequence_Desc desc_ = {};
};

}  // namespace orv_py

#endif  // ORV_KALMAN_NAMED_RESULT_H
