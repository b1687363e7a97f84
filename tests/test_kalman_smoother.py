"""kalman_smoother against statsmodels' smoother (random models with random
gaps under the known and stationary starts, and Durbin and Koopman's Nile
example), against the filter it runs, and on the identities a fixed-interval
smoother must satisfy.

Conventions. This library's x0, P0 are the filtered moments of the period
before the first observation, and eps_t enters period t (eps_0 the first).
statsmodels' initial moments belong to its first state and its state
disturbance eta_t moves the state from t to t + 1. Giving statsmodels one
extra, unobserved, first period whose state is x_{-1} ~ N(x0, P0) makes the
two line up: its state t + 1 is our x_t, its disturbance t our eps_t, and its
smoothed state 0 our x0_smooth."""

import numpy as np
import pytest

from Orvanta.kalman import KalmanSmootherResult, kalman_filter, kalman_smoother
from test_kalman_filter_reference import (
    NILE_VARIANCES, PATTERNS, max_rel_diff, random_model, spd, with_gaps)
from test_kf_reference import nile_flow
from _threads import spinner_ticks

sm_ks = pytest.importorskip("statsmodels.tsa.statespace.kalman_smoother")

MODEL_KEYS = ("A", "B", "C", "d", "Q", "R", "y")


def smooth(model, **kw):
    return kalman_smoother(*(model[key] for key in MODEL_KEYS), **kw)


def statsmodels_smoother(model, x0=None, P0=None):
    """statsmodels' smoother on the model with an unobserved period in front,
    started from x_{-1} ~ N(x0, P0), or from the stationary distribution when
    x0 is None; returned in this library's layout."""
    A, B, C, d, Q, R, y = (np.asarray(model[key], dtype=float) for key in MODEL_KEYS)
    n, m, k = A.shape[0], C.shape[0], B.shape[1]
    T = y.shape[0]
    ks = sm_ks.KalmanSmoother(k_endog=m, k_states=n, k_posdef=k)
    ks.bind(np.vstack([np.full((1, m), np.nan), y]))
    for name, val in (("design", C), ("obs_intercept", d), ("obs_cov", R),
                      ("transition", A), ("selection", B), ("state_cov", Q)):
        ks[name] = val
    ks.tolerance = 0  # never switch to a steady-state gain
    if x0 is None:
        ks.initialize_stationary()
    else:
        ks.initialize_known(x0, P0)
    res = ks.smooth()
    return {
        "x_smooth": res.smoothed_state[:, 1:].T,
        "P_smooth": res.smoothed_state_cov[:, :, 1:].transpose(2, 0, 1),
        "eps_smooth": res.smoothed_state_disturbance[:, :T].T,
        "eps_smooth_cov": res.smoothed_state_disturbance_cov[:, :, :T].transpose(2, 0, 1),
        "e_smooth": res.smoothed_measurement_disturbance[:, 1:].T,
        "x0_smooth": res.smoothed_state[:, 0],
        "P0_smooth": res.smoothed_state_cov[:, :, 0],
    }


def smoother_differences(result, want, y):
    """The largest relative difference of each smoothed field; e_smooth on the
    observed entries (and NaN on the others)."""
    observed = ~np.isnan(y)
    assert np.all(np.isnan(result.e_smooth[~observed]))
    diffs = {key: max_rel_diff(getattr(result, key), want[key])
             for key in ("x_smooth", "P_smooth", "eps_smooth", "eps_smooth_cov",
                         "x0_smooth", "P0_smooth")}
    diffs["e_smooth"] = max_rel_diff(result.e_smooth[observed], want["e_smooth"][observed])
    return diffs


def assert_filter_fields_equal(result, model, **kw):
    """The smoother's filter fields are kalman_filter's, bit for bit."""
    filtered = kalman_filter(*(model[key] for key in MODEL_KEYS), **kw)
    assert result.loglik == filtered.loglik and result.nobs == filtered.nobs
    for i, value in enumerate(filtered):
        if isinstance(value, np.ndarray):
            np.testing.assert_array_equal(result[i], value)
        else:
            assert result[i] == value


# ---- against statsmodels -----------------------------------------------------------

@pytest.mark.parametrize("pattern", PATTERNS)
@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("init", ["known", "stationary"])
def test_random_models_with_gaps_match_statsmodels(init, seed, pattern):
    rng = np.random.default_rng((3000 if init == "known" else 4000) + seed)
    n, m = int(rng.integers(1, 6)), int(rng.integers(1, 5))
    k = int(rng.integers(1, min(n, 3) + 1))  # statsmodels wants k <= n
    model = random_model(rng, n, m, k, 40, stable=init == "stationary")
    model["y"] = with_gaps(rng, model["y"], pattern)
    if init == "known":
        x0, P0 = rng.standard_normal(n), spd(rng, n)
        kw = dict(x0=x0, P0=P0)
        want = statsmodels_smoother(model, x0, P0)
    else:
        kw = dict(init="stationary")
        want = statsmodels_smoother(model)
    result = smooth(model, return_shocks=True, **kw)
    assert isinstance(result, KalmanSmootherResult)
    diffs = smoother_differences(result, want, model["y"])
    assert max(diffs.values()) < 1e-9, diffs
    assert_filter_fields_equal(result, model, return_shocks=True, **kw)


