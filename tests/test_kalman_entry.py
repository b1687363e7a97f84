"""kalman_hot_loop, the Python entry of the linear Kalman filter: integer
arguments, shape checks, the result and its agreement with kf_hot_loop,
status translation, and behaviour under repetition and threads."""

import builtins
import os
import subprocess
import sys
import tracemalloc
import types

import numpy as np
import pytest

import Orvanta._ckernels.kalman._kalman as K
from _threads import spinner_ticks
from _native import KF_HISTORY_FIELDS, run_kf
from _paths import PACKAGE_ROOT
from test_module import Raises, with_method

KEYS = ("A", "B", "C", "d", "Q", "R", "y", "x0", "P0")
kf = K.kalman_hot_loop


def model(n=3, m=2, k=4, T=5, seed=0):
    rng = np.random.default_rng(seed)

    def spd(size):
        G = rng.standard_normal((size, size))
        return G @ G.T / max(size, 1) + 0.3 * np.eye(size)

    return dict(A=0.9 * np.eye(n) + 0.05 * rng.standard_normal((n, n)),
                B=rng.standard_normal((n, k)), C=rng.standard_normal((m, n)),
                d=rng.standard_normal(m), Q=spd(k), R=spd(m), y=rng.standard_normal((T, m)),
                x0=rng.standard_normal(n), P0=spd(n) + 1e-3 * rng.standard_normal((n, n)))


def call(T, nmk, mdl, symmetrize=True, jitter=0.0, *flags):
    return kf(T, nmk, *(mdl[key] for key in KEYS), symmetrize, jitter, *flags)


def same_bits(a, b):
    a, b = np.asarray(a, np.float64), np.asarray(b, np.float64)
    return a.shape == b.shape and a.tobytes() == b.tobytes()


def failing_model():
    """Its first innovation covariance is R alone, and R is negative."""
    return dict(model(2, 1, 1, 3), C=np.zeros((1, 2)), R=np.array([[-1.0]]))


# ---- integer arguments ----------------------------------------------------------------

def Int(value):
    return with_method("__int__", value)


@pytest.mark.parametrize("T, nmk, rows", [
    (2, [3, 2, 4], 2), (2.9, (3, 2, 4, 99), 2), (np.int64(3), np.array([3, 2, 4]), 3),
    (Int(1), (3.5, 2.2, 4.9), 1), (True, {0: 3, 1: 2, 2: Int(4)}, 1),
    (np.float64(4.99), (np.int32(3), True + True, Int(4)), 4)])
def test_T_and_nmk_items_are_integers(T, nmk, rows):
    out = call(T, nmk, model(3, 2, 4, 5), True, 0.0, True)[2]
    assert [a.shape for a in out[:10:2]] + [out[9].shape] == [
        (rows, 3), (rows, 3, 3), (rows, 2), (rows, 2), (rows, 2, 2), (rows, 4)]


@pytest.mark.parametrize("where", ["T", "n", "m", "k"])
@pytest.mark.parametrize("value, error, message", [
    (2**63, OverflowError, None), (-2**63 - 1, OverflowError, None),
    (Int(2**64), OverflowError, None), ("3", TypeError, "^an integer is required$"),
    (None, TypeError, "^an integer is required$"),
    (with_method("__index__", 2), TypeError, "^an integer is required$"),  # not enough
    (Int(2.5), TypeError, r"^__int__ returned non-int \(type float\)$")])
def test_bad_integers(where, value, error, message):
    T, nmk = 5, [3, 2, 4]
    if where == "T":
        T = value
    else:
        nmk["nmk".index(where)] = value
    # pytest matches the message and the note naming the argument, a line each
    with pytest.raises(error, match=message and "(?m)" + message):
        call(T, nmk, model())


# ---- shape checks ---------------------------------------------------------------------

MESSAGES = {"A": "A must have shape (n, n).", "B": "B must have shape (n, k).",
            "C": "C must have shape (m, n).", "d": "d must have shape (m,).",
            "Q": "Q must have shape (k, k).", "R": "R must have shape (m, m).",
            "x0": "x0 must have shape (n,).", "P0": "P0 must have shape (n, n).",
            "y": "y must have m columns and at least T rows."}


@pytest.mark.parametrize("key", KEYS)
@pytest.mark.parametrize("how", ["short", "wide", "none", "flat"])
def test_arrays_that_do_not_match_nmk_are_refused(key, how):
    # the loop would read past the end of any of these
    mdl = model(3, 2, 4, 5)
    a = mdl[key]
    mdl[key] = {"short": a[:-1], "wide": np.append(a, a[..., -1:], axis=-1), "none": None,
                "flat": a.reshape(1, -1) if a.ndim == 2 else a[:, None]}[how]
    with pytest.raises(ValueError) as info:
        call(5, (3, 2, 4), mdl)
    flat_vector = how == "flat" and a.ndim == 1
    assert str(info.value) == (MESSAGES[key] if not flat_vector else
                               "Buffer has wrong number of dimensions (expected 1, got 2)")


