"""The Python entry ukf_hot_loop: results against the native loop called
directly, argument conversion and checks, history shapes, threads and leaks."""

import ctypes as ct
import gc
import glob
import os
import sys
import threading
import tracemalloc

import numpy as np
import pytest
from numba import cfunc

from _native import UKF_HISTORY_FIELDS, run_ukf
from _memory import held_bytes
from Orvanta._ckernels.kalman import _kalman
from test_ukf import (MEAS_SIG, Recorder, meas_linear, meas_nonlinear, meas_params,
                      pack_params, random_model, random_params)

ukf_hot_loop = _kalman.ukf_hot_loop
ARRAYS = ("hx", "gx", "bx", "hxx", "gxx", "hss", "gss", "steady_state", "params", "Q", "R",
          "obs", "z0", "P0")
NOT_PD = "UKF covariance is not positive definite."


_build = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "build")
_found = sorted(glob.glob(os.path.join(_build, "*", "libmeas_fixtures.so")),
                key=lambda path: not path.endswith("/dev/libmeas_fixtures.so"))
assert _found, f"libmeas_fixtures.so is not built under {_build}"
_fixtures = ct.CDLL(_found[0])
C_AFFINE = ct.cast(_fixtures.meas_affine, ct.c_void_p).value   # params: [nv, no, Z, c]
C_CURVED = ct.cast(_fixtures.meas_curved, ct.c_void_p).value   # nv = 3, no = 2


@cfunc(MEAS_SIG)
def meas_watch(v, p, out):
    # Reads nv >= 3 variables, writes no = 2 observables that depend on them
    # only. p = [counter, min seen, max seen, calls]: a Python thread keeps
    # writing p[0]; the range of the values seen during one run shows whether
    # that thread moved while the native loop ran.
    out[0] = v[0] * v[1] + np.cos(v[2])
    out[1] = 0.5 * v[0] - v[2] * v[2]
    seen = p[0]
    if p[3] == 0.0 or seen < p[1]:
        p[1] = seen
    if p[3] == 0.0 or seen > p[2]:
        p[2] = seen
    p[3] += 1.0


def model(seed, ns, nc, ne, no, T=6, second_order=True):
    return random_model(np.random.default_rng(seed), ns, nc, ne, no, T, second_order)


def call(addr, m, alpha=1.0, beta=2.0, kappa=0.0, jitter=0.0, **flags):
    return ukf_hot_loop(addr, *(m[name] for name in ARRAYS), alpha, beta, kappa, jitter,
                        **flags)


def same_bits(a, b):
    a, b = np.asarray(a, dtype=np.float64), np.asarray(b, dtype=np.float64)
    return a.shape == b.shape and a.tobytes() == b.tobytes()


def expected_shapes(T, ns, nc, no):
    nz, nv = 2 * ns, ns + nc
    return [(T, ns)] * 4 + [(T, nv)] * 2 + [(T, nz, nz)] * 2 + [(T, no)] * 4 + [(T, no, no)]


# ---- results of compiled measurement functions -----------------------------

BIT_CASES = {
    # meas address, (ns, nc, ne, no), params kind, entry settings, model edits
    "numba-linear": (meas_linear.address, (2, 1, 2, 2), None, {}, {}),
    "numba-nonlinear": (meas_nonlinear.address, (1, 2, 1, 3), None,
                        dict(alpha=0.7, beta=1.5, kappa=0.5, symmetrize=False), {}),
    "numba-params": (meas_params.address, (3, 2, 2, 2), "quadratic", dict(jitter=1e-9), {}),
    "c-affine-no-controls-no-shocks": (C_AFFINE, (2, 0, 0, 3), "linear", {},
                                       dict(gss=None, Q=None)),
    "c-curved-no-shocks": (C_CURVED, (2, 1, 0, 2), "empty", dict(kappa=1.0), {}),
    "numba-params-no-history": (meas_params.address, (2, 2, 1, 2), "quadratic",
                                dict(store_history=False), {}),
}


