// Argument handling shared by the module's entries: buffer views with their
// exact error messages, scalar conversions, and the entry callable type.

#include "py_glue.h"

#include <structmember.h>

#include <cstring>

namespace orv_py {

// ---- buffers -------------------------------------------------------------------

namespace {

// A C-contiguous, writable buffer that describes its format; and the same
// without the demand to write.
constexpr int kBufferRequest = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | PyBUF_WRITABLE;
static_assert(kBufferRequest == 0x3d);
constexpr int kReadOnlyRequest = PyBUF_C_CONTIGUOUS | PyBUF_FORMAT;

// The type character of a struct-module format, after any byte-order prefix
// and repeat count.
const char* format_type(const char* format) noexcept {
  while (*format == '@' || *format == '=' || *format == '<' || *format == '>' ||
         *format == '!')
    ++format;
  while (*format >= '0' && *format <= '9') ++format;
  return format;
}

bool format_is_native_double(const char* format) noexcept {
  return format != nullptr && std::strcmp(format_type(format), "d") == 0;
}

// The quoted C name of a format's element type, as the dtype message shows it.
const char* describe_format(const char* format) noexcept {
  const char* t = format_type(format);
  switch (*t) {
    case '?': return "'bool'";
    case 'c': return "'char'";
    case 'b': return "'signed char'";
    case 'B': return "'unsigned char'";
    case 'h': return "'short'";
    case 'H': return "'unsigned short'";
    case 'i': return "'int'";
    case 'I': return "'unsigned int'";
    case 'l': return "'long'";
    case 'L': return "'unsigned long'";
    case 'q': return "'long long'";
    case 'Q': return "'unsigned long long'";
    case 'e': return "'half'";
    case 'f': return "'float'";
    case 'd': return "'double'";
    case 'g': return "'long double'";
    case 'Z':
      switch (t[1]) {
        case 'f': return "'complex float'";
        case 'd': return "'complex double'";
        case 'g': return "'complex long double'";
        default: return "unparsable format string";
      }
    case 'T': return "a struct";
    case 'O': return "Python object";
    case 'P': return "a pointer";
    case 's':
    case 'p': return "a string";
    case '\0': return "end";
    default: return "unparsable format string";
  }
}

// The layout checks that follow the buffer request: strides consistent with
// rows of packed items, no sub-offsets, and dense row-major storage.
bool check_c_layout(const Py_buffer& b) {
  Py_ssize_t count = 1;
  for (int d = 0; d < b.ndim; ++d) count *= b.shape[d];
  if (count == 0 || b.strides == nullptr) return true;
  for (int d = 0; d < b.ndim; ++d) {
    if (b.shape[d] < 2) continue;
    const Py_ssize_t stride = b.strides[d];
    const bool ok = d == b.ndim - 1 ? stride == b.itemsize
                                    : (stride < 0 ? -stride : stride) >= b.itemsize;
    if (!ok) {
      PyErr_SetString(PyExc_ValueError,
                      "Buffer and memoryview are not contiguous in the same dimension.");
      return false;
    }
  }
  if (b.suboffsets != nullptr) {
    for (int d = 0; d < b.ndim; ++d) {
      if (b.suboffsets[d] >= 0) {
        PyErr_SetString(PyExc_ValueError, "Buffer with suboffsets is not supported.");
        return false;
      }
    }
  }
  Py_ssize_t dense = b.itemsize;
  for (int d = b.ndim - 1; d >= 0; --d) {
    if (b.shape[d] >= 2 && b.strides[d] != dense) {
      PyErr_SetString(PyExc_ValueError, "Buffer not C contiguous.");
      return false;
    }
    dense *= b.shape[d];
  }
  return true;
}

}  // namespace

bool array_view::acquire(PyObject* obj) {
  if (obj == Py_None) return true;  // empty, null data
  // Exporters refuse non-contiguous (and, when asked to, read-only) arrays
  // here themselves.
  const int request = mode_ == access::writable ? kBufferRequest : kReadOnlyRequest;
  if (PyObject_GetBuffer(obj, &buffer_, request) != 0) return false;
  held_ = true;
  if (rank_ == kAnyRank) {
    ndim_ = buffer_.ndim;
  } else if (buffer_.ndim != rank_) {
    PyErr_Format(PyExc_ValueError,
                 "Buffer has wrong number of dimensions (expected %d, got %d)", rank_,
                 buffer_.ndim);
    return false;
  }
  if (buffer_.format != nullptr && (buffer_.format[0] == '>' || buffer_.format[0] == '!')) {
    PyErr_SetString(PyExc_ValueError, "Big-endian buffer not supported on little-endian compiler");
    return false;
  }
  if (!format_is_native_double(buffer_.format)) {
    PyErr_Format(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s",
                 "'", "double", "'", describe_format(buffer_.format));
    return false;
  }
  if (buffer_.itemsize != static_cast<Py_ssize_t>(sizeof(f64))) {
    const size_t size = static_cast<size_t>(buffer_.itemsize);
    PyErr_Format(PyExc_ValueError,
                 "Item size of buffer (%zu byte%s) does not match size of '%s' (%zu byte%s)",
                 size, size == 1 ? "" : "s", "double", sizeof(f64), "s");
    return false;
  }
  if (!check_c_layout(buffer_)) return false;
  for (int d = 0; d < ndim_ && d < 3; ++d) extents_[d] = buffer_.shape[d];
  data_ = static_cast<f64*>(buffer_.buf);
  return true;
}

bool is_c_contiguous_float64(PyObject* obj) {
  if (!PyObject_CheckBuffer(obj)) return false;
  Py_buffer b;
  if (PyObject_GetBuffer(obj, &b, kReadOnlyRequest) != 0) {
    PyErr_Clear();
    return false;
  }
  const bool native = b.format != nullptr && b.format[0] != '>' && b.format[0] != '!' &&
                      format_is_native_double(b.format) &&
                      b.itemsize == static_cast<Py_ssize_t>(sizeof(f64)) && b.suboffsets == nullptr;
  PyBuffer_Release(&b);
  return native;
}

i64 array_view::size() const noexcept {
  i64 count = 1;
  for (int d = 0; d < ndim_ && d < 3; ++d) count *= extents_[d];
  return count;
}

// ---- scalars -----------------------------------------------------------------

bool to_f64(PyObject* obj, f64* out) {
  if (PyFloat_CheckExact(obj)) {
    *out = PyFloat_AS_DOUBLE(obj);
    return true;
  }
  const f64 value = PyFloat_AsDouble(obj);
  if (value == -1.0 && PyErr_Occurred()) return false;
  *out = value;
  return true;
}

bool to_flag(PyObject* obj, int* out) {
  if (obj == Py_True) {
    *out = 1;
    return true;
  }
  if (obj == Py_False || obj == Py_None) {
    *out = 0;
    return true;
  }
  const int truth = PyObject_IsTrue(obj);
  if (truth < 0) return false;
  *out = truth;
  return true;
}

namespace {

// obj itself when it is an int, else the result of its __int__.
ref as_python_int(PyObject* obj) {
  if (PyLong_Check(obj)) return ref::borrow(obj);
  PyNumberMethods* number = Py_TYPE(obj)->tp_as_number;
  if (number == nullptr || number->nb_int == nullptr) {
    PyErr_SetString(PyExc_TypeError, "an integer is required");
    return ref();
  }
  ref result(number->nb_int(obj));
  if (result && !PyLong_Check(result.get())) {
    PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)",
                 Py_TYPE(result.get())->tp_name);
    return ref();
  }
  return result;
}

}  // namespace

