"""Both Python entries called with arguments drawn from wide strategies. Every
call returns a result of the documented layout or raises a documented
exception type with a message of the documented form; a shape complaint names
an operand that really is off, and no call that got past the checks (result,
LinAlgError, scratch MemoryError) holds an operand that is."""

import ctypes as ct
import functools
import os
import re

import numpy as np
from hypothesis import HealthCheck, assume, event, given, settings, strategies as st
from hypothesis.database import DirectoryBasedExampleDatabase
from numba import cfunc

from Orvanta._ckernels.kalman import _kalman

_common = dict(deadline=None, derandomize=False, suppress_health_check=[HealthCheck.too_slow],
               database=DirectoryBasedExampleDatabase(
                   os.path.join(os.path.dirname(os.path.abspath(__file__)), "hypothesis-db")))
settings.register_profile("entries-normal", max_examples=300, **_common)
settings.register_profile("entries-sanitized", max_examples=3000, **_common)
FUZZ = settings.get_profile(os.environ.get("ORVANTA_FUZZ_PROFILE") or (
    "entries-sanitized" if os.environ.get("ORVANTA_PACKAGE_ROOT") else "entries-normal"))

MESSAGES = {  # full-match patterns
    TypeError: [r"\w+\(\) takes at (?:most|least) \d+ positional arguments? \(\d+ given\)",
                r"\w+\(\) got an unexpected keyword argument '\w+'",
                r"\w+\(\) got multiple values for keyword argument '\w+'",
                r"a bytes-like object is required, not '\w+'", r"an integer is required",
                r"must be real number, not \w+", r"'\w+' object is not subscriptable",
                r"only (?:0-dimensional|length-1) arrays can be converted to Python scalars"],
    OverflowError: [r"int too big to convert", r"int too large to convert to float",
                    r"can't convert negative value to size_t",
                    r"cannot convert float infinity to integer"],
    ValueError: [r"Buffer has wrong number of dimensions \(expected [123], got \d+\)",
                 r"Buffer dtype mismatch, expected 'double' but got .+",
                 r"Big-endian buffer not supported on little-endian compiler",
                 r"ndarray is not C-contiguous", r"buffer source array is read-only",
                 r"cannot include dtype '\w' in a buffer", r"(\w+) must have shape \(.*\)\.",
                 r"y must have m columns and at least T rows\.",
                 r"negative dimensions are not allowed", r"array is too big; .*",
                 r"T must not be negative \(got -\d+\)\.",
                 r"cannot convert float NaN to integer", r"The truth value of an array .*",
                 r"ukf_hot_loop requires a nonzero measurement function address\.",
                 r"hx must have at least one state\.",
                 r"obs must have at least one observable column\."],
    IndexError: [r"(?:tuple|list) index out of range", r"index 2 is out of bounds .*"],
    MemoryError: [r"Unable to allocate .*", r"u?kf_hot_loop: scratch allocation failed\."],
    np.linalg.LinAlgError: [r"Innovation covariance is not positive definite\.",
                            r"UKF covariance is not positive definite\."],
}
# Two arguments that disagree on one of the model's sizes (the linear model's
# entries).
DISAGREE = (r"\w+ and \w+ disagree on the number of (states n|shocks k|observables m): "
            r"\w+ \([\w, ]+\) has \d+ (rows?|columns?|entry|entries), "
            r"\w+ \([\w, ]+\) has \d+ (rows?|columns?|entry|entries)\.")
HUGE = [-1, -2**63, -2**63 - 1, 2**60, 2**62, 2**63 - 1, 2**63, 2**64, 10**30]
# Extents whose squares leave 64 bits while numpy still makes (0, extent).
WIDE = [2**32, 2**40, 2**59] * 3
ODD_INTS = [True, 2.9, np.int64(2), np.array(1), float("nan"), float("inf"), "3", None, 1j,
            np.array([1, 2])]
FLAGS = [True, False, None, 0, 1, np.bool_(True), "", [0], np.array([1, 2])]
FLOATS = [0.0, 1e-9, -1.0, 1, np.float32(0.5), float("nan"), float("inf"), -float("inf"),
          1e308, 10**400, "x", None]
NEAR = ["extent"] * 4 + ["none", "empty"]
ANY = NEAR + ["nonfinite", "rank", "dtype", "fortran", "strided", "reversed", "readonly",
              "list", "scalar", "exporter"]


# ---- operands and calls -----------------------------------------------------

def spd(rng, n):
    a = rng.normal(size=(n, n))
    return a @ a.T + 0.5 * np.eye(n)


def mutate(data, model, count, kinds):
    """Replaces `count` operands of a valid model by variants of `kinds`."""
    valid = dict(model)
    for _ in range(count):
        name = data.draw(st.sampled_from(sorted(model)))
        model[name] = variant(data, valid[name], kinds)
    return model