@pytest.mark.parametrize("case", BIT_CASES)
def test_bit_identical_to_native_loop(case):
    addr, (ns, nc, ne, no), params, settings, edits = BIT_CASES[case]
    m = model(sum(map(ord, case)), ns, nc, ne, no, T=9)
    rng = np.random.default_rng(1)
    if params == "empty":
        m["params"] = np.zeros(0)
    elif params is not None:
        m["params"] = random_params(rng, ns + nc, no, quadratic=params == "quadratic")
    m.update(edits)
    store = settings.get("store_history", True)
    native = dict(settings, symmetrize=int(settings.get("symmetrize", True)),
                  store_history=int(store))

    status, loglik, ref = run_ukf(addr, **m, **native, null_history=not store)
    result = call(addr, m, **settings)

    assert status == 0 and np.isfinite(loglik)
    assert type(result) is tuple and len(result) == 3
    assert type(result[0]) is int and result[0] == 0
    assert result[1] == (0.0, 0.0, 0.0)
    history = result[2]
    assert type(history) is tuple and len(history) == 14
    assert type(history[13]) is float and same_bits(history[13], loglik)
    shapes = expected_shapes(9 if store else 0, ns, nc, no)
    for name, array, shape in zip(UKF_HISTORY_FIELDS, history, shapes):
        assert type(array) is np.ndarray and array.dtype == np.float64, name
        assert array.shape == shape and array.flags.c_contiguous, name
        assert not store or same_bits(array, ref[name]), name


@pytest.mark.parametrize("symmetrize", [False, True])
@pytest.mark.parametrize("addr, dims", [(C_AFFINE, (2, 1, 2, 3)),
                                        (meas_params.address, (3, 0, 0, 2))],
                         ids=["c-affine", "numba-params"])
def test_linear_case_equals_kalman_hot_loop(addr, dims, symmetrize):
    """No second-order terms, no jitter, an affine measurement: the unscented
    sums are exact for the stacked system z = (x1, x2)."""
    ns, nc, ne, no = dims
    T, nz = 15, 2 * ns
    m = model(40 + ns, ns, nc, ne, no, T, second_order=False)
    rng = np.random.default_rng(41)
    Z, c = rng.normal(size=(no, ns + nc)), rng.normal(size=no)
    m["params"] = pack_params(Z, c, np.zeros(no))
    ukf = call(addr, m, alpha=0.9, kappa=0.5, symmetrize=symmetrize)[2]

    vars_map = np.block([[np.eye(ns), np.eye(ns)], [m["gx"], m["gx"]]])
    A = np.kron(np.eye(2), m["hx"])
    B = np.vstack([m["bx"], np.zeros((ns, ne))])
    kf = _kalman.kalman_hot_loop(T, (nz, no, ne), A, B, Z @ vars_map,
                                 Z @ m["steady_state"] + c, m["Q"], m["R"], m["obs"],
                                 m["z0"], m["P0"], symmetrize, 0.0)[2]
    x1_pred, x2_pred, x1_filt, x2_filt, _, _, P_pred, P_filt, y_pred, y_filt, innov, _, S, \
        loglik = ukf
    assert loglik == pytest.approx(kf[10], rel=1e-9)
    pairs = [(np.hstack([x1_pred, x2_pred]), kf[0]), (np.hstack([x1_filt, x2_filt]), kf[1]),
             (P_pred, kf[2]), (P_filt, kf[3]), (y_pred, kf[4]), (y_filt, kf[5]),
             (innov, kf[6]), (S, kf[8])]
    for mine, theirs in pairs:
        scale = np.abs(theirs).max()
        assert mine.shape == theirs.shape and np.abs(mine - theirs).max() <= 1e-9 * scale


# ---- what reaches the measurement function ---------------------------------

@pytest.mark.parametrize("params", [None, np.zeros(0), np.array([0.25, -3.0, 7.5])],
                         ids=["none", "empty", "three"])
def test_params_reach_measurement_in_place(params):
    m = model(5, 2, 1, 1, 2, T=3)
    m["params"] = params
    Z = np.array([[0.8, -0.3, 0.5], [0.2, 1.1, -0.4]])
    rec = Recorder(lambda v, k: Z @ v, 3, 2)
    addr = ct.cast(rec.fn, ct.c_void_p).value
    result = call(addr, m)[2]
    assert len(rec.calls) == 3 * (4 * 2 + 1 + 1)
    expected = params.ctypes.data if params is not None and params.size else None
    assert all(c[2] == expected for c in rec.calls)
    # The last call of each period evaluates y_filt in the returned arrays.
    x_filt, y_filt = result[5], result[9]
    for t in range(3):
        v, x, _, out = rec.calls[(t + 1) * 10 - 1]
        assert v == x_filt.ctypes.data + 8 * 3 * t and out == y_filt.ctypes.data + 8 * 2 * t
        assert np.array_equal(y_filt[t], Z @ x)


