"""kalman_loglik_batch called with operands drawn from wide strategies (the
variants of test_fuzz_entries: wrong extents, ranks and dtypes, other
layouts and exporters, non-finite values), shared or with draws, with gaps,
either start and any threads. Every call returns one value and one status per
draw, of operands that really fitted, or raises a documented exception with a
message of the documented form; none crashes."""

import re

import numpy as np
import pytest
from hypothesis import event, given, strategies as st

from Orvanta._ckernels.kalman import _kalman
from test_fuzz_entries import ANY, DISAGREE, FUZZ, mutate, spd

SHAPE = r"\w+ must have shape \([\w, ]*\)( = \([\d, k]*\))?, or \([\w, ]*\) for one per draw; got .+\."
MESSAGES = {  # full-match patterns
    TypeError: [r"\w+ must be a real array, not None\.",
                r"\w+ must hold real numbers; got an array of dtype .+\.",
                r"\w+ could not be converted to a float64 array: .+",
                r"init='known' needs x0 and P0, .+ missing\.",
                r"init must be 'known' or 'stationary'; got .+\.",
                r"threads must be an integer; got \w+\."],
    ValueError: [SHAPE + r"( One series is a column: y\[:, None\]\.)?", DISAGREE,
                 r"\w+\[[\d, ]+\] is (nan|inf|-inf); the model's arrays \(A, B, C, d, Q, R, "
                 r"x0, P0\) must hold finite values\.",
                 r"jitter must be a finite number of at least 0; got .+\.",
                 r"\w+ has \d+ draws on its leading axis, but \w+ has \d+; every argument "
                 r"with one per draw must have the same number\.",
                 r"\w+ could not be converted to a float64 array: .+",
                 r"y\[\d+(, \d+)?, \d+\] is infinite; y may hold finite values, and NaN where "
                 r"a value is missing\.",
                 r"init must be 'known' or 'stationary'; got .+\.",
                 r"threads must be at least 1; got .+\.",
                 r"P0 must be None with init='stationary'.+"],
    MemoryError: [r"Unable to allocate .*", r"kalman_loglik_batch: scratch allocation failed\."],
}
KEYS = ("A", "B", "C", "d", "Q", "R", "y", "x0", "P0")


def check_error(exc):
    event(type(exc).__name__)
    kind = next((t for t in MESSAGES if type(exc) is t), None)
    assert kind is not None, f"undocumented {type(exc).__name__}: {exc}"
    assert any(re.fullmatch(p, str(exc), re.S) for p in MESSAGES[kind]), \
        f"{type(exc).__name__} with an unexpected message: {exc}"


def spd_draws(rng, N, size):
    return np.array([spd(rng, size) for _ in range(N)]).reshape(N, size, size)


@pytest.mark.filterwarnings("ignore:invalid value encountered in cast:RuntimeWarning")
@FUZZ
@given(st.data())
def test_kalman_loglik_batch_returns_one_result_per_draw_or_a_documented_error(data):
    rng = np.random.default_rng(data.draw(st.integers(0, 2**32 - 1)))
    n, m, k, T, N = (data.draw(st.integers(lo, hi))
                     for lo, hi in ((0, 4), (0, 3), (0, 3), (0, 6), (0, 5)))
    y = rng.normal(size=(N, T, m))
    y[rng.random((N, T, m)) < data.draw(st.sampled_from([0.0, 0.3, 1.0]))] = np.nan
    model = dict(A=0.5 * rng.normal(size=(N, n, n)) / max(n, 1), B=rng.normal(size=(N, n, k)),
                 C=rng.normal(size=(N, m, n)), d=rng.normal(size=(N, m)),
                 Q=spd_draws(rng, N, k), R=spd_draws(rng, N, m), y=y,
                 x0=rng.normal(size=(N, n)), P0=spd_draws(rng, N, n))
    for key in KEYS:  # each argument shared (draw 0's) or one per draw
        if N and data.draw(st.booleans()):
            model[key] = np.ascontiguousarray(model[key][0])
    model = mutate(data, model, data.draw(st.integers(0, 2)), ANY)
    kwargs = dict(init=data.draw(st.sampled_from(["known"] * 3 + ["stationary"] * 3 +
                                                 ["diffuse"])),
                  threads=data.draw(st.sampled_from([1, 2, 3] * 3 + [0, -1, 2**80, 1.0])),
                  symmetrize=data.draw(st.booleans()),
                  jitter=data.draw(st.sampled_from([0.0, 1e-9, np.nan])))
    for name in ("x0", "P0"):
        if data.draw(st.integers(0, 3)) > 0 and not (name == "P0" and kwargs["init"] ==
                                                     "stationary"):
            kwargs[name] = model[name]
    try:
        result = _kalman.kalman_loglik_batch(*(model[key] for key in KEYS[:7]), **kwargs)
    except Exception as exc:  # judged here
        check_error(exc)
        return
    event("result")
    # Every operand that reached the loop fitted the sizes of A, B and y,
    # shared or with one leading axis of the same number of draws.
    given = {key: np.shape(np.asarray(kwargs.get(key, model[key])))
             for key in KEYS if kwargs.get(key, model[key] if key in KEYS[:7] else None)
             is not None}
    n, k, (T, m) = given["A"][-1], given["B"][-1], given["y"][-2:]
    base = dict(A=(n, n), B=(n, k), C=(m, n), d=(m,), Q=(k, k), R=(m, m), y=(T, m), x0=(n,),
                P0=(n, n))
    leading = set()
    for key, shape in given.items():
        assert shape[len(shape) - len(base[key]):] == base[key], key
        assert len(shape) - len(base[key]) in (0, 1), key
        if len(shape) > len(base[key]):
            leading.add(shape[0])
    assert len(leading) <= 1
    draws = leading.pop() if leading else 1
    assert result.loglik.shape == result.status.shape == (draws,)
    # -8 and -9: a log-likelihood that overflowed, a draw's own values not finite
    assert set(np.unique(result.status)) <= {0, -3, -4, -8, -9}
    assert np.isneginf(result.loglik[result.status != 0]).all()
    assert np.isfinite(result.loglik[result.status == 0]).all()