def variant(data, a, kinds):
    kind = data.draw(st.sampled_from(kinds))
    if kind == "extent":
        axis = data.draw(st.integers(0, a.ndim - 1))
        shape = list(a.shape)
        shape[axis] = data.draw(st.sampled_from([0, max(shape[axis] - 1, 0), shape[axis] + 1]))
        return np.full(shape, 0.25)
    if kind == "nonfinite" and a.size:
        a = a.copy()
        a.flat[data.draw(st.integers(0, a.size - 1))] = data.draw(
            st.sampled_from([np.nan, np.inf, -np.inf, 1e300]))
    if kind == "rank":
        rank = data.draw(st.sampled_from([r for r in range(4) if r != a.ndim]))
        return np.ones(a.shape[:rank] + (2,) * max(0, rank - a.ndim))
    if kind == "dtype":
        return a.astype(data.draw(st.sampled_from(
            [np.float32, np.float16, np.int64, np.complex128, object, bool, ">f8", "f8,f8"])))
    if kind == "readonly":
        a = a.copy()
        a.setflags(write=False)
    if kind == "exporter":  # other buffer exporters: a memoryview or a ctypes array
        fmt = data.draw(st.sampled_from("dfqB"))
        if a.size and data.draw(st.booleans()):
            size = np.dtype(fmt).itemsize * a.size
            return memoryview(bytearray(size)).cast("B").cast(fmt, a.shape)
        ctype = ct.c_double
        for extent in reversed(a.shape):
            ctype = ctype * extent
        return ctype()
    return {"none": None, "empty": np.zeros((0,) * a.ndim), "fortran": np.asfortranarray(a),
            "strided": np.repeat(a, 2, axis=-1)[..., ::2], "reversed": a[..., ::-1],
            "list": a.tolist(), "scalar": 1.5}.get(kind, a)


def odd(valid, pool, one_in):
    """`valid`, or about one in `one_in` times an item of `pool` (never for 0)."""
    if not one_in:
        return st.just(valid)
    pool = [*pool, valid]  # the largest index too, which comes up more often
    return st.integers(-(one_in - 1) * len(pool), len(pool) - 1).map(
        lambda i: pool[i] if i >= 0 else valid)


def extents(obj, rank):
    """The extents the entry sees for an operand it could convert."""
    return (0,) * rank if obj is None else tuple(memoryview(obj).shape)


def call_bound(data, fn, names, defaults, values, wild):
    """Calls fn with `values` split at random between positional and keyword
    arguments, trailing optional ones sometimes left out and, when wild, now
    and then a binding mistake. Returns (result, exception, values as bound,
    or None after a mistake)."""
    n_required = len(names) - len(defaults)
    given_n, n_pos, mistake = data.draw(st.tuples(
        st.integers(n_required, len(names)), st.integers(0, len(names)),
        st.sampled_from([None] + (["extra", "unknown", "dup", "missing"] if wild else []) +
                        [None] * 20)))
    n_pos = min(n_pos, given_n)
    args = list(values[:n_pos])
    kwargs = {names[i]: values[i] for i in range(n_pos, given_n)}
    bound = list(values[:given_n]) + list(defaults)[given_n - n_required:]
    if mistake == "extra":
        args, kwargs, bound = list(values) + [0], {}, None
    elif mistake == "unknown":
        kwargs["Tx"], bound = 1, None
    elif mistake == "dup" and n_pos:
        kwargs[names[0]], bound = values[0], None
    elif mistake == "missing" and kwargs:
        index = names.index(next(iter(kwargs)))
        del kwargs[names[index]]
        bound = None if index < n_required else (
            bound[:index] + [defaults[index - n_required]] + bound[index + 1:])
    try:
        return fn(*args, **kwargs), None, bound
    except Exception as exc:  # judged by the caller
        return None, exc, bound


def check_error(exc):
    """The exception is of a documented type with a message of the documented
    form; returns the match."""
    event(type(exc).__name__)
    kind = next((t for t in MESSAGES if type(exc) is t or (
        t is MemoryError and isinstance(exc, MemoryError))), None)
    assert kind is not None, f"undocumented {type(exc).__name__}: {exc}"
    for pattern in MESSAGES[kind]:
        match = re.fullmatch(pattern, str(exc))
        if match:
            return match
    raise AssertionError(f"{type(exc).__name__} with an unexpected message: {exc}")


ZEROS = _kalman.kalman_hot_loop(0, (0, 0, 0), *[None] * 9, 0, 0.0)[1]