@pytest.mark.parametrize("store", [True, False])
def test_empty_sample(store):
    m = model(6, 2, 1, 2, 3)
    m["obs"] = np.zeros((0, 3))
    rec = Recorder(lambda v, k: v[:3], 3, 3)
    result = call(ct.cast(rec.fn, ct.c_void_p).value, m, store_history=store)
    assert result[0] == 0 and not rec.calls
    history = result[2]
    assert type(history[13]) is float and same_bits(history[13], 0.0)
    assert [a.shape for a in history[:13]] == expected_shapes(0, 2, 1, 3)


def test_result_middle_is_the_shared_tuple():
    m = model(9, 2, 1, 2, 2, T=2)
    first, second = call(meas_linear.address, m), call(meas_linear.address, m)
    one = np.ones((1, 1))
    kf = _kalman.kalman_hot_loop(1, (1, 1, 1), one, one, one, np.zeros(1), one, one, one,
                                 np.zeros(1), one, True, 0.0)
    assert first[1] is second[1] is kf[1]
    assert first[1] == (0.0, 0.0, 0.0) and first[2] is not second[2]


# ---- checks, conversions and binding ---------------------------------------

MESSAGES = [
    "ukf_hot_loop requires a nonzero measurement function address.",
    "hx must have at least one state.",
    "obs must have at least one observable column.",
    "hx must have shape (n_state, n_state).",
    "bx must have shape (n_state, n_exog).",
    "gx must have shape (n_ctrl, n_state).",
    "hxx must have shape (n_state, n_state, n_state).",
    "gxx must have shape (n_ctrl, n_state, n_state).",
    "hss must have shape (n_state,).",
    "gss must have shape (n_ctrl,).",
    "steady_state must have shape (n_state + n_ctrl,).",
    "Q must have shape (n_exog, n_exog).",
    "R must have shape (n_obs, n_obs).",
    "z0 must have shape (2 * n_state,).",
    "P0 must have shape (2 * n_state, 2 * n_state).",
]
# A way to fail each check, in check order, for (ns, nc, ne, no, T) = (2, 1, 2, 2, 3).
BREAKS = [("meas", 0), ("hx", (0, 0)), ("obs", (3, 0)), ("hx", (2, 3)), ("bx", (3, 2)),
          ("gx", (1, 3)), ("hxx", (2, 2, 3)), ("gxx", (2, 2, 2)), ("hss", (3,)),
          ("gss", (2,)), ("steady_state", (4,)), ("Q", (3, 3)), ("R", (2, 3)), ("z0", (5,)),
          ("P0", (5, 4))]


def broken_args(changes, seed=3):
    """Arguments for the (2, 1, 2, 2) model with `changes` applied in order;
    a shape becomes a zero array of that shape."""
    m, addr = model(seed, 2, 1, 2, 2, T=3), meas_linear.address
    for name, value in changes:
        if name == "meas":
            addr = value
        else:
            m[name] = value if value is None or isinstance(value, np.ndarray) else np.zeros(value)
    return [addr, *(m[name] for name in ARRAYS), 1.0, 2.0, 0.0, 0.0]


@pytest.mark.parametrize("k", range(15))
def test_first_failing_check_is_reported(k):
    # Break check k and every later one; later breaks applied first so that an
    # earlier one wins where two touch the same array.
    with pytest.raises(ValueError) as info:
        ukf_hot_loop(*broken_args(reversed(BREAKS[k:])))
    assert str(info.value) == MESSAGES[k]


@pytest.mark.parametrize("name, shape, k", [
    ("hx", None, 1), ("hx", (0, 2), 1), ("obs", None, 2), ("obs", (0, 0), 2),
    ("hx", (2, 1), 3), ("hx", (3, 2), 3), ("bx", (1, 2), 4), ("bx", None, 4),
    ("bx", (2, 3), 11), ("gx", None, 5), ("gx", (2, 2), 7),
    ("hxx", (3, 2, 2), 6), ("hxx", (2, 3, 2), 6), ("hxx", (2, 2, 1), 6), ("hxx", None, 6),
    ("gxx", (0, 2, 2), 7), ("gxx", (1, 3, 2), 7), ("gxx", (1, 2, 1), 7), ("gxx", None, 7),
    ("hss", (1,), 8), ("hss", None, 8), ("gss", (0,), 9), ("gss", None, 9),
    ("steady_state", (2,), 10), ("Q", (2, 3), 11), ("Q", (3, 2), 11), ("Q", None, 11),
    ("R", (3, 3), 12), ("R", (3, 2), 12), ("R", None, 12), ("z0", (3,), 13), ("z0", None, 13),
    ("P0", (4, 3), 14), ("P0", (3, 4), 14), ("P0", None, 14)])
