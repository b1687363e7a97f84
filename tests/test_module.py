"""The extension module object and the calling conventions its entries share:
import and initialisation, function attributes, argument binding, and the
conversion of array, flag and float arguments."""

import builtins
import functools
import importlib
import inspect
import shutil
import subprocess
import sys
from fractions import Fraction

import numpy as np
import pytest

import Orvanta._ckernels.kalman._kalman as K
from _native import shared_object_path
from _paths import PACKAGE_ROOT

MODULE = "Orvanta._ckernels.kalman._kalman"
MODULE_DOC = (
    "Tarnel shim for the linear Kalman filter hot loop.\n\n"
    "Allocates the history output arrays, marshals the NumPy buffers into the C\n"
    "kf_inputs/kf_outputs structs, runs kf_hot_loop under nogil, and translates the\n"
    "status code back into the exceptions KalmanFilter.run already handles. The\n"
    "public signature and return shape match the numba `_kalman_hot_loop` so the two\n"
    "are interchangeable at the call site.\n")
KF_DOC = (
    "Run the linear Kalman filter; mirrors numba `_kalman_hot_loop`.\n\n"
    "    Returns ``(KF_OK, (0.0, 0.0, 0.0), out)`` where ``out`` is the history tuple\n"
    "    + loglik. Raises ``numpy.linalg.LinAlgError`` on a non-PD innovation\n"
    "    covariance (so KalmanFilter.run's existing ``except`` maps it to\n"
    "    ``MatrixConditionError``).\n    ")
UKF_DOC = (
    "Run the native second-order UKF hot loop.\n\n"
    "    ``meas_addr`` is a real-valued measurement ``@cfunc`` address with signature\n"
    "    ``void(double* vars, double* params, double* out)``.\n    ")
KF_PARAMS = "T nmk A B C d Q R y x0 P0 symmetrize jitter return_shocks store_history".split()
UKF_PARAMS = ("meas_addr hx gx bx hxx gxx hss gss steady_state params Q R obs z0 P0 alpha "
              "beta kappa jitter symmetrize store_history").split()
INTERPRETER_CHANGE = ("Interpreter change detected - this module can only be loaded into "
                      "one interpreter per process.")


def small_model():
    """Keyword arguments of a 2-state model; P0 is asymmetric, so that the
    symmetrize flag changes the bits of the result."""
    rng = np.random.default_rng(7)
    return dict(T=4, nmk=(2, 1, 2), A=np.array([[0.6, 0.1], [0.2, 0.5]]),
                B=rng.standard_normal((2, 2)), C=np.array([[1.0, 0.3]]), d=np.array([0.1]),
                Q=np.eye(2) * 0.4, R=np.array([[0.2]]), y=rng.standard_normal((4, 1)),
                x0=np.array([0.3, -0.2]), P0=np.array([[1.0, 0.31], [0.3, 0.8]]),
                symmetrize=True, jitter=0.0)


def bits(result):
    """Every number of a result as bytes, for bit-for-bit comparison."""
    out = result[2]
    return b"".join(a.tobytes() for a in out[:10]) + np.float64(out[10]).tobytes()


def run(**changes):
    return K.kalman_hot_loop(**{**small_model(), **changes})


# ---- the module object -------------------------------------------------------------

def test_reimport_returns_the_same_module_without_initialising_again(monkeypatch):
    marker = object()
    monkeypatch.setattr(K, "np", marker)
    monkeypatch.delitem(sys.modules, MODULE)
    assert importlib.import_module(MODULE) is K and sys.modules[MODULE] is K
    assert K.np is marker  # a second initialisation would have bound numpy again


def test_docstring_and_namespace():
    assert K.__doc__ == MODULE_DOC
    assert set(vars(K)) == {  # in particular, no status constants
        "__name__", "__doc__", "__loader__", "__file__", "__package__", "__spec__",
        "__builtins__", "np", "LinAlgError", "kalman_hot_loop", "ukf_hot_loop", "__test__",
        "kalman_filter", "KalmanFilterResult", "kalman_smoother", "KalmanSmootherResult",
        "kalman_loglik_batch", "KalmanLoglikBatchResult", "kalman_loglik_grad",
        "KalmanLoglikGradResult"}
    assert K.__builtins__ is builtins and K.np is np
    assert K.LinAlgError is np.linalg.LinAlgError
    assert type(K.__test__) is dict and K.__test__ == {}
    assert K.__name__ == MODULE and K.__package__ == "Orvanta._ckernels.kalman"
    assert K.__file__ == K.__spec__.origin == shared_object_path() == K.__loader__.path


