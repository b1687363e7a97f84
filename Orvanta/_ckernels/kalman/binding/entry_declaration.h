// An entry's declaration, written once as constant data: its parameters
// (name, kind, default, keyword-only mark) and the fields of its result. The
// argument binding, __text_signature__, __defaults__ and __kwdefaults__ come
// from it (py_glue.cpp, entry_declaration.cpp), and so does the typing stub:
// tools/gen_kalman_stub.py reads it through each entry's `_declaration`.
#ifndef ORV_KALMAN_ENTRY_DECLARATION_H
#define ORV_KALMAN_ENTRY_DECLARATION_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <span>

namespace orv_py {

// What a parameter accepts; each kind has one spelling in the typing stub.
enum class param_kind : unsigned char {
  address,             // a native address, a Python int: int
  integer,             // anything with __int__: SupportsInt
  integers,            // a sequence of such: Sequence[SupportsInt]
  array,               // a writable float64 array, read in place: _F64
  array_or_none,       // the same where None (empty) is the usual value for an
                       // absent part of the model: _F64 | None
  real_array,          // any real array-like: ArrayLike
  real_array_or_none,  // ArrayLike | None
  flag,                // bool
  real,                // float
  count,               // a Python int: int
  choice,              // one of the parameter's choices: Literal["a", "b"]
};

struct param {
  const char* name;
  param_kind kind;
  // The default as a Python literal (None, True, False, an int, a float or a
  // string in single quotes), exactly as the text signature shows it; null
  // for a parameter without a default.
  const char* default_literal = nullptr;
  bool keyword_only = false;
  std::span<const char* const> choices = {};  // the names a choice accepts
};

// A parameter without a default, one with a default, and a keyword-only one.
constexpr param required(const char* name, param_kind kind) { return {name, kind}; }
constexpr param defaulted(const char* name, param_kind kind, const char* default_literal) {
  return {name, kind, default_literal};
}
constexpr param keyword(const char* name, param_kind kind, const char* default_literal,
                        std::span<const char* const> choices = {}) {
  return {name, kind, default_literal, true, choices};
}

// Parameter lists joined in order, so that entries sharing a prefix of
// parameters write it once.
template <std::size_t... N>
constexpr auto join(const std::array<param, N>&... lists) {
  std::array<param, (N + ...)> all{};
  std::size_t at = 0;
  const auto append = [&](const auto& list) {
    for (const param& p : list) all[at++] = p;
  };
  (append(lists), ...);
  return all;
}

// Called only where a declaration is malformed: a call of a function that is
// not constexpr stops the compile-time evaluation there, naming `why`.
inline void declaration_error(const char* why) { (void)why; }

// Position of parameter `name`, for an entry body to read its argument;
// evaluated while compiling, so a name not in the list does not compile.
consteval bool same_name(const char* a, const char* b) {
  while (*a != '\0' && *a == *b) ++a, ++b;
  return *a == *b;
}
consteval Py_ssize_t param_index(std::span<const param> params, const char* name) {
  for (std::size_t i = 0; i < params.size(); ++i)
    if (same_name(params[i].name, name)) return static_cast<Py_ssize_t>(i);
  declaration_error("no such parameter");
  return -1;
}

// What a result field holds; each kind has one spelling in the typing stub.
enum class field_kind : unsigned char {
  real,           // float
  integer,        // int
  array,          // _F64
  array_or_none,  // _F64 | None
  history,        // a history array, None without store_history: _F64 | None,
                  // or _F64 in a result that always has the history
  int64_array,    // NDArray[np.int64]
};

struct result_field {
  const char* name;
  const char* doc;  // the named result's field documentation
  field_kind kind;
};

// The two forms of result: the hot loops' (0, (0.0, 0.0, 0.0), tuple) with
// the tuple's items as fields, and a named tuple (a struct sequence type).
enum class result_form : unsigned char { status_tuple, named };

struct result_decl {
  result_form form;
  // named: the type's qualified name; status_tuple: the stub's name of the
  // inner tuple.
  const char* name;
  const char* doc;
  std::span<const result_field> fields;
  bool history_always = false;  // the entry refuses store_history=False
};

class named_result;

// The body of an entry: receives one borrowed argument per parameter, all
// bound (defaults filled in).
using entry_impl = PyObject* (*)(PyObject* const* args);

// Most parameters an entry may declare.
constexpr Py_ssize_t kMaxParams = 32;

// A callable of the entry type: its names, documentation, declaration and
// body. Lives as long as the process. The counts follow from the parameters
// (make_entry): the first n_required have no default, the last
// n_keyword_only are keyword-only.
struct entry_spec {
  const char* name;
  const char* doc;
  std::span<const param> params;
  named_result* result;
  entry_impl impl;
  Py_ssize_t n_params;
  Py_ssize_t n_required;
  Py_ssize_t n_keyword_only;
  // Whether an unknown or doubled keyword is reported before a missing
  // required argument, as Python functions do. The two hot loops keep the
  // order of the compiled module they replace (missing arguments first).
  bool keyword_errors_first;
};

// An entry's entry_spec, its counts taken from its parameters. A list that
// binding could not honour (a default before a parameter without one, a
// keyword-only parameter before a positional one or without a default, a
// choice without choices, too many parameters) does not compile where the
// entry_spec is constinit.
consteval entry_spec make_entry(const char* name, const char* doc,
                                std::span<const param> params, named_result* result,
                                entry_impl impl, bool keyword_errors_first = true) {
  Py_ssize_t required = 0, keyword_only = 0;
  bool defaults_began = false;
  for (const param& p : params) {
    if (p.default_literal == nullptr) {
      if (defaults_began || p.keyword_only)
        declaration_error("a required parameter follows a default");
      ++required;
    } else {
      defaults_began = true;
    }
    if (p.keyword_only) {
      ++keyword_only;
    } else if (keyword_only > 0) {
      declaration_error("a positional parameter follows a keyword-only one");
    }
    if ((p.kind == param_kind::choice) == p.choices.empty())
      declaration_error("a choice needs its choices, and only a choice has them");
  }
  const auto count = static_cast<Py_ssize_t>(params.size());
  if (count > kMaxParams) declaration_error("too many parameters");
  return {name, doc, params, result, impl, count, required, keyword_only, keyword_errors_first};
}

// What an entry object shows of its declaration (entry_declaration.cpp); each
// returns a new reference, or null with an exception set.

// "(a, b, c=1, *, d='x')", for inspect.signature.
PyObject* text_signature(const entry_spec& spec);
// The defaults' values, those of the keyword-only parameters last.
PyObject* default_values(const entry_spec& spec);
// {"parameters": ((name, annotation), ...), "result": {"form": ..., "name":
// ..., "fields": ((name, annotation), ...)}}: the declaration as the typing
// stub spells it, for tools/gen_kalman_stub.py.
PyObject* stub_declaration(const entry_spec& spec);

}  // namespace orv_py

#endif  // ORV_KALMAN_ENTRY_DECLARATION_H