def test_each_extent_is_checked(name, shape, k):
    with pytest.raises(ValueError) as info:
        ukf_hot_loop(*broken_args([(name, shape)]))
    assert str(info.value) == MESSAGES[k]


class Raises:
    def __int__(self):
        raise ZeroDivisionError("from __int__")

    def __bool__(self):
        raise ZeroDivisionError("from __bool__")


@pytest.mark.parametrize("position, value, exc, message", [
    (0, -1, OverflowError, "can't convert negative value to size_t"),
    (0, -2**70, OverflowError, "can't convert negative value to size_t"),
    (0, -1.5, OverflowError, "can't convert negative value to size_t"),
    (0, 2**64, OverflowError, None),
    (0, "12", TypeError, "an integer is required"),
    (0, None, TypeError, "an integer is required"),
    (0, Raises(), ZeroDivisionError, "from __int__"),
    (0, 0.9, ValueError, MESSAGES[0]),           # truncated to 0
    (0, np.uint64(0), ValueError, MESSAGES[0]),
    (1, [[1.0]], TypeError, None),
    (8, np.zeros(3, np.float32), ValueError,
     "Buffer dtype mismatch, expected 'double' but got 'float'"),
    (12, np.zeros(4), ValueError, "Buffer has wrong number of dimensions (expected 2, got 1)"),
    (11, np.zeros((3, 3), order="F"), ValueError, None),
    (17, "x", TypeError, None),
    (20, Raises(), ZeroDivisionError, "from __bool__"),
])
def test_conversion_fails_before_any_check(position, value, exc, message):
    # Every check would fail (address 0 included); conversion errors win.
    args = broken_args(reversed(BREAKS)) + [True, True]
    args[0] = 0
    args[position] = value
    with pytest.raises(exc) as info:
        ukf_hot_loop(*args)
    assert info.type is exc
    if message is not None:
        assert str(info.value) == message


class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


@pytest.mark.parametrize("convert", [lambda a: float(a) + 0.75, np.uint64, IntLike],
                         ids=["float", "numpy-uint64", "__int__"])
def test_address_conversion_of_other_objects(convert):
    m = model(12, 2, 1, 1, 2, T=4)
    addr = meas_linear.address
    assert addr < 2**52  # exactly representable as a float
    expected, got = call(addr, m)[2], call(convert(addr), m)[2]
    assert all(same_bits(a, b) for a, b in zip(expected, got))


def test_binding():
    m = model(13, 2, 1, 1, 2, T=4)
    args = [meas_linear.address, *(m[name] for name in ARRAYS), 0.9, 2.0, 0.5, 1e-12]
    with pytest.raises(TypeError) as info:
        ukf_hot_loop(*args[:18])
    assert str(info.value) == "ukf_hot_loop() takes at least 19 positional arguments (18 given)"
    with pytest.raises(TypeError) as info:
        ukf_hot_loop(*args, False, True, None)
    assert str(info.value) == "ukf_hot_loop() takes at most 21 positional arguments (22 given)"
    keywords = dict(zip(("meas_addr",) + ARRAYS + ("alpha", "beta", "kappa", "jitter"), args))
    unsymmetric = [ukf_hot_loop(*args, False, True), ukf_hot_loop(*args, symmetrize=False),
                   ukf_hot_loop(**keywords, symmetrize=0)]
    default = ukf_hot_loop(*args)[2]
    for run in unsymmetric:
        assert all(same_bits(a, b) for a, b in zip(run[2], unsymmetric[0][2]))
        assert not same_bits(run[2][6], default[6])
    for run in (ukf_hot_loop(*args, store_history=False),
                ukf_hot_loop(**keywords, store_history=0)):
        assert run[2][0].shape == (0, 2) and same_bits(run[2][13], default[13])


@pytest.mark.parametrize("change", [dict(P0="indefinite"), dict(alpha=0.0),
                                    dict(alpha=float("nan")), dict(kappa=-4.0)])