def test_nile_smoothed_level_matches_statsmodels():
    """The local level model at Durbin and Koopman's variances, from a known
    start far from the data with a wide variance."""
    y = nile_flow()[:, None]
    model = dict(A=[[1.0]], B=[[1.0]], C=[[1.0]], d=[0.0], y=y, **NILE_VARIANCES)
    x0, P0 = np.array([1000.0]), np.array([[1e5]])
    result = smooth(model, x0=x0, P0=P0)
    want = statsmodels_smoother(model, x0, P0)
    diffs = smoother_differences(result, want, y)
    assert max(diffs.values()) < 1e-9, diffs
    # the smoothed level drops with the dam at Aswan (1899, the 29th year)
    level = result.x_smooth[:, 0]
    assert level[:25].mean() > 1050 and level[30:].mean() < 900


# ---- identities ---------------------------------------------------------------------

@pytest.mark.parametrize("seed", range(4))
def test_last_period_smooths_to_the_filtered_state(seed):
    rng = np.random.default_rng(5000 + seed)
    n, m, k = 3, 2, 2
    model = random_model(rng, n, m, k, 30, stable=True)
    model["y"] = with_gaps(rng, model["y"], "mixed")
    result = smooth(model, init="stationary")
    np.testing.assert_allclose(result.x_smooth[-1], result.x_filt[-1], rtol=1e-12, atol=1e-12)
    np.testing.assert_allclose(result.P_smooth[-1], result.P_filt[-1], rtol=1e-12, atol=1e-12)
    # the state equation holds for the smoothed means: x_t = A x_{t-1} + B eps_t
    A, B = model["A"], model["B"]
    previous = np.vstack([result.x0_smooth, result.x_smooth[:-1]])
    np.testing.assert_allclose(result.x_smooth, previous @ A.T + result.eps_smooth @ B.T,
                               rtol=0, atol=1e-12 * np.abs(result.x_smooth).max())
    # and so does the measurement equation where y is observed
    y, C, d = model["y"], model["C"], model["d"]
    observed = ~np.isnan(y)
    fitted = result.x_smooth @ C.T + d + result.e_smooth
    np.testing.assert_allclose(fitted[observed], y[observed], rtol=0,
                               atol=1e-11 * np.abs(y[observed]).max())


def test_without_shocks_or_initial_uncertainty_smoothing_changes_nothing():
    rng = np.random.default_rng(6)
    model = random_model(rng, 3, 2, 2, 25, stable=False)
    model["Q"] = np.zeros((2, 2))
    model["y"] = with_gaps(rng, model["y"], "entries")
    x0 = rng.standard_normal(3)
    result = smooth(model, x0=x0, P0=np.zeros((3, 3)))
    path = [x0]
    for _ in range(25):
        path.append(model["A"] @ path[-1])
    np.testing.assert_allclose(result.x_smooth, np.array(path[1:]), rtol=1e-13, atol=1e-13)
    np.testing.assert_array_equal(result.x_smooth, result.x_pred)
    assert np.all(result.P_smooth == 0.0) and np.all(result.eps_smooth == 0.0)
    np.testing.assert_array_equal(result.x0_smooth, x0)


def test_smoothing_never_adds_uncertainty():
    rng = np.random.default_rng(7)
    model = random_model(rng, 4, 2, 2, 30, stable=True)
    model["y"] = with_gaps(rng, model["y"], "mixed")
    result = smooth(model, init="stationary")
    for t in range(30):
        assert np.linalg.eigvalsh(result.P_filt[t] - result.P_smooth[t]).min() > -1e-10
        assert np.linalg.eigvalsh(model["Q"] - result.eps_smooth_cov[t]).min() > -1e-10


# ---- sizes that vanish -----------------------------------------------------------------

