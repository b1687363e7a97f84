"""The library's C interface as its exported headers declare it: the
prototypes, records and callback types between ORV_BEGIN_C and ORV_END_C,
as ctypes types, so that the tests call the native code through the
declarations themselves and not through copies of them.

It reads only the plain forms those headers use (prototypes marked ORV_API,
`typedef struct name { ... } name;`, anonymous enums, function-pointer
typedefs, and static inline definitions, which it skips) and raises
HeaderError on anything else: a declaration it cannot read fails the tests
instead of going unchecked."""

import ctypes as ct
import pathlib
import re

CKERNELS = pathlib.Path(__file__).resolve().parent.parent / "Orvanta" / "_ckernels"
EXPORTED_HEADERS = (CKERNELS / "_common" / "orv_linalg.h",
                    CKERNELS / "_common" / "orv_complex.h",
                    CKERNELS / "kalman" / "kalman.h")

SCALARS = {"void": None, "f64": ct.c_double, "double": ct.c_double, "i64": ct.c_int64,
           "int64_t": ct.c_int64, "int": ct.c_int}
# Qualifiers that do not change how a value is passed.
QUALIFIERS = {"const", "ORV_RESTRICT", "struct"}
IDENTIFIER = r"[A-Za-z_]\w*"


class HeaderError(ValueError):
    pass


class Prototype:
    """An exported function: its name, return type and parameters, each a
    (C type text, name) pair, and their ctypes."""

    def __init__(self, name, restype, params, header):
        self.name, self.restype, self.params, self.header = name, restype, params, header

    def __repr__(self):
        return f"Prototype({self.name}, {len(self.params)} parameters, {self.header.name})"


def _strip(text):
    text = re.sub(r"/\*.*?\*/", " ", text, flags=re.S)
    text = re.sub(r"//[^\n]*", " ", text)
    return "\n".join(line for line in text.splitlines() if not line.lstrip().startswith("#"))


def _statements(text, header):
    """The top-level statements between ORV_BEGIN_C and ORV_END_C, static
    inline definitions left out."""
    begin, end = text.find("ORV_BEGIN_C"), text.rfind("ORV_END_C")
    if begin < 0 or end < begin:
        raise HeaderError(f"{header.name}: no ORV_BEGIN_C ... ORV_END_C block")
    body, depth, current = text[begin + len("ORV_BEGIN_C"):end], 0, []
    for char in body:
        current.append(char)
        if char == "{":
            depth += 1
        elif char == "}":
            depth -= 1
            if depth < 0:
                raise HeaderError(f"{header.name}: unbalanced braces")
            statement = " ".join("".join(current).split())
            if depth == 0 and statement.startswith("static inline "):
                current = []
        elif char == ";" and depth == 0:
            yield " ".join("".join(current)[:-1].split())
            current = []
    if "".join(current).strip() or depth:
        raise HeaderError(f"{header.name}: unterminated declaration {''.join(current)!r}")


def _split_declaration(text, what):
    """(base type words, pointer depth, name) of one declaration such as
    `const f64* ORV_RESTRICT A`."""
    match = re.fullmatch(rf"((?:{IDENTIFIER}\s*)+?)\s*([\s*]*?)\s*(?:ORV_RESTRICT\s+)?({IDENTIFIER})",
                         text.strip())
    if match is None:
        raise HeaderError(f"cannot read {what}: {text!r}")
    words = [w for w in match.group(1).split() if w not in QUALIFIERS]
    stars = match.group(2).count("*")
    if len(words) != 1:
        raise HeaderError(f"cannot read the type of {what}: {text!r}")
    return words[0], stars, match.group(3)