def test_only_init_symbol_is_pyinit_kalman():
    if shutil.which("nm") is None:
        pytest.skip("nm is not available")
    symbols = subprocess.run(["nm", "-D", "--defined-only", shared_object_path()],
                             capture_output=True, text=True, check=True).stdout.split()
    assert [s for s in symbols if s.startswith("PyInit")] == ["PyInit__kalman"]


def test_second_interpreter_is_refused():
    interpreters = pytest.importorskip("_interpreters")
    # An interpreter with its own GIL is refused by CPython before the module
    # is asked; one sharing the main GIL reaches the module's own check.
    iid = interpreters.create(interpreters.new_config("legacy"))
    try:
        for _ in range(2):  # a refused import leaves nothing that changes the answer
            failure = interpreters.exec(
                iid, f"import sys; sys.path.insert(0, {PACKAGE_ROOT!r}); import {MODULE}")
            assert failure.type.__name__ == "ImportError"
            assert failure.msg == INTERPRETER_CHANGE
    finally:
        interpreters.destroy(iid)
    assert K.kalman_hot_loop(0, (0, 0, 0), *[None] * 9, 0, 0.0)[0] == 0


# ---- the function objects ------------------------------------------------------------

@pytest.mark.parametrize("fn, params, required, defaults, doc", [
    (K.kalman_hot_loop, KF_PARAMS, 13, (False, True), KF_DOC),
    (K.ukf_hot_loop, UKF_PARAMS, 19, (True, True), UKF_DOC)])
def test_function_attributes_and_signature(fn, params, required, defaults, doc):
    name = "kalman_hot_loop" if required == 13 else "ukf_hot_loop"
    assert (fn.__name__, fn.__qualname__, fn.__module__) == (name, name, MODULE)
    assert fn.__doc__ == doc and fn.__defaults__ == defaults
    sig = inspect.signature(fn).parameters.values()
    assert [p.name for p in sig] == params
    assert {p.kind for p in sig} == {inspect.Parameter.POSITIONAL_OR_KEYWORD}
    assert [p.default for p in sig] == [inspect.Parameter.empty] * required + list(defaults)


def test_every_calling_form_gives_the_same_result():
    model = small_model()
    args = [model[name] for name in KF_PARAMS[:13]]
    f = K.kalman_hot_loop
    want = bits(f(*args))
    for result in (f(**model), f(*args[:5], **{n: model[n] for n in KF_PARAMS[5:13]}),
                   f(*args, False, True), f(*args, store_history=True, return_shocks=False),
                   functools.partial(f, model["T"], model["nmk"])(*args[2:]),
                   type(f).__call__(f, *args), f.__call__(*args[:12], jitter=0.0)):
        assert bits(result) == want


# ---- argument binding ------------------------------------------------------------------

BAD = object()  # converts to nothing: binding must fail before any conversion


@pytest.mark.parametrize("fn, n_args, kwargs, message", [
    (K.kalman_hot_loop, 16, {}, "takes at most 15 positional arguments (16 given)"),
    (K.kalman_hot_loop, 12, {}, "takes at least 13 positional arguments (12 given)"),
    (K.kalman_hot_loop, 0, {}, "takes at least 13 positional arguments (0 given)"),
    (K.kalman_hot_loop, 5, {n: BAD for n in KF_PARAMS[5:13] if n != "y"},
     "takes at least 13 positional arguments (8 given)"),
    (K.kalman_hot_loop, 0, {"T": BAD, "jitter": BAD},
     "takes at least 13 positional arguments (1 given)"),
    (K.kalman_hot_loop, 13, {"bogus": BAD}, "got an unexpected keyword argument 'bogus'"),
    (K.kalman_hot_loop, 13, {"T": BAD}, "got multiple values for keyword argument 'T'"),
    (K.kalman_hot_loop, 14, {"store_history": BAD, "return_shocks": BAD},
     "got multiple values for keyword argument 'return_shocks'"),
    (K.ukf_hot_loop, 22, {}, "takes at most 21 positional arguments (22 given)"),
    (K.ukf_hot_loop, 18, {}, "takes at least 19 positional arguments (18 given)"),
    (K.ukf_hot_loop, 19, {"alpha": BAD}, "got multiple values for keyword argument 'alpha'"),
    (K.ukf_hot_loop, 19, {"nmk": BAD}, "got an unexpected keyword argument 'nmk'"),
])
def test_binding_errors(fn, n_args, kwargs, message):
    with pytest.raises(TypeError) as info:
        fn(*[BAD] * n_args, **kwargs)
    assert str(info.value) == f"{fn.__name__}() {message}"


