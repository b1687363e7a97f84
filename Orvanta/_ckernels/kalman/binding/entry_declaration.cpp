// What an entry object shows of its declaration (see entry_declaration.h):
// its text signature, its defaults and, for the typing stub, the spelling of
// each parameter and result field.

#include "entry_declaration.h"  // Python.h first, as the C API requires

#include <cstring>

#include "named_result.h"

namespace orv_py {

namespace {

// A string built by appending, that fails once it would not fit.
class text_builder {
 public:
  bool append(const char* text) {
    const std::size_t length = std::strlen(text);
    if (!fits_ || used_ + length >= sizeof text_) {
      fits_ = false;
      return false;
    }
    std::memcpy(text_ + used_, text, length);
    used_ += length;
    text_[used_] = '\0';
    return true;
  }
  // The text as a Python str; SystemError when it did not fit.
  PyObject* str() const {
    if (!fits_) {
      PyErr_SetString(PyExc_SystemError, "entry declaration text too long");
      return nullptr;
    }
    return PyUnicode_FromStringAndSize(text_, static_cast<Py_ssize_t>(used_));
  }

 private:
  char text_[1024] = {};
  std::size_t used_ = 0;
  bool fits_ = true;
};

// The value of a default written as a Python literal.
PyObject* literal_value(const char* literal) {
  if (std::strcmp(literal, "None") == 0) Py_RETURN_NONE;
  if (std::strcmp(literal, "True") == 0) Py_RETURN_TRUE;
  if (std::strcmp(literal, "False") == 0) Py_RETURN_FALSE;
  const std::size_t length = std::strlen(literal);
  if (length >= 2 && literal[0] == '\'' && literal[length - 1] == '\'')
    return PyUnicode_FromStringAndSize(literal + 1, static_cast<Py_ssize_t>(length - 2));
  if (std::strpbrk(literal, ".eE") != nullptr) {
    PyObject* text = PyUnicode_FromString(literal);
    if (text == nullptr) return nullptr;
    PyObject* value = PyFloat_FromString(text);
    Py_DECREF(text);
    return value;
  }
  return PyLong_FromString(literal, nullptr, 10);
}

// The stub's spelling of a parameter of kind `kind`.
const char* kind_annotation(param_kind kind) {
  switch (kind) {
    case param_kind::address: return "int";
    case param_kind::integer: return "SupportsInt";
    case param_kind::integers: return "Sequence[SupportsInt]";
    case param_kind::array: return "_F64";
    case param_kind::array_or_none: return "_F64 | None";
    case param_kind::real_array: return "ArrayLike";
    case param_kind::real_array_or_none: return "ArrayLike | None";
    case param_kind::flag: return "bool";
    case param_kind::real: return "float";
    case param_kind::count: return "int";
    case param_kind::choice: break;
  }
  return nullptr;
}

// The stub's spelling of a parameter: Literal["a", "b"] for a choice.
PyObject* param_annotation(const param& p) {
  if (p.kind != param_kind::choice) return PyUnicode_FromString(kind_annotation(p.kind));
  text_builder text;
  text.append("Literal[");
  for (std::size_t i = 0; i < p.choices.size(); ++i) {
    text.append(i > 0 ? ", \"" : "\"");
    text.append(p.choices[i]);
    text.append("\"");
  }
  text.append("]");
  return text.str();
}

const char* field_annotation(const result_field& field, bool history_always) {
  switch (field.kind) {
    case field_kind::real: return "float";
    case field_kind::integer: return "int";
    case field_kind::array: return "_F64";
    case field_kind::array_or_none: return "_F64 | None";
    case field_kind::history: return history_always ? "_F64" : "_F64 | None";
    case field_kind::int64_array: return "NDArray[np.int64]";
  }
  return "object";
}

// ((name, annotation), ...) from `count` items.
template <class Pair>
PyObject* pairs(std::size_t count, Pair pair) {
  PyObject* all = PyTuple_New(static_cast<Py_ssize_t>(count));
  if (all == nullptr) return nullptr;
  for (std::size_t i = 0; i < count; ++i) {
    PyObject* item = pair(i);
    if (item == nullptr) {
      Py_DECREF(all);
      return nullptr;
    }
    PyTuple_SET_ITEM(all, static_cast<Py_ssize_t>(i), item);
  }
  return all;
}

}  // namespace

PyObject* text_signature(const entry_spec& spec) {
  text_builder text;
  text.append("(");
  for (Py_ssize_t i = 0; i < spec.n_params; ++i) {
    const param& p = spec.params[static_cast<std::size_t>(i)];
    if (i > 0) text.append(", ");
    if (i == spec.n_params - spec.n_keyword_only) text.append("*, ");
    text.append(p.name);
    if (p.default_literal != nullptr) {
      text.append("=");
      text.append(p.default_literal);
    }
  }
  text.append(")");
  return text.str();
}

PyObject* default_values(const entry_spec& spec) {
  const Py_ssize_t count = spec.n_params - spec.n_required;
  PyObject* values = PyTuple_New(count);
  if (values == nullptr) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* value =
        literal_value(spec.params[static_cast<std::size_t>(spec.n_required + i)].default_literal);
    if (value == nullptr) {
      Py_DECREF(values);
      return nullptr;
    }
    PyTuple_SET_ITEM(values, i, value);
  }
  return values;
}

PyObject* stub_declaration(const entry_spec& spec) {
  PyObject* parameters = pairs(spec.params.size(), [&](std::size_t i) -> PyObject* {
    PyObject* annotation = param_annotation(spec.params[i]);
    if (annotation == nullptr) return nullptr;
    return Py_BuildValue("(sN)", spec.params[i].name, annotation);
  });
  if (parameters == nullptr) return nullptr;
  const named_result& result = *spec.result;
  const result_decl& decl = result.decl();
  PyObject* fields = pairs(decl.fields.size(), [&](std::size_t i) -> PyObject* {
    return Py_BuildValue("(ss)", decl.fields[i].name,
                         field_annotation(decl.fields[i], decl.history_always));
  });
  if (fields == nullptr) {
    Py_DECREF(parameters);
    return nullptr;
  }
  const bool named = decl.form == result_form::named;
  return Py_BuildValue("{sNs{sssssN}}", "parameters", parameters, "result", "form",
                       named ? "named" : "status_tuple", "name",
                       named ? result.short_name() : decl.name, "fields", fields);
}

}  // namespace orv_py
