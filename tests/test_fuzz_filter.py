"""kalman_filter and kalman_smoother called with operands drawn from wide
strategies (the variants of test_fuzz_entries: wrong extents, ranks and
dtypes, other layouts and exporters, non-finite values) and with gaps,
starts and masks of every kind. Every call returns a KalmanFilterResult (or
KalmanSmootherResult) whose operands really fitted, with arrays of the
documented shapes and no NaN where a value is defined, or raises a
documented exception with a message of the documented form."""

import re

import numpy as np
import pytest
from hypothesis import event, given, strategies as st

from Orvanta._ckernels.kalman import _kalman
from test_fuzz_entries import ANY, DISAGREE, FUZZ, mutate, spd

MESSAGES = {  # full-match patterns
    TypeError: [r"\w+ must be a real array, not None\.",
                r"\w+ must hold real numbers; got an array of dtype .+\.",
                r"\w+ could not be converted to a float64 array: .+",
                r"init='known' needs x0 and P0, .+ missing\."],
    ValueError: [r"\w+ must have shape \([\w, ]*\)( = \([\d, k]*\))?; got .+\.( .+)?",
                 r"\w+\[[\d, ]+\] is (nan|inf|-inf); the model's arrays \(A, B, C, d, Q, R, "
                 r"x0, P0\) must hold finite values\.",
                 r"jitter must be a finite number of at least 0; got .+\.",
                 r"kalman_(filter|smoother): the log-likelihood is not finite \(.+\) though "
                 r"every input is; the model is too badly conditioned to evaluate\.",
                 r"y must have shape \(T, m\) with m = \d+, the rows of C; got \(\d+, \d+\), "
                 r"which looks transposed: pass y\.T\.",
                 DISAGREE,
                 r"\w+ could not be converted to a float64 array: .+",
                 r"y\[\d+, \d+\] is infinite; y may hold finite values, and NaN where a "
                 r"value is missing\.",
                 r"init must be 'known', 'stationary' or 'diffuse'; got .+\.",
                 r"init='stationary' needs every eigenvalue of A strictly inside the unit "
                 r"circle; A has one on or outside it\.",
                 r"P0 must be None with init='stationary'.+",
                 r"diffuse_states is used only with init='diffuse'\.",
                 r"diffuse_states must hold 0/1 or booleans, one per state; got .+ at index "
                 r"\d+\."],
    np.linalg.LinAlgError: [r"Innovation covariance is not positive definite \(period \d+\)\."],
    MemoryError: [r"Unable to allocate .*",
                  r"kalman_(filter|smoother): scratch allocation failed\."],
}
SMOOTHER_MESSAGES = {
    ValueError: [r"kalman_smoother needs the filter's history; store_history must be true\.",
                 r"kalman_smoother: a smoothed value is not finite; the model is too badly "
                 r"conditioned to smooth\."],
}
KEYS = ("A", "B", "C", "d", "Q", "R", "y", "x0", "P0")


def check_error(exc, extra=None):
    event(type(exc).__name__)
    kind = next((t for t in MESSAGES if type(exc) is t), None)
    assert kind is not None, f"undocumented {type(exc).__name__}: {exc}"
    patterns = MESSAGES[kind] + (extra or {}).get(kind, [])
    assert any(re.fullmatch(p, str(exc), re.S) for p in patterns), \
        f"{type(exc).__name__} with an unexpected message: {exc}"


def draw_call(data):
    """A model, possibly mutated, and the keyword arguments of one call."""
    rng = np.random.default_rng(data.draw(st.integers(0, 2**32 - 1)))
    n, m, k, T = (data.draw(st.integers(lo, hi)) for lo, hi in ((0, 4), (0, 3), (0, 3), (0, 6)))
    y = rng.normal(size=(T, m))
    y[rng.random((T, m)) < data.draw(st.sampled_from([0.0, 0.3, 1.0]))] = np.nan
    model = dict(A=0.5 * rng.normal(size=(n, n)) / max(n, 1), B=rng.normal(size=(n, k)),
                 C=rng.normal(size=(m, n)), d=rng.normal(size=m), Q=spd(rng, k),
                 R=spd(rng, m), y=y, x0=rng.normal(size=n), P0=spd(rng, n))
    model = mutate(data, model, data.draw(st.integers(0, 2)), ANY)
    init = data.draw(st.sampled_from(["known", "stationary", "diffuse", "other"]))
    kwargs = {"init": init}
    for name in ("x0", "P0"):
        if data.draw(st.booleans()):
            kwargs[name] = model[name]
    if data.draw(st.integers(0, 3)) == 0:
        kwargs["diffuse_states"] = data.draw(st.sampled_from(
            [np.ones(n, bool), np.arange(n) % 2, np.full(n, 0.5), np.ones(n + 1), [1j] * n]))
    flags = dict(symmetrize=data.draw(st.booleans()), return_shocks=data.draw(st.booleans()),
                 store_history=data.draw(st.booleans()),
                 jitter=data.draw(st.sampled_from([0.0, 1e-9, np.nan])))
    return model, kwargs, flags