bool to_i64(PyObject* obj, i64* out) {
  const ref value = as_python_int(obj);
  if (!value) return false;
  const long long v = PyLong_AsLongLong(value.get());
  if (v == -1 && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

bool item_to_i64(PyObject* obj, Py_ssize_t index, i64* out) {
  const ref key(PyLong_FromSsize_t(index));
  if (!key) return false;
  const ref item(PyObject_GetItem(obj, key.get()));
  return item && to_i64(item.get(), out);
}

bool to_address(PyObject* obj, std::uint64_t* out) {
  const ref value = as_python_int(obj);
  if (!value) return false;
  int sign = 0;
  if (PyLong_GetSign(value.get(), &sign) != 0) return false;
  if (sign < 0) {
    PyErr_SetString(PyExc_OverflowError, "can't convert negative value to size_t");
    return false;
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(value.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

ref lookup_global(PyObject* module_dict, PyObject* name) {
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(module_dict, name, &found) != 0) return ref(found);
  const ref builtins(PyEval_GetFrameBuiltins());
  if (!builtins) return ref();
  if (PyDict_GetItemRef(builtins.get(), name, &found) != 0) return ref(found);
  PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
  return ref();
}

namespace {
// "add_note", interned once with the entry type: a name made afresh at every
// failing conversion leaves interned copies behind.
PyObject* g_add_note = nullptr;
}  // namespace

bool noting_argument(bool converted, const char* entry, const char* arg) {
  if (converted) return true;
  PyObject* exc = PyErr_GetRaisedException();
  if (exc == nullptr) return false;
  const ref note(PyUnicode_FromFormat("while converting argument '%s' of %s", arg, entry));
  // A note that cannot be added must not replace the error it was meant for.
  const ref added(note ? PyObject_CallMethodOneArg(exc, g_add_note, note.get()) : nullptr);
  if (!added) PyErr_Clear();
  PyErr_SetRaisedException(exc);
  return false;
}

// ---- the entry callable ------------------------------------------------------------

namespace {

struct entry_object {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  const entry_spec* spec;
  PyObject* names;     // tuple of the interned parameter names
  PyObject* defaults;  // tuple of the trailing parameters' defaults
  PyObject* module;    // __module__
  PyObject* text_signature;
};

PyTypeObject* g_entry_type = nullptr;

entry_object* as_entry(PyObject* self) noexcept { return reinterpret_cast<entry_object*>(self); }

void raise_count_error(const entry_spec& spec, const char* bound, Py_ssize_t expected,
                       Py_ssize_t given) {
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
               spec.name, bound, expected, expected == 1 ? "" : "s", given);
}

// Position of the parameter called `key`, or -1.
Py_ssize_t parameter_index(const entry_object* f, PyObject* key) {
  const Py_ssize_t n = f->spec->n_params;
  for (Py_ssize_t i = 0; i < n; ++i)
    if (PyTuple_GET_ITEM(f->names, i) == key) return i;
  if (!PyUnicode_Check(key)) return -1;
  for (Py_ssize_t i = 0; i < n; ++i)
    if (PyUnicode_Compare(PyTuple_GET_ITEM(f->names, i), key) == 0) return i;
  return -1;
}

// Position in kwnames of the keyword naming `name`, or -1.
Py_ssize_t keyword_index(PyObject* kwnames, Py_ssize_t n_kw, PyObject* name) {
  for (Py_ssize_t j = 0; j < n_kw; ++j)
    if (PyTuple_GET_ITEM(kwnames, j) == name) return j;
  for (Py_ssize_t j = 0; j < n_kw; ++j) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, j);
    if (PyUnicode_Check(key) && PyUnicode_Compare(key, name) == 0) return j;
  }
  return -1;
}

// Reports the first keyword that was not bound: not a string, unknown, or
// naming a parameter already filled by position.
void raise_keyword_error(const entry_object* f, PyObject* kwnames, Py_ssize_t n_kw,
                         Py_ssize_t n_args) {
  const entry_spec& spec = *f->spec;
  for (Py_ssize_t j = 0; j < n_kw; ++j) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, j);
    if (!PyUnicode_Check(key)) {
      PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.name);
      return;
    }
    const Py_ssize_t index = parameter_index(f, key);
    if (index < 0) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                   spec.name, key);
      return;
    }
    if (index < n_args) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                   spec.name, key);
      return;
    }
  }
}