def check_result(result, shapes):
    event("result")
    assert type(result) is tuple and len(result) == 3 and result[0] == 0
    assert result[1] is ZEROS
    out = result[2]
    assert type(out) is tuple and len(out) == len(shapes) + 1 and type(out[-1]) is float
    for array, shape in zip(out, shapes):
        assert type(array) is np.ndarray and array.dtype == np.float64
        assert array.shape == shape and array.flags.c_contiguous and array.flags.writeable


# ---- kalman_hot_loop --------------------------------------------------------

KF_NAMES = ("T", "nmk", "A", "B", "C", "d", "Q", "R", "y", "x0", "P0", "symmetrize", "jitter",
            "return_shocks", "store_history")


def kf_fits(name, obj, T, n, m, k):
    """Whether operand `name` has the extents the loop reads (an empty operand
    stands for any shape without elements)."""
    want = {"A": (n, n), "B": (n, k), "C": (m, n), "d": (m,), "Q": (k, k), "R": (m, m),
            "x0": (n,), "P0": (n, n), "y": (T, m)}[name]
    shape = extents(obj, len(want))
    size = int(np.prod(shape))
    if name == "y":
        return T <= 0 or (m == 0 and size == 0) or (shape[1] == m and shape[0] >= T)
    return shape == want or (size == 0 and 0 in want)


@FUZZ
@given(st.data())
def test_kalman_hot_loop_fuzz(data):
    # Either one near-right change (an extent, T or one of nmk off by one, an
    # operand empty or None), or up to two changes of any kind plus odd scalars.
    wild, n, m, k, T, extra_rows, sign, seed = data.draw(st.tuples(
        st.booleans(), *[st.sampled_from([0, 0, 1, 2, 3])] * 4, st.sampled_from([0, 0, 1]),
        st.sampled_from([1.0, 1.0, -1.0]), st.integers(0, 2**32 - 1)))
    rng = np.random.default_rng(seed)
    model = dict(A=0.4 * rng.normal(size=(n, n)), B=rng.normal(size=(n, k)),
                 C=rng.normal(size=(m, n)), d=rng.normal(size=m), Q=spd(rng, k),
                 R=spd(rng, m) * sign, y=rng.normal(size=(T + extra_rows, m)),
                 x0=rng.normal(size=n), P0=spd(rng, n))
    items, one_in = [n, m, k], (5, 25) if wild else (0, 0)
    if wild:
        model = mutate(data, model, data.draw(st.sampled_from([0, 1, 1, 2])), ANY)
    else:
        target, step = data.draw(st.tuples(st.sampled_from([*model, "T", 0, 1, 2]),
                                           st.sampled_from([-1, 1])))
        if target in model:
            model[target] = variant(data, model[target], NEAR)
        elif target == "T":
            T += step
        else:
            items[target] += step
    items = list(data.draw(st.tuples(*(odd(v, WIDE + HUGE + ODD_INTS, one_in[0])
                                       for v in items))))
    as_array = np.empty(3, dtype=object)
    as_array[:] = items
    nmk = data.draw(st.sampled_from([tuple(items), items, tuple(items) + (9,), as_array,
                                     dict(enumerate(items))] + [tuple(items[:2])] * wild))
    values = [*data.draw(st.tuples(odd(T, HUGE + ODD_INTS, one_in[1]), st.just(nmk))),
              *model.values(), *data.draw(st.tuples(
                  odd(True, FLAGS, one_in[1]), odd(0.0, FLOATS, one_in[1]),
                  odd(False, FLAGS, one_in[1]), odd(True, FLAGS, one_in[1])))]
    # A model without observables is filtered for as many periods as asked.
    assume(not (type(values[0]) is int and values[0] >= 1000) or (
        type(items[1]) is int and items[1] > 0))
    result, exc, bound = call_bound(data, _kalman.kalman_hot_loop, KF_NAMES, (False, True),
                                    values, wild)

    if exc is not None:
        match = check_error(exc)
        name = match.group(1) if match.re.groups else "y" if str(exc).startswith("y ") else None
        if name is not None:
            sizes = [int(values[0])] + [int(nmk[i]) for i in range(3)]
            assert not kf_fits(name, model[name], *sizes), f"{name} refused"
        if not str(exc).startswith("kf_hot_loop") and type(exc) is not np.linalg.LinAlgError:
            return
    assert bound is not None, "binding mistake accepted"
    T, n, m, k = [int(values[0])] + [int(nmk[i]) for i in range(3)]
    for name, obj in model.items():  # past the checks
        assert kf_fits(name, obj, T, n, m, k), f"{name} of shape {extents(obj, 1)} accepted"
    if exc is None:
        hist = T if bound[14] else 0
        shock = hist if bound[13] else 0
        check_result(result, [(hist, n)] * 2 + [(hist, n, n)] * 2 + [(hist, m)] * 4 +
                     [(hist, m, m), (shock, k)])