@pytest.mark.parametrize("n, m, k, empty", [
    (0, 2, 3, ("A", "B", "x0", "P0")), (3, 0, 2, ("C", "d", "R", "y")), (3, 2, 0, ("B", "Q")),
    (0, 0, 0, KEYS)])
def test_operands_without_elements_may_be_none_or_any_empty_array(n, m, k, empty):
    mdl = model(n, m, k, 4)
    status, loglik, want = run_kf(n, m, k, 4, *(mdl[key] for key in KEYS), 1, 0.0, 1, 1)
    assert status == 0
    for i, key in enumerate(empty):
        mdl[key] = None if i % 2 else np.zeros((0, 7) if mdl[key].ndim == 2 else 0)
    out = call(4, (n, m, k), mdl, True, 0.0, True)[2]
    assert same_bits(out[10], loglik)
    assert all(same_bits(a, want[f]) for a, f in zip(out, KF_HISTORY_FIELDS))
    if m == 0:  # a non-empty array where an empty one is needed is still refused
        with pytest.raises(ValueError, match=r"^d must have shape \(m,\)\.$"):
            call(4, (n, m, k), dict(mdl, d=np.zeros(5)))


def test_shapes_whose_element_count_overflows_are_not_empty():
    # B (32 x 2**59) and Q hold 2**64 and 2**118 values, which wrap to 0 in 64 bits
    mdl = dict(model(32, 0, 0, 0), B=None, Q=None)
    with pytest.raises(ValueError) as info:
        call(0, (32, 0, 2**59), mdl, True, 0.0, False, False)
    assert str(info.value) == "B must have shape (n, k)."


# ---- results ----------------------------------------------------------------------------

@pytest.mark.parametrize("T", [0, 5])
@pytest.mark.parametrize("flags", [(), (False,), (True,), (False, False), (True, False),
                                   (True, True), (False, True)])
def test_result_layout(T, flags):
    shocks, store = flags + (False, True)[len(flags):]
    n, m, k = 3, 2, 4
    mdl = model(n, m, k, 5)
    if T == 0:
        mdl["y"] = None  # not read
    result = call(T, (n, m, k), mdl, True, 0.0, *flags)
    assert type(result) is tuple and len(result) == 3
    assert type(result[0]) is int and result[0] == 0
    assert result[1] == (0.0, 0.0, 0.0) and result[1] is kf(0, (0, 0, 0), *[None] * 9, 0, 0)[1]
    out = result[2]
    assert type(out) is tuple and len(out) == 11 and type(out[10]) is float
    h = T if store else 0
    assert [a.shape for a in out[:10]] == [(h, n), (h, n), (h, n, n), (h, n, n), (h, m),
                                           (h, m), (h, m), (h, m), (h, m, m),
                                           (T if store and shocks else 0, k)]
    assert all(a.dtype == np.float64 and a.flags.c_contiguous and a.flags.writeable
               for a in out[:10])
    assert (out[10] == 0.0) == (T == 0)


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("symmetrize, jitter, shocks, store", [
    (True, 0.0, True, True), (False, 0.05, True, True), (True, 0.0, False, True),
    (False, 0.0, True, False)])
def test_matches_native_loop_bit_for_bit(seed, symmetrize, jitter, shocks, store):
    rng = np.random.default_rng(seed)
    n, m, k = (int(v) for v in rng.integers(1, 6, 3))
    T = int(rng.integers(1, 12))
    mdl = model(n, m, k, T + seed, seed)  # the entry accepts rows of y beyond T
    before = {key: mdl[key].copy() for key in KEYS}
    status, loglik, want = run_kf(n, m, k, T, *(mdl[key] for key in KEYS), int(symmetrize),
                                  jitter, int(shocks), int(store))
    assert status == 0
    out = call(T, (n, m, k), mdl, symmetrize, jitter, shocks, store)[2]
    assert same_bits(out[10], loglik)
    for array, field in zip(out[:10], KF_HISTORY_FIELDS):
        assert array.shape[0] == 0 or same_bits(array, want[field]), field
    assert all(same_bits(mdl[key], before[key]) for key in KEYS)  # inputs are only read
    again = call(T, (n, m, k), mdl, symmetrize, jitter, shocks, store)[2]
    assert all(a is not b and same_bits(a, b) for a, b in zip(out[:10], again[:10]))


# ---- status translation and the names looked up per call ------------------------------------