class Interface:
    """Everything the exported headers declare, read once."""

    def __init__(self, headers=EXPORTED_HEADERS):
        self.structs = {}          # name -> ctypes.Structure subclass, in declaration order
        self.callbacks = {}        # name -> (return type name, parameter (type, stars) list)
        self.prototypes = {}       # name -> Prototype, in declaration order
        for header in headers:
            for statement in _statements(_strip(header.read_text()), header):
                self._read(statement, header)

    def ctype(self, base, stars, what):
        """The ctypes type of a base type name with `stars` levels of pointer."""
        if base in self.callbacks:
            if stars:
                raise HeaderError(f"{what}: pointer to a callback")
            return ct.c_void_p  # an address, as callers hand it over
        if base in SCALARS:
            scalar = SCALARS[base]
        elif base in self.structs:
            scalar = self.structs[base]
        else:
            raise HeaderError(f"{what}: unknown type {base!r}")
        if stars == 0:
            if scalar is None and what != "return":
                raise HeaderError(f"{what}: a void value")
            return scalar
        if stars > 1:
            raise HeaderError(f"{what}: pointer to pointer")
        return ct.c_void_p if scalar is None else ct.POINTER(scalar)

    def callback_type(self, name):
        """The ctypes callback type of a function-pointer typedef, pointers
        given as addresses."""
        ret, params = self.callbacks[name]
        return ct.CFUNCTYPE(self.ctype(ret, 0, "return"),
                            *[ct.c_void_p if stars else self.ctype(base, 0, name)
                              for base, stars in params])

    def _read(self, statement, header):
        if re.fullmatch(r"enum \{[^{}]*\}", statement):
            return
        struct = re.fullmatch(rf"typedef struct ({IDENTIFIER}) \{{(.*)\}} ({IDENTIFIER})",
                              statement)
        if struct:
            if struct.group(1) != struct.group(3):
                raise HeaderError(f"{header.name}: struct {struct.group(1)} named "
                                  f"{struct.group(3)}")
            self._read_struct(struct.group(1), struct.group(2))
            return
        callback = re.fullmatch(rf"typedef ({IDENTIFIER}) \(\*({IDENTIFIER})\)\((.*)\)", statement)
        if callback:
            params = [_split_declaration(p, f"parameter of {callback.group(2)}")[:2]
                      for p in self._parameters(callback.group(3))]
            self.callbacks[callback.group(2)] = (callback.group(1), params)
            return
        function = re.fullmatch(rf"ORV_API (.+?)\b({IDENTIFIER}) ?\((.*)\)", statement)
        if function:
            name = function.group(2)
            ret_words = [w for w in function.group(1).replace("*", " * ").split()
                         if w not in QUALIFIERS]
            ret_stars = ret_words.count("*")
            ret_words = [w for w in ret_words if w != "*"]
            if len(ret_words) != 1:
                raise HeaderError(f"{header.name}: cannot read the return type of {name}")
            restype = self.ctype(ret_words[0], ret_stars, "return")
            params = []
            for text in self._parameters(function.group(3)):
                base, stars, pname = _split_declaration(text, f"a parameter of {name}")
                params.append((pname, self.ctype(base, stars, f"{name}({pname})")))
            if name in self.prototypes:
                raise HeaderError(f"{header.name}: {name} declared twice")
            self.prototypes[name] = Prototype(name, restype, params, header)
            return
        raise HeaderError(f"{header.name}: cannot read the declaration {statement!r}")

    @staticmethod
    def _parameters(text):
        text = text.strip()
        if text in ("", "void"):
            return []
        if "(" in text:
            raise HeaderError(f"cannot read the parameter list {text!r}")
        return [p.strip() for p in text.split(",")]

    def _read_struct(self, name, body):
        fields = []
        for declaration in filter(None, (d.strip() for d in body.split(";"))):
            first, *rest = declaration.split(",")
            base, stars, field = _split_declaration(first, f"a field of {name}")
            fields.append((field, self.ctype(base, stars, f"{name}.{field}")))
            for more in rest:  # `i64 n, m, k` or `f64 *a, *b`: the same base type
                match = re.fullmatch(rf"\s*(\**)\s*({IDENTIFIER})\s*", more)
                if match is None:
                    raise HeaderError(f"cannot read a field of {name}: {more!r}")
                fields.append((match.group(2),
                               self.ctype(base, len(match.group(1)), f"{name}.{match.group(2)}")))
        if not fields:
            raise HeaderError(f"struct {name} without fields")
        self.structs[name] = type(name, (ct.Structure,), {"_fields_": fields})

    def bind(self, lib):
        """The exported functions of `lib` with the declared signatures, by
        name. A declared function that the library does not export raises
        AttributeError."""
        bound = {}
        for proto in self.prototypes.values():
            fn = getattr(lib, proto.name)
            fn.restype = proto.restype
            fn.argtypes = [ctype for _, ctype in proto.params]
            bound[proto.name] = fn
        return bound


FAMILY_LISTS = (CKERNELS / "_common" / "orv_linalg_variants.h",
                CKERNELS / "kalman" / "kalman_variants.h")


def family_functions(headers=FAMILY_LISTS):
    """The functions compiled once per CPU variant, in the order of their
    families' lists (the X(name) lines of each `#define ..._VARIANT_FUNCTIONS(X)`)."""
    names = []
    for header in headers:
        lists = re.findall(r"#define \w+_VARIANT_FUNCTIONS\(X\)((?:[^\n]*\\\n)*[^\n]*)",
                           header.read_text())
        if len(lists) != 1:
            raise HeaderError(f"{header.name}: expected one list of variant functions")
        body = lists[0].replace("\\\n", " ")
        found = re.findall(rf"X\(({IDENTIFIER})\)", body)
        if not found or re.sub(rf"X\({IDENTIFIER}\)", "", body).strip():
            raise HeaderError(f"{header.name}: cannot read the list {body!r}")
        names += found
    return names
