"""The exported C interface as the tests read it from the headers: the
shared object exports exactly the functions the headers declare (in every
build, unoptimised ones included), and the reader refuses a declaration it
cannot read instead of skipping it."""

import shutil
import subprocess

import pytest

from _c_header import HeaderError, Interface
from _native import interface, shared_object_path


def test_exports_are_the_declared_functions():
    if shutil.which("nm") is None:
        pytest.skip("nm is not available")
    listed = subprocess.run(["nm", "-D", "--defined-only", shared_object_path()],
                            capture_output=True, text=True, check=True).stdout
    symbols = [line.split()[-2:] for line in listed.splitlines() if line.strip()]
    # Objects unique in the process ("u"), which the C++ library's templates
    # ask for in an unoptimised build, are data of C++ names, not functions.
    assert all(name.startswith("_Z") for kind, name in symbols if kind == "u")
    exported = {name for kind, name in symbols if kind != "u"}
    assert exported == set(interface.prototypes) | {"PyInit__kalman"}


@pytest.mark.parametrize("declaration", [
    "ORV_API void f(f64** out, i64 n);",                      # pointer to pointer
    "ORV_API unsigned long f(i64 n);",                        # a type it does not know
    "ORV_API void f(f64 values[4]);",                         # an array parameter
    "ORV_API void f(void (*visit)(f64), i64 n);",             # a callback spelt inline
    "typedef struct r { f64 x[3]; } r;",                      # an array field
    "typedef struct r { i64 n; } other;",                     # a record named twice
    "extern int counter;",                                    # a variable
    "ORV_API void f(i64 n)",                                  # no semicolon
])
def test_reader_refuses_what_it_cannot_read(tmp_path, declaration):
    header = tmp_path / "bad.h"
    header.write_text(f"#include \"orv_common.h\"\nORV_BEGIN_C\n{declaration}\nORV_END_C\n")
    with pytest.raises(HeaderError):
        Interface([header])