# ---- array arguments ----------------------------------------------------------------------

@pytest.mark.parametrize("name, value, error, message", [
    ("A", np.eye(2, dtype=np.float32), ValueError,
     "Buffer dtype mismatch, expected 'double' but got 'float'"),
    ("Q", np.eye(2, dtype=np.int64), ValueError,
     "Buffer dtype mismatch, expected 'double' but got 'long'"),
    ("y", np.zeros((4, 1), dtype=">f8"), ValueError,
     "Big-endian buffer not supported on little-endian compiler"),
    ("A", np.ones(4), ValueError, "Buffer has wrong number of dimensions (expected 2, got 1)"),
    ("d", np.ones((1, 1)), ValueError,
     "Buffer has wrong number of dimensions (expected 1, got 2)"),
    ("P0", np.asfortranarray([[1.0, 0.3], [0.3, 0.8]]), ValueError, "not C-contiguous"),
    ("A", np.eye(4)[::2, ::2], ValueError, "not C-contiguous"),
    ("x0", np.zeros(4)[::2], ValueError, "not C-contiguous"),
    ("R", np.broadcast_to(0.2, (1, 1)), ValueError, "read-only"),  # contiguous, read-only
    ("C", [[1.0, 0.3]], TypeError, "a bytes-like object is required, not 'list'"),
    ("d", memoryview(bytearray(8)), ValueError,
     "Buffer dtype mismatch, expected 'double' but got 'unsigned char'"),
])
def test_refused_array_arguments(name, value, error, message):
    with pytest.raises(error) as info:
        run(**{name: value})
    assert message in str(info.value)


class Raises:
    def __bool__(self):
        raise ZeroDivisionError("no truth value")


def with_method(name, result):
    """An object whose only conversion is the special method `name`."""
    return type(name.strip("_").title(), (), {name: lambda self: result})()


def test_arguments_are_converted_in_parameter_order():
    # several bad arguments at once: the first in parameter order decides
    for bad, error, match in [({"T": "x", "A": [0.0]}, TypeError, "an integer is required"),
                              ({"B": np.ones(2), "A": [0.0]}, TypeError, "bytes-like"),
                              ({"P0": np.ones(2), "symmetrize": Raises()}, ValueError, "dim"),
                              ({"symmetrize": Raises(), "jitter": "x"}, ZeroDivisionError, ""),
                              ({"jitter": "x", "store_history": Raises()}, TypeError, "real"),
                              ({"store_history": Raises(), "nmk": None}, ZeroDivisionError, ""),
                              ({"nmk": (1, 1), "A": np.eye(3)}, IndexError, "range")]:
        with pytest.raises(error, match=match or None):
            run(**bad)


# ---- flags and floats ---------------------------------------------------------------------

def test_symmetrize_and_jitter_change_the_result():
    # so that the bit comparisons below would see a wrongly converted value
    assert bits(run(symmetrize=False)) != bits(run()) != bits(run(jitter=0.25))


@pytest.mark.parametrize("flag", [None, 0, 1, 2, "", "no", [], [0], np.bool_(True),
                                  with_method("__bool__", True),
                                  with_method("__bool__", False), Raises()])
def test_flags_take_the_truth_value(flag):
    if isinstance(flag, Raises):
        for name in ("symmetrize", "return_shocks", "store_history"):
            with pytest.raises(ZeroDivisionError, match="no truth value"):
                run(**{name: flag})
        return
    truth = bool(flag)
    assert bits(run(symmetrize=flag, return_shocks=flag)) == \
        bits(run(symmetrize=truth, return_shocks=truth))
    assert {a.shape[0] for a in run(store_history=flag)[2][:9]} == {4 if truth else 0}


@pytest.mark.parametrize("jitter, value", [
    (0, 0.0), (1, 1.0), (True, 1.0), (with_method("__index__", 1), 1.0),
    (with_method("__float__", 0.25), 0.25),
    (Fraction(1, 4), 0.25), (np.float32(0.25), 0.25),
    ("0.1", TypeError), (None, TypeError), ([0.0], TypeError), (1j, TypeError)])
def test_jitter_is_converted_like_float(jitter, value):
    if value is TypeError:
        with pytest.raises(TypeError):
            run(jitter=jitter)
    else:
        assert bits(run(jitter=jitter)) == bits(run(jitter=value))
