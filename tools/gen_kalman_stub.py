"""Writes the typing stub of the extension module Orvanta._ckernels.kalman._kalman
from the built module itself: each entry's parameters (names, defaults,
keyword-only marks) from its signature, their types and the result's fields
from the entry's declaration (`_declaration`), and the documentation from the
entries and result types.

    tools/env.sh python3 tools/gen_kalman_stub.py          # rewrite the stub
    tools/env.sh python3 tools/gen_kalman_stub.py --check  # exit 1 if it differs

The stub is never edited by hand: change an entry's declaration, rebuild,
and run this script. tests/test_entry_declarations.py checks that the
committed stub is what this script writes.
"""

import importlib
import inspect
import os
import sys
import textwrap

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MODULE = "Orvanta._ckernels.kalman._kalman"
STUB = os.path.join(REPO, "Orvanta", "_ckernels", "kalman", "_kalman.pyi")
WIDTH = 100

PREAMBLE = '''\
from collections.abc import Sequence
from typing import Any, ClassVar, Final, Literal, SupportsInt, TypeAlias, final

import numpy as np
from numpy.typing import ArrayLike, NDArray

_F64: TypeAlias = NDArray[np.float64]
_Zeros: TypeAlias = tuple[float, float, float]
'''


def entries(module):
    """The module's entries in the order it binds them."""
    return [value for value in vars(module).values() if hasattr(value, "_declaration")]


def docstring(text, indent):
    """A docstring of `text`, cleaned as inspect does, at `indent`; a
    one-line text too long for the line is wrapped."""
    body = inspect.cleandoc(text).replace("\\", "\\\\").replace('"""', '\\"\\"\\"')
    if "\n" not in body:
        if len(indent) + len(body) + 6 <= WIDTH:
            return f'{indent}"""{body}"""\n'
        body = textwrap.fill(body, WIDTH - len(indent) - 3)
    return textwrap.indent(f'"""{body}\n"""', indent) + "\n"


def wrapped_items(items, indent):
    """Comma-separated items wrapped to the line width at `indent`."""
    return textwrap.fill(", ".join(items), WIDTH, initial_indent=indent,
                         subsequent_indent=indent, break_long_words=False,
                         break_on_hyphens=False)


def header(module):
    lines = textwrap.wrap(
        f"The typing stub of {MODULE}, written by tools/gen_kalman_stub.py from "
        "the entries' declarations: change those and rerun it rather than editing "
        "this file.", 76)
    lines += ["", "Entries:"] + [f"- {entry.__name__}" for entry in entries(module)]
    return "".join(f"# {line}\n".replace(" \n", "\n") for line in lines)


def history_alias(result):
    """The hot loops' inner result tuple as a type alias."""
    names = [name for name, _ in result["fields"]]
    kinds = [kind for _, kind in result["fields"]]
    comment = textwrap.wrap(f"({', '.join(names)})", WIDTH - 2)
    return ("".join(f"# {line}\n" for line in comment)
            + f"{result['name']}: TypeAlias = tuple[\n{wrapped_items(kinds, '    ')}\n]\n")


def result_class(cls, result):
    fields = [name for name, _ in result["fields"]]
    out = ["@final\n", f"class {result['name']}(tuple[Any, ...]):\n",
           docstring(cls.__doc__, "    "), "\n",
           "    n_fields: ClassVar[int]\n",
           "    n_sequence_fields: ClassVar[int]\n",
           "    n_unnamed_fields: ClassVar[int]\n",
           "    __match_args__: Final = (\n",
           wrapped_items([f'"{name}"' for name in fields] + [""], "        ").rstrip() + "\n",
           "    )\n",
           "    _fields: ClassVar[tuple[str, ...]]\n",
           "\n    def _asdict(self) -> dict[str, Any]:\n",
           docstring(cls._asdict.__doc__, "        ")]
    for name, kind in result["fields"]:
        out += ["\n    @property\n", f"    def {name}(self) -> {kind}:\n",
                docstring(getattr(cls, name).__doc__, "        ")]
    return "".join(out)


def function(entry, declaration):
    result = declaration["result"]
    returns = (result["name"] if result["form"] == "named"
               else f"tuple[Literal[0], _Zeros, {result['name']}]")
    annotations = dict(declaration["parameters"])
    lines = []
    star = False
    for p in inspect.signature(entry).parameters.values():
        if p.kind is inspect.Parameter.KEYWORD_ONLY and not star:
            lines.append("    *,")
            star = True
        default = "" if p.default is inspect.Parameter.empty else f" = {p.default!r}"
        lines.append(f"    {p.name}: {annotations[p.name]}{default},")
    return (f"def {entry.__name__}(\n" + "\n".join(lines) + f"\n) -> {returns}:\n"
            + docstring(entry.__doc__, "    "))


def render(module):
    """The stub's text for the module as built."""
    parts = [header(module), docstring(module.__doc__, ""), "\n", PREAMBLE]
    for entry in entries(module):
        result = entry._declaration["result"]
        if result["form"] == "status_tuple":
            parts += ["\n", history_alias(result)]
    for entry in entries(module):
        declaration = entry._declaration
        result = declaration["result"]
        if result["form"] == "named":
            parts += ["\n", result_class(getattr(module, result["name"]), result)]
        parts += ["\n", function(entry, declaration)]
    return "".join(parts)


def main(argv):
    sys.path.insert(0, REPO)
    text = render(importlib.import_module(MODULE))
    if "--check" in argv:
        with open(STUB, encoding="utf-8") as f:
            if f.read() != text:
                print(f"{STUB} differs from the entries' declarations; rerun {argv[0]}",
                      file=sys.stderr)
                return 1
        return 0
    with open(STUB, "w", encoding="utf-8") as f:
        f.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