// Fills bound[0 .. n_params) with borrowed references: positional arguments,
// then keywords, then defaults. Keyword-only parameters take keywords or
// their defaults.
bool bind_arguments(const entry_object* f, PyObject* const* args, Py_ssize_t n_args,
                    PyObject* kwnames, PyObject** bound) {
  const entry_spec& spec = *f->spec;
  const Py_ssize_t n_kw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  const Py_ssize_t n_positional = spec.n_params - spec.n_keyword_only;
  if (n_args > n_positional) {
    raise_count_error(spec, "at most", n_positional, n_args);
    return false;
  }
  if (n_kw > 0 && spec.keyword_errors_first) {
    raise_keyword_error(f, kwnames, n_kw, n_args);
    if (PyErr_Occurred()) return false;
  }
  if (n_kw == 0 && n_args < spec.n_required) {
    raise_count_error(spec, "at least", spec.n_required, n_args);
    return false;
  }
  for (Py_ssize_t i = 0; i < n_args; ++i) bound[i] = args[i];
  Py_ssize_t n_matched = 0;
  for (Py_ssize_t i = n_args; i < spec.n_params; ++i) {
    const Py_ssize_t j =
        n_kw > 0 ? keyword_index(kwnames, n_kw, PyTuple_GET_ITEM(f->names, i)) : -1;
    if (j >= 0) {
      bound[i] = args[n_args + j];
      ++n_matched;
    } else if (i < spec.n_required) {
      raise_count_error(spec, "at least", spec.n_required, i);
      return false;
    } else {
      bound[i] = PyTuple_GET_ITEM(f->defaults, i - spec.n_required);
    }
  }
  if (n_matched < n_kw) {
    raise_keyword_error(f, kwnames, n_kw, n_args);
    return false;
  }
  return true;
}

PyObject* entry_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                           PyObject* kwnames) {
  const entry_object* f = as_entry(self);
  PyObject* bound[kMaxParams];
  if (!bind_arguments(f, args, PyVectorcall_NARGS(nargsf), kwnames, bound)) return nullptr;
  return f->spec->impl(bound);
}

void entry_dealloc(PyObject* self) {
  entry_object* f = as_entry(self);
  PyTypeObject* type = Py_TYPE(self);
  Py_XDECREF(f->names);
  Py_XDECREF(f->defaults);
  Py_XDECREF(f->module);
  Py_XDECREF(f->text_signature);
  type->tp_free(self);
  Py_DECREF(type);
}