# ---- ukf_hot_loop -----------------------------------------------------------

UKF_NAMES = ("meas_addr", "hx", "gx", "bx", "hxx", "gxx", "hss", "gss", "steady_state",
             "params", "Q", "R", "obs", "z0", "P0", "alpha", "beta", "kappa", "jitter",
             "symmetrize", "store_history")


@functools.cache
def meas_for(nv, no):
    """A compiled measurement that reads nv variables and writes no values."""
    @cfunc("void(CPointer(float64), CPointer(float64), CPointer(float64))")
    def meas(v, p, out):
        for i in range(no):
            s = 0.1 * (i + 1)
            for j in range(nv):
                s += (0.5 - 0.1 * ((i + j) % 4)) * v[j] + 0.02 * v[j] * v[j]
            out[i] = s
    return meas


@FUZZ
@given(st.data())
def test_ukf_hot_loop_fuzz(data):
    wild, ns, no, nc, ne, T, scale, seed = data.draw(st.tuples(
        st.booleans(), *[st.integers(1, 2)] * 2, *[st.integers(0, 2)] * 3,
        st.sampled_from([0.1, 0.1, -1.0]), st.integers(0, 2**32 - 1)))
    rng = np.random.default_rng(seed)
    model = dict(hx=0.5 * np.eye(ns) + 0.1 * rng.normal(size=(ns, ns)),
                 gx=rng.normal(size=(nc, ns)), bx=rng.normal(size=(ns, ne)),
                 hxx=0.1 * rng.normal(size=(ns, ns, ns)), gxx=0.1 * rng.normal(size=(nc, ns, ns)),
                 hss=rng.normal(size=ns), gss=rng.normal(size=nc),
                 steady_state=rng.normal(size=ns + nc), params=rng.normal(size=3),
                 Q=spd(rng, ne), R=spd(rng, no), obs=rng.normal(size=(T, no)),
                 z0=rng.normal(size=2 * ns), P0=spd(rng, 2 * ns) * scale)
    model = mutate(data, model, data.draw(st.sampled_from([0, 1, 1, 2])) if wild else 1,
                   ANY if wild else NEAR)
    try:  # the sizes the entry derives, when it can convert the operands
        ns, nc, ne, no = (extents(model["hx"], 2)[0], extents(model["gx"], 2)[0],
                          extents(model["bx"], 2)[1], extents(model["obs"], 2)[1])
    except (TypeError, ValueError, IndexError):
        pass  # refused during conversion: the address is never called
    # Only a compiled function for these sizes, or an address that is refused.
    real = meas_for(ns + nc, no) if ns + nc <= 8 and no <= 4 else meas_for(1, 1)
    one_in = 20 if wild else 0
    values = [*data.draw(st.tuples(odd(real.address, [
        0, -1, 2**64, 2**70, np.uint64(0), np.int64(-5), 0.5, float("nan"), float("inf"), "x",
        None], one_in))), *model.values(), *data.draw(st.tuples(
            *(odd(v, FLOATS, one_in) for v in (1.0, 2.0, 0.0, 0.0)),
            odd(True, FLAGS, one_in), odd(True, FLAGS, one_in)))]
    result, exc, bound = call_bound(data, _kalman.ukf_hot_loop, UKF_NAMES, (True, True),
                                    values, wild)

    nz, addr = 2 * ns, values[0]
    wanted = dict(hx=(ns, ns), bx=(ns, ne), gx=(nc, ns), hxx=(ns, ns, ns), gxx=(nc, ns, ns),
                  hss=(ns,), gss=(nc,), steady_state=(ns + nc,), Q=(ne, ne), R=(no, no),
                  z0=(nz,), P0=(nz, nz))
    if exc is not None:
        match, text = check_error(exc), str(exc)
        if text.startswith("ukf_hot_loop requires"):
            assert int(addr) == 0
        elif text.startswith("hx must have at least"):
            assert ns < 1
        elif text.startswith("obs must have at least"):
            assert no < 1 <= ns
        elif match.re.groups:
            name = match.group(1)
            assert extents(model[name], len(wanted[name])) != wanted[name], f"{name} refused"
        if not text.startswith("ukf_hot_loop:") and type(exc) is not np.linalg.LinAlgError:
            return
    assert bound is not None, "binding mistake accepted"
    assert int(addr) == real.address and ns >= 1 and no >= 1  # past the checks
    for name, shape in wanted.items():
        assert extents(model[name], len(shape)) == shape, f"{name} accepted"
    if exc is None:
        hist = extents(model["obs"], 2)[0] if bound[20] else 0
        check_result(result, [(hist, ns)] * 4 + [(hist, ns + nc)] * 2 + [(hist, nz, nz)] * 2 +
                     [(hist, no)] * 4 + [(hist, no, no)])
