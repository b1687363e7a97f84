// The extension module Orvanta._ckernels.kalman._kalman: its creation and
// initialisation. Its entries live in files of their own, listed once in
// entries.h (ORV_KALMAN_ENTRIES), each with its declaration: parameters and
// result fields (entry_declaration.h), from which its binding, text
// signature, defaults, result type (named_result.h) and typing stub come.
//
// Each entry binds and converts its arguments, checks shapes, allocates its
// outputs (entry_outputs.h), fills the native records, runs the native loop
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

#include "entries.h"  // Python.h first, as the C API requires

#include <frameobject.h>

#include <cstdint>

#include "module_state.h"
#include "named_result.h"

namespace orv_module {

using orv_py::ref;

namespace {

constexpr const char* kQualifiedName = "Orvanta._ckernels.kalman._kalman";

// The entries, in the order the module binds them (entries.h).
#define ORV_KALMAN_ENTRY_ADDRESS(spec) &spec,
constexpr const orv_py::entry_spec* kEntries[] = {ORV_KALMAN_ENTRIES(ORV_KALMAN_ENTRY_ADDRESS)};
#undef ORV_KALMAN_ENTRY_ADDRESS

// ---- process-wide state, written only while the module initialises ---------------

std::int64_t g_interpreter_id = -1;  // the interpreter that first created the module
PyObject* g_module = nullptr;        // the one module object, once executed

}  // namespace

// Read by the entries (module_state.h).
interned_names g_names{};
PyObject* g_module_dict = nullptr;
PyObject* g_zero_tuple = nullptr;

namespace {

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
  g_names.int64 = PyUnicode_InternFromString("int64");
  g_names.LinAlgError = PyUnicode_InternFromString("LinAlgError");
  g_names.dtype_kwnames = Py_BuildValue("(s)", "dtype");
  g_names.asarray = PyUnicode_InternFromString("asarray");
  g_names.dtype_order_kwnames = Py_BuildValue("(ss)", "dtype", "order");
  g_names.C = PyUnicode_InternFromString("C");
  g_names.dtype = PyUnicode_InternFromString("dtype");
  g_names.kind = PyUnicode_InternFromString("kind");
  const ref zero(PyFloat_FromDouble(0.0));
  if (!g_names.np || !g_names.zeros || !g_names.float64 || !g_names.int64 || !g_names.LinAlgError ||
      !g_names.dtype_kwnames || !g_names.asarray || !g_names.dtype_order_kwnames || !g_names.C ||
      !g_names.dtype || !g_names.kind || !zero)
    return false;
  for (const orv_py::entry_spec* entry : kEntries)
    if (!entry->result->ready()) return false;
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

// Each entry, then its named result type when it has one.
bool bind_entries(PyObject* dict, PyObject* module_name) {
  for (const orv_py::entry_spec* entry : kEntries) {
    if (!bind_new(dict, entry->name, orv_py::new_entry(entry, module_name))) return false;
    const orv_py::named_result& result = *entry->result;
    if (result.type() != nullptr &&
        !bind_new(dict, result.short_name(), ref::borrow(result.type())))
      return false;
  }
  return true;
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
  const bool ok =
      builtins && module_name &&
      PyObject_SetAttrString(module, "__builtins__", builtins.get()) == 0 &&
      check_runtime_version() && build_constants() && register_in_sys_modules(module) &&
      bind_new(dict, "np", ref(PyImport_ImportModule("numpy"))) &&
      bind_new(dict, "LinAlgError", import_linalg_error(dict)) && orv_py::ready_entry_type() &&
      bind_entries(dict, module_name.get()) && bind_new(dict, "__test__", ref(PyDict_New()));
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

}  // namespace orv_module

PyMODINIT_FUNC PyInit__kalman(void) { return PyModuleDef_Init(&orv_module::module_def); }