// Pickled by reference, as built-in functions are: a string tells pickle to
// store __module__ and this name, and to look them up again on loading (and
// copy.copy and copy.deepcopy to return the function itself).
PyObject* entry_reduce(PyObject* self, PyObject*) {
  return PyUnicode_FromString(as_entry(self)->spec->name);
}

// Like a static method: looked up on a class or an instance, it is itself.
PyObject* entry_descr_get(PyObject* self, PyObject*, PyObject*) { return Py_NewRef(self); }

PyObject* entry_repr(PyObject* self) {
  return PyUnicode_FromFormat("<native function %s>", as_entry(self)->spec->name);
}

PyObject* get_name(PyObject* self, void*) {
  return PyUnicode_FromString(as_entry(self)->spec->name);
}
PyObject* get_doc(PyObject* self, void*) {
  return PyUnicode_FromString(as_entry(self)->spec->doc);
}
PyObject* get_text_signature(PyObject* self, void*) {
  return Py_NewRef(as_entry(self)->text_signature);
}
// The defaults of the positional-or-keyword parameters, as for a function.
PyObject* get_defaults(PyObject* self, void*) {
  const entry_object* f = as_entry(self);
  if (f->spec->n_keyword_only == 0) return Py_NewRef(f->defaults);
  return PyTuple_GetSlice(f->defaults, 0,
                          PyTuple_GET_SIZE(f->defaults) - f->spec->n_keyword_only);
}
// {name: default} of the keyword-only parameters, or None when there are none.
PyObject* get_kwdefaults(PyObject* self, void*) {
  const entry_object* f = as_entry(self);
  const entry_spec& spec = *f->spec;
  if (spec.n_keyword_only == 0) Py_RETURN_NONE;
  ref dict(PyDict_New());
  if (!dict) return nullptr;
  const Py_ssize_t first = spec.n_params - spec.n_keyword_only;
  for (Py_ssize_t i = first; i < spec.n_params; ++i) {
    PyObject* value = PyTuple_GET_ITEM(f->defaults, i - spec.n_required);
    if (PyDict_SetItem(dict.get(), PyTuple_GET_ITEM(f->names, i), value) != 0) return nullptr;
  }
  return dict.release();
}
PyObject* get_module(PyObject* self, void*) { return Py_NewRef(as_entry(self)->module); }
// The declaration as the typing stub spells it (tools/gen_kalman_stub.py).
PyObject* get_declaration(PyObject* self, void*) {
  return stub_declaration(*as_entry(self)->spec);
}

PyGetSetDef entry_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_name, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__defaults__", get_defaults, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_kwdefaults, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"_declaration", get_declaration, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef entry_methods[] = {
    {"__reduce__", entry_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef entry_members[] = {
    {"__vectorcalloffset__", Py_T_PYSSIZET,
     static_cast<Py_ssize_t>(offsetof(entry_object, vectorcall)), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyType_Slot entry_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(entry_dealloc)},
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(entry_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(entry_repr)},
    {Py_tp_getset, entry_getset},
    {Py_tp_methods, entry_methods},
    {Py_tp_members, entry_members},
    {0, nullptr},
};

PyType_Spec entry_type_spec = {
    "Orvanta._ckernels.kalman._kalman.native_function",
    sizeof(entry_object),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_IMMUTABLETYPE |
        Py_TPFLAGS_DISALLOW_INSTANTIATION,
    entry_slots,
};

}  // namespace

bool ready_entry_type() {
  if (g_entry_type != nullptr) return true;
  g_add_note = PyUnicode_InternFromString("add_note");
  if (g_add_note == nullptr) return false;
  g_entry_type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&entry_type_spec));
  return g_entry_type != nullptr;
}

ref new_entry(const entry_spec* spec, PyObject* module_name) {
  ref names(PyTuple_New(spec->n_params));
  ref defaults(default_values(*spec));
  ref text(text_signature(*spec));
  if (!names || !defaults || !text) return ref();
  for (Py_ssize_t i = 0; i < spec->n_params; ++i) {
    PyObject* name =
        PyUnicode_InternFromString(spec->params[static_cast<std::size_t>(i)].name);
    if (name == nullptr) return ref();
    PyTuple_SET_ITEM(names.get(), i, name);
  }
  entry_object* f = PyObject_New(entry_object, g_entry_type);
  if (f == nullptr) return ref();
  f->vectorcall = entry_vectorcall;
  f->spec = spec;
  f->names = names.release();
  f->defaults = defaults.release();
  f->module = Py_NewRef(module_name);
  f->text_signature = text.release();
  return ref(reinterpret_cast<PyObject*>(f));
}

}  // namespace orv_py