def test_not_positive_definite(change):
    m = model(14, 2, 1, 2, 2, T=4)
    if change.pop("P0", None):
        m["P0"] = m["P0"] - 2 * np.abs(m["P0"]).max() * np.eye(4)
    with pytest.raises(np.linalg.LinAlgError) as info:
        call(meas_linear.address, m, **change)
    assert info.type is np.linalg.LinAlgError and str(info.value) == NOT_PD


# ---- threads ---------------------------------------------------------------

def test_threads_run_in_parallel_without_the_interpreter_lock():
    T, n_runs = 4000, 2
    watched_model = model(20, 6, 1, 2, 2, T)
    watched = watched_model["params"] = np.zeros(4)  # [counter, min seen, max seen, calls]
    other = model(21, 5, 2, 3, 3, T)
    other["params"] = random_params(np.random.default_rng(21), 7, 3, quadratic=True)
    jobs = {"watched": (meas_watch.address, watched_model),
            "other": (meas_params.address, other)}
    expected = {key: call(*job)[2] for key, job in jobs.items()}

    done, results, spreads, count = threading.Event(), {}, [], [0]

    def counter():
        n = 0
        while not done.is_set():
            n += 1
            watched[0] = n
        count[0] = n

    def worker(key):
        barrier.wait()
        results[key] = []
        for _ in range(n_runs):
            if key == "watched":
                watched[1:] = 0.0
            results[key].append(call(*jobs[key])[2])
            if key == "watched":
                spreads.append((watched[2] - watched[1], watched[3]))

    barrier = threading.Barrier(2)
    count_thread = threading.Thread(target=counter)
    count_thread.start()
    while watched[0] == 0:
        pass
    workers = [threading.Thread(target=worker, args=(key,)) for key in jobs]
    for w in workers:
        w.start()
    for w in workers:
        w.join()
    done.set()
    count_thread.join()

    for key in jobs:
        assert len(results[key]) == n_runs
        for got in results[key]:
            assert all(same_bits(a, b) for a, b in zip(got, expected[key])), key
    assert count[0] > 0
    assert [calls for _, calls in spreads] == [T * (4 * 6 + 2)] * n_runs
    # The counter moved while a single native run was calling the measurement.
    assert all(spread > 0 for spread, _ in spreads)


# ---- leaks -----------------------------------------------------------------

def test_repeated_calls_leak_nothing():
    m = model(30, 4, 1, 2, 3, T=4)
    m["params"] = random_params(np.random.default_rng(30), 5, 3, quadratic=True)
    # hx as a memoryview: its exports must all be released to let it go.
    hx_view = memoryview(bytearray(m["hx"].tobytes())).cast("B").cast("d", m["hx"].shape)
    good = [meas_params.address, hx_view, *(m[name] for name in ARRAYS[1:]),
            1.0, 2.0, 0.0, 0.0]
    indefinite = m["P0"] - 2 * np.abs(m["P0"]).max() * np.eye(8)
    bad_P0 = np.zeros((8, 7))
    float32_R = m["R"].astype(np.float32)

    def variant(position, value):
        args = list(good)
        args[position] = value
        return args

    paths = [(variant(14, bad_P0), ValueError), (variant(18, "x"), TypeError),
             (variant(0, -5), OverflowError), (variant(11, float32_R), ValueError),
             (variant(14, indefinite), np.linalg.LinAlgError), (good, None)]
    shared = ukf_hot_loop(*good)[1]
    watched = [obj for args, _ in paths for obj in args] + [shared]
    unique = {id(obj): obj for obj in watched}.values()

    def run(times):
        for args, exc in paths:
            for _ in range(times):
                try:
                    ukf_hot_loop(*args)
                except Exception as e:
                    assert type(e) is exc
                else:
                    assert exc is None

    run(50)
    gc.collect()
    refs = [sys.getrefcount(obj) for obj in unique]
    tracemalloc.start()
    rss = held_bytes()
    traced = tracemalloc.get_traced_memory()[0]
    run(2000)
    gc.collect()
    traced_growth = tracemalloc.get_traced_memory()[0] - traced
    rss_growth = held_bytes() - rss
    tracemalloc.stop()
    assert [sys.getrefcount(obj) for obj in unique] == refs
    assert traced_growth < 32 * 1024, traced_growth
    assert rss_growth < 16 * 2**20, rss_growth
    hx_view.release()  # BufferError if a call kept it exported