def test_no_observables_smooths_to_the_prediction():
    rng = np.random.default_rng(8)
    n, k, T = 3, 2, 12
    model = random_model(rng, n, 1, k, T, stable=True)
    model.update(C=np.zeros((0, n)), d=np.zeros(0), R=np.zeros((0, 0)), y=np.zeros((T, 0)))
    x0, P0 = rng.standard_normal(n), spd(rng, n)
    result = smooth(model, x0=x0, P0=P0)
    np.testing.assert_array_equal(result.x_smooth, result.x_pred)
    np.testing.assert_allclose(result.P_smooth, result.P_pred, rtol=1e-14, atol=1e-14)
    assert result.e_smooth.shape == (T, 0) and result.loglik == 0.0
    np.testing.assert_allclose(result.eps_smooth_cov, np.broadcast_to(model["Q"], (T, k, k)),
                               rtol=1e-14, atol=1e-14)
    np.testing.assert_array_equal(result.x0_smooth, x0)


def test_no_shocks_matches_a_shock_with_no_variance():
    rng = np.random.default_rng(9)
    model = random_model(rng, 3, 2, 1, 20, stable=False)
    model["y"] = with_gaps(rng, model["y"], "mixed")
    x0, P0 = rng.standard_normal(3), spd(rng, 3)
    without = dict(model, B=np.zeros((3, 0)), Q=np.zeros((0, 0)))
    silent = dict(model, Q=np.zeros((1, 1)))
    a, b = smooth(without, x0=x0, P0=P0), smooth(silent, x0=x0, P0=P0)
    assert a.eps_smooth.shape == (20, 0) and a.eps_smooth_cov.shape == (20, 0, 0)
    for key in ("x_smooth", "P_smooth", "e_smooth", "x0_smooth", "P0_smooth"):
        np.testing.assert_allclose(getattr(a, key), getattr(b, key), rtol=1e-13, atol=1e-13)


def test_empty_sample():
    rng = np.random.default_rng(10)
    model = random_model(rng, 2, 1, 1, 0, stable=True)
    x0, P0 = rng.standard_normal(2), spd(rng, 2)
    result = smooth(model, x0=x0, P0=P0)
    assert result.x_smooth.shape == (0, 2) and result.P_smooth.shape == (0, 2, 2)
    np.testing.assert_array_equal(result.x0_smooth, x0)
    np.testing.assert_allclose(result.P0_smooth, P0, rtol=1e-15, atol=0)


# ---- errors --------------------------------------------------------------------------

def local_level(y):
    one = np.ones((1, 1))
    return dict(A=one, B=one, C=one, d=np.zeros(1), Q=one, R=one, y=np.asarray(y, float))


def test_refused_calls_say_why():
    model = local_level(np.arange(5.0)[:, None])
    with pytest.raises(ValueError, match="init='known' and init='stationary'"):
        smooth(model, init="diffuse")
    with pytest.raises(ValueError, match="store_history must be true"):
        smooth(model, x0=[0.0], P0=[[1.0]], store_history=False)
    with pytest.raises(ValueError, match="eigenvalue"):
        smooth(model, init="stationary")
    with pytest.raises(TypeError, match="needs x0 and P0"):
        smooth(model)


def test_singular_innovation_covariance_raises():
    model = local_level(np.arange(5.0)[:, None])
    model.update(Q=np.zeros((1, 1)), R=np.zeros((1, 1)))
    with pytest.raises(np.linalg.LinAlgError, match="period 0"):
        smooth(model, x0=[0.0], P0=[[0.0]])


def test_overflowing_model_raises_rather_than_returning_nan():
    # Nothing observed, so the filter factorises nothing and lets the
    # predicted variance overflow; the smoother must not hand back the NaN
    # that the overflow makes of its moments.
    model = dict(A=[[1e200]], B=[[1.0]], C=np.zeros((0, 1)), d=np.zeros(0), Q=[[1.0]],
                 R=np.zeros((0, 0)), y=np.zeros((3, 0)))
    with pytest.raises(ValueError, match="not finite"):
        smooth(model, x0=[1.0], P0=[[1e200]])


def test_result_fields_and_filter_field_order():
    model = local_level(np.arange(4.0)[:, None])
    result = smooth(model, x0=[0.0], P0=[[1.0]])
    filtered = kalman_filter(*(model[key] for key in MODEL_KEYS), x0=[0.0], P0=[[1.0]])
    assert len(result) == 21 and len(filtered) == 14
    assert KalmanSmootherResult.__match_args__[:14] == type(filtered).__match_args__
    assert KalmanSmootherResult.__match_args__[14:] == (
        "x_smooth", "P_smooth", "eps_smooth", "eps_smooth_cov", "e_smooth", "x0_smooth",
        "P0_smooth")
    assert result.eps_hat is None


def test_interpreter_lock_is_released_for_filter_and_smoother():
    rng = np.random.default_rng(11)
    model = random_model(rng, 24, 6, 4, 1500, stable=True)
    model["y"][::3, 1] = np.nan
    during, alone, elapsed = spinner_ticks(lambda: smooth(model, init="stationary"))
    assert during > 0.2 * alone, (during, alone, elapsed)