def check_fitted(result, model, kwargs):
    """Every operand that reached the loop fitted the sizes of A, B and y;
    returns (n, m, k, T)."""
    shape = {key: np.shape(np.asarray(value)) for key, value in
             [(key, model[key]) for key in KEYS[:7]] + list(kwargs.items())
             if key in KEYS and value is not None}  # None: x0 or P0 left to the start
    n, k = shape["B"]
    T, m = shape["y"]
    assert shape["A"] == (n, n) and shape["C"] == (m, n) and shape["d"] == (m,)
    assert shape["Q"] == (k, k) and shape["R"] == (m, m)
    assert shape.get("x0", (n,)) == (n,) and shape.get("P0", (n, n)) == (n, n)
    assert type(result.loglik) is float and np.isfinite(result.loglik)
    assert result.loglik_t.shape == (T,) and 0 <= result.diffuse_periods <= T
    assert result.nobs == int(np.sum(~np.isnan(np.asarray(model["y"], dtype=float))))
    return n, m, k, T


# The shared variants cast non-finite values to integers now and then.
@pytest.mark.filterwarnings("ignore:invalid value encountered in cast:RuntimeWarning")
@FUZZ
@given(st.data())
def test_kalman_filter_returns_a_fitting_result_or_a_documented_error(data):
    model, kwargs, flags = draw_call(data)
    try:
        result = _kalman.kalman_filter(*(model[key] for key in KEYS[:7]), **kwargs, **flags)
    except Exception as exc:  # judged here
        check_error(exc)
        return
    event("result")
    assert type(result) is _kalman.KalmanFilterResult
    n, m, k, T = check_fitted(result, model, kwargs)
    stored = flags["store_history"]
    assert (result.x_filt is None) != stored and (result.S is None) != stored
    if stored:
        assert result.x_filt.shape == (T, n) and result.S.shape == (T, m, m)
        assert (result.eps_hat is None) != flags["return_shocks"]


@pytest.mark.filterwarnings("ignore:invalid value encountered in cast:RuntimeWarning")
@FUZZ
@given(st.data())
def test_kalman_smoother_returns_a_finite_fitting_result_or_a_documented_error(data):
    model, kwargs, flags = draw_call(data)
    try:
        result = _kalman.kalman_smoother(*(model[key] for key in KEYS[:7]), **kwargs, **flags)
    except Exception as exc:  # judged here
        check_error(exc, SMOOTHER_MESSAGES)
        return
    event("result")
    assert type(result) is _kalman.KalmanSmootherResult
    n, m, k, T = check_fitted(result, model, kwargs)
    assert flags["store_history"]
    assert result.x_smooth.shape == (T, n) and result.P_smooth.shape == (T, n, n)
    assert result.eps_smooth.shape == (T, k) and result.eps_smooth_cov.shape == (T, k, k)
    assert result.e_smooth.shape == (T, m)
    # NaN only where a value is not defined: missing y, and the first shock
    # under the diffuse start
    assert np.all(np.isfinite(result.x_smooth)) and np.all(np.isfinite(result.P_smooth))
    y = np.asarray(model["y"], dtype=float)
    assert np.array_equal(np.isnan(result.e_smooth), np.isnan(y))
    diffuse = kwargs["init"] == "diffuse"
    first = 1 if diffuse else 0
    assert np.all(np.isfinite(result.eps_smooth[first:]))
    assert np.all(np.isfinite(result.eps_smooth_cov[first:]))
    if diffuse:
        assert result.x0_smooth is None and result.P0_smooth is None
        assert T == 0 or k == 0 or np.all(np.isnan(result.eps_smooth[0]))
    else:
        assert result.x0_smooth.shape == (n,) and np.all(np.isfinite(result.P0_smooth))