def test_not_positive_definite_raises_linalg_error(monkeypatch):
    mdl = failing_model()
    assert run_kf(2, 1, 1, 3, *(mdl[key] for key in KEYS))[0] == -3
    with pytest.raises(np.linalg.LinAlgError) as info:
        call(3, (2, 1, 1), mdl)
    assert type(info.value) is np.linalg.LinAlgError
    assert info.value.args == ("Innovation covariance is not positive definite.",)
    mine = type("Mine", (Exception,), {})
    monkeypatch.setattr(K, "LinAlgError", mine)
    with pytest.raises(mine, match="^Innovation covariance is not positive definite.$"):
        call(3, (2, 1, 1), mdl, False, 0.0, False, False)
    monkeypatch.delattr(K, "LinAlgError")  # then the builtins are asked
    with pytest.raises(NameError, match="LinAlgError"):
        call(3, (2, 1, 1), mdl)
    monkeypatch.setattr(builtins, "LinAlgError", KeyError, raising=False)
    with pytest.raises(KeyError):
        call(3, (2, 1, 1), mdl)


def test_outputs_are_allocated_through_the_module_np(monkeypatch):
    calls = []

    def zeros(shape, **kw):
        calls.append((shape, kw))
        return np.zeros(shape)

    dtype = object()
    monkeypatch.setattr(K, "np", types.SimpleNamespace(zeros=zeros, float64=dtype))
    mdl = model(3, 2, 4, 5)
    out = call(5, (3, 2, 4), mdl, True, 0.0, False)[2]
    assert calls == [(a.shape, {"dtype": dtype}) for a in out[:10]]
    assert all(type(shape) is tuple for shape, _ in calls)
    monkeypatch.delattr(K, "np")
    with pytest.raises(NameError, match="'np'"):
        call(5, (3, 2, 4), mdl)


def test_scratch_allocation_failure_raises_memory_error():
    # An address-space limit just above what the process holds leaves no room
    # for the loop's scratch block (6 n^2 values, about 100 MiB).
    script = """if True:
        import resource, numpy as np
        import Orvanta._ckernels.kalman._kalman as K
        n = 1500
        A, P0, x0 = np.eye(n), np.eye(n), np.zeros(n)
        held = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (held + 48 * 2**20, resource.RLIM_INFINITY))
        try:
            K.kalman_hot_loop(2, (n, 0, 0), A, *[None] * 6, x0, P0, 1, 0.0, 0, 0)
        except MemoryError as exc:
            print(repr(exc))"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          env=dict(os.environ, PYTHONPATH=PACKAGE_ROOT), timeout=60)
    assert done.stdout.strip() == "MemoryError('kf_hot_loop: scratch allocation failed.')", \
        done.stderr


# ---- repetition and threads ----------------------------------------------------------------

PATHS = {  # how one call fails (or not), given the 13 arguments of a good call
    "binding": (lambda a: kf(*a[:12]), TypeError),
    "conversion": (lambda a: kf(*a[:10], a[10].astype(np.float32), *a[11:]), ValueError),
    "flag": (lambda a: kf(*a[:11], Raises(), *a[12:]), ZeroDivisionError),
    "nmk": (lambda a: kf(a[0], (3, 2), *a[2:]), IndexError),  # too short
    "allocation": (lambda a: kf(a[0], (3, -1, 4), *a[2:]), ValueError),
    "shape": (lambda a: kf(a[0] + 50, *a[1:]), ValueError),
    "linalg": (lambda a: kf(*a), np.linalg.LinAlgError),  # with failing_model()
    "success": (lambda a: kf(*a, True, True), None),
}


@pytest.mark.parametrize("path", PATHS)
def test_repeated_calls_leak_nothing(path):
    fn, error = PATHS[path]
    T, nmk, mdl = (3, (2, 1, 1), failing_model()) if path == "linalg" else (20, (3, 2, 4),
                                                                            model(3, 2, 4, 20))
    args = [T, nmk, *(mdl[key] for key in KEYS), True, 0.0]

    def repeat(times):
        for _ in range(times):
            try:
                fn(args)
            except error or ():
                continue
            assert error is None, f"{path} did not fail"

    repeat(20)
    counts = [sys.getrefcount(a) for a in args[2:11]]
    tracemalloc.start()
    try:
        repeat(20)
        start = tracemalloc.get_traced_memory()[0]
        repeat(2000)
        grown = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(a) for a in args[2:11]] == counts  # every buffer released
    assert grown < 16 * 1024  # one leaked float per call would be 48 KiB


def test_interpreter_lock_is_released_during_the_loop():
    n, m, k, T = 16, 8, 4, 6000
    mdl = model(n, m, k, T)
    during, alone, elapsed = spinner_ticks(
        lambda: call(T, (n, m, k), mdl, True, 0.0, False, False))
    assert during > 0.2 * alone, (during, alone, elapsed)
