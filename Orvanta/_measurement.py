"""Measurement functions for ``ukf_hot_loop`` that can be sent to other processes.

A native function's address is only meaningful inside the process that loaded
or compiled the function: handed to a worker process it points at nothing (or
at something else) and the filter crashes there. A ``MeasurementFunction``
therefore carries how to obtain the function, not where it is: a shared
library and a symbol, or a Python function to compile with numba. It pickles
as that recipe, and each process resolves the recipe the first time it asks
for the address, then keeps the result for every later call and every other
copy of the same object, so a worker compiles a numba function once however
many tasks bring it along.
"""

import ctypes
import inspect
import os
import threading
import types
import uuid

# The numba signature of the measurement callback: the model variables and
# the parameters are read, the observables written.
MEASUREMENT_SIGNATURE = "void(CPointer(float64), CPointer(float64), CPointer(float64))"

# Per process: recipe key -> (what keeps the code alive, its address). Entries
# stay for the life of the process, since an address handed out earlier may
# still be in use by a running filter.
_resolved = {}
_resolving = threading.Lock()


class _LibrarySymbol:
    """A function exported by a shared library, found by the dynamic loader."""

    __slots__ = ("path", "symbol")

    def __init__(self, path, symbol):
        self.path, self.symbol = path, symbol

    def key(self):
        return ("library", self.path, self.symbol)

    def resolve(self):
        try:
            library = ctypes.CDLL(self.path)
        except OSError as exc:
            raise OSError(f"cannot load the measurement library {self.path!r} in process "
                          f"{os.getpid()}: {exc}") from exc
        # Indexing asks the dynamic loader alone: attribute access would find
        # the library object's own attributes (_handle, _name, ...) first.
        try:
            function = library[self.symbol]
        except AttributeError:
            raise LookupError(f"the library {self.path!r} exports no symbol "
                              f"{self.symbol!r}") from None
        return library, ctypes.cast(function, ctypes.c_void_p).value

    def __reduce__(self):
        return (_LibrarySymbol, (self.path, self.symbol))

    def __repr__(self):
        return f"{self.symbol} in {self.path}"


class _NumbaFunction:
    """A Python function compiled with numba as a C callback. The token is drawn
    once, where the object is made, and travels with it: every process compiles
    each token once, while two objects made from functions that merely look
    alike (closures over different values, say) are never mistaken for one."""

    __slots__ = ("function", "token")

    def __init__(self, function, token):
        self.function, self.token = function, token

    def key(self):
        return ("numba", self.token)

    def resolve(self):
        from numba import cfunc

        compiled = cfunc(MEASUREMENT_SIGNATURE)(self.function)
        return compiled, compiled.address

    def __reduce__(self):
        return (_NumbaFunction, (self.function, self.token))

    def __repr__(self):
        return f"numba cfunc of {self.function.__module__}.{self.function.__qualname__}"


def _address_of(recipe):
    key = recipe.key()
    found = _resolved.get(key)
    if found is None:
        with _resolving:
            found = _resolved.get(key)
            if found is None:
                found = _resolved[key] = recipe.resolve()
    return found[1]


class MeasurementFunction:
    """The measurement function of ``ukf_hot_loop``, named so that it survives
    pickling: ``address`` is resolved in each process on first use, and a
    pickled copy holds the recipe, never an address.

    Make one with ``MeasurementFunction.from_library(path, symbol)`` for a C
    function ``void f(const double* vars, const double* params, double* out)``
    in a shared library, or ``MeasurementFunction.from_numba(function)`` for a
    Python function that numba compiles with exactly that signature
    (``MEASUREMENT_SIGNATURE``).

    ``ukf_hot_loop`` takes ``m.address``, or the object itself (it converts
    its first argument with ``int``, which gives the address), so an argument
    tuple holding the object can be sent to worker processes as it is.
    """

    __slots__ = ("_recipe",)

    def __init__(self, recipe):
        if not isinstance(recipe, (_LibrarySymbol, _NumbaFunction)):
            raise TypeError("use MeasurementFunction.from_library or "
                            "MeasurementFunction.from_numba")
        self._recipe = recipe

    @classmethod
    def from_library(cls, path, symbol):
        """``symbol`` of the shared library at ``path``. A path with a directory
        part is made absolute here, so that workers started in another
        directory find the same file; a bare file name is left to the dynamic
        loader's search, in every process. Workers on other machines need the
        library at the same path."""
        path = os.fspath(path)
        if not isinstance(path, str):
            raise TypeError(f"the library path must be a str or a path object of one, not "
                            f"{type(path).__name__}")
        if not isinstance(symbol, str):
            raise TypeError(f"the symbol must be a str, not {type(symbol).__name__}")
        for what, text in (("library path", path), ("symbol", symbol)):
            if "\0" in text:
                raise ValueError(f"the {what} {text!r} contains a NUL character")
        if os.path.dirname(path):
            path = os.path.abspath(path)
        return cls(_LibrarySymbol(path, symbol))

    @classmethod
    def from_numba(cls, function):
        """A plain Python function (or a ``numba.njit`` dispatcher, whose Python
        function is taken), compiled with ``numba.cfunc(MEASUREMENT_SIGNATURE)``
        once in each process that asks for the address. It travels as pickle
        sends functions: by module and name (a module the workers can import,
        or ``__main__`` under multiprocessing's spawn), or by value where the
        sender uses cloudpickle, as Dask does."""
        function = getattr(function, "py_func", function)
        if not isinstance(function, types.FunctionType):
            raise TypeError("from_numba needs the Python function itself (a compiled "
                            "cfunc's address is valid only in the process that compiled "
                            f"it); got {type(function).__name__}")
        if inspect.isgeneratorfunction(function) or inspect.iscoroutinefunction(function) \
                or inspect.isasyncgenfunction(function):
            raise TypeError(f"{function.__qualname__} is a generator or coroutine function; "
                            "a measurement function writes its observables into out and "
                            "returns nothing")
        return cls(_NumbaFunction(function, uuid.uuid4().hex))

    @property
    def address(self):
        """The function's address in this process, resolved on first use."""
        return _address_of(self._recipe)

    def __int__(self):
        return self.address

    def __reduce__(self):
        return (MeasurementFunction, (self._recipe,))

    def __repr__(self):
        return f"MeasurementFunction({self._recipe!r})"
