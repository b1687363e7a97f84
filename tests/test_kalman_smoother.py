"""kalman_smoother against statsmodels' smoother (random models with random
gaps under each start, and Durbin and Koopman's Nile example), against KFAS's
exact diffuse smoother on small models, against the filter it runs, against
a wide known start for the exact diffuse smoother, and on the identities a
fixed-interval smoother must satisfy.

Conventions. This library's x0, P0 are the filtered moments of the period
before the first observation, and eps_t enters period t (eps_0 the first).
statsmodels' initial moments belong to its first state and its state
disturbance eta_t moves the state from t to t + 1. Giving statsmodels one
extra, unobserved, first period whose state is x_{-1} ~ N(x0, P0) makes the
two line up: its state t + 1 is our x_t, its disturbance t our eps_t, and its
smoothed state 0 our x0_smooth. Under the diffuse start both describe the
first prediction, so no period is added: its disturbance t is our eps_{t+1},
and eps_0 is not defined."""

import os
import warnings

import numpy as np
import pytest

from Orvanta.kalman import KalmanSmootherResult, kalman_filter, kalman_smoother
from test_kalman_filter_reference import (
    NILE_VARIANCES, PATTERNS, SINGULAR_KINDS, max_rel_diff, random_model, singular_R, spd,
    with_gaps)
from test_kf_reference import nile_flow
from _threads import spinner_ticks

sm_ks = pytest.importorskip("statsmodels.tsa.statespace.kalman_smoother")
sm_init = pytest.importorskip("statsmodels.tsa.statespace.initialization")

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


# ---- the exact diffuse start ------------------------------------------------------------

def statsmodels_diffuse_smoother(model, q, P0, univariate=False):
    """statsmodels' smoother from the first prediction, its leading q states
    diffuse and the others known, N(0, P0) (P0 zero against the diffuse
    ones); returned in this library's layout, with its filter's F_inf."""
    A, B, C, d, Q, R, y = (np.asarray(model[key], dtype=float) for key in MODEL_KEYS)
    n, m, k = A.shape[0], C.shape[0], B.shape[1]
    T = y.shape[0]
    ks = sm_ks.KalmanSmoother(k_endog=m, k_states=n, k_posdef=k)
    ks.bind(y.copy())
    for name, val in (("design", C), ("obs_intercept", d), ("obs_cov", R),
                      ("transition", A), ("selection", B), ("state_cov", Q)):
        ks[name] = val
    ks.tolerance = 0
    ks.filter_univariate = univariate
    init = sm_init.Initialization(n)
    init.set((0, q), "diffuse")
    if q < n:
        init.set((q, n), "known", constant=np.zeros(n - q), stationary_cov=P0[q:, q:])
    ks.initialize(init)
    with warnings.catch_warnings():  # about the transformed disturbances' covariance
        warnings.simplefilter("ignore")
        res = ks.smooth()
    nan_row = np.full((1, k), np.nan)
    return res, {
        "x_smooth": res.smoothed_state.T,
        "P_smooth": res.smoothed_state_cov.transpose(2, 0, 1),
        "eps_smooth": np.vstack([nan_row, res.smoothed_state_disturbance[:, :T - 1].T]),
        "eps_smooth_cov": np.concatenate(
            [np.full((1, k, k), np.nan),
             res.smoothed_state_disturbance_cov[:, :, :T - 1].transpose(2, 0, 1)]),
        "e_smooth": res.smoothed_measurement_disturbance.T,
    }


def smallest_diffuse_variance(res):
    """The smallest F_inf of an entry that took the diffuse update. The exact
    diffuse recursions divide by F_inf twice: when it is small, any two
    implementations lose digits to rounding, whoever computes them."""
    F_inf = [np.diag(res.forecasts_error_diffuse_cov[:, :, t]) for t in range(res.nobs_diffuse)]
    values = np.concatenate(F_inf) if F_inf else np.zeros(0)
    return values[values > 1e-10].min(initial=np.inf)


def diffuse_case(rng, pattern, partial):
    """A random model with unit roots and gaps, and the mask and P0 of a
    diffuse start, drawn again until the diffuse phase is well conditioned."""
    for _ in range(50):
        n, m = int(rng.integers(1, 6)), int(rng.integers(1, 5))
        k = int(rng.integers(1, min(n, 3) + 1))
        model = random_model(rng, n, m, k, 40, stable=False)
        model["y"] = with_gaps(rng, model["y"], pattern)
        q = int(rng.integers(1, n + 1)) if partial else n
        P0 = np.zeros((n, n))
        P0[q:, q:] = spd(rng, n - q)
        res, want = statsmodels_diffuse_smoother(model, q, P0)
        if smallest_diffuse_variance(res) > 1e-3:
            return model, q, P0, want
    raise AssertionError("no well-conditioned draw")


def diffuse_differences(result, want, y):
    """smoother_differences under the diffuse start, where eps_0 is not
    defined and there is no period before the first to smooth."""
    observed = ~np.isnan(y)
    assert np.all(np.isnan(result.e_smooth[~observed]))
    diffs = {key: max_rel_diff(getattr(result, key)[1:], want[key][1:])
             for key in ("eps_smooth", "eps_smooth_cov")}
    diffs.update({key: max_rel_diff(getattr(result, key), want[key])
                  for key in ("x_smooth", "P_smooth")})
    diffs["e_smooth"] = max_rel_diff(result.e_smooth[observed], want["e_smooth"][observed])
    return diffs


def diffuse_kwargs(q, P0):
    n = P0.shape[0]
    return dict(init="diffuse", diffuse_states=np.arange(n) < q, P0=P0)


@pytest.mark.parametrize("pattern", PATTERNS)
@pytest.mark.parametrize("seed", range(3))
def test_diffuse_start_matches_statsmodels(seed, pattern):
    rng = np.random.default_rng(7000 + seed)
    model, q, P0, want = diffuse_case(rng, pattern, partial=seed == 2)
    kw = diffuse_kwargs(q, P0)
    result = smooth(model, return_shocks=True, **kw)
    assert result.diffuse_periods > 0
    assert result.x0_smooth is None and result.P0_smooth is None
    assert np.all(np.isnan(result.eps_smooth[0])) and np.all(np.isnan(result.eps_smooth_cov[0]))
    diffs = diffuse_differences(result, want, model["y"])
    assert max(diffs.values()) < 1e-9, diffs
    assert_filter_fields_equal(result, model, return_shocks=True, **kw)


def test_long_diffuse_phase_matches_statsmodels():
    """A diffuse phase of many periods (the first ones missing, one series
    for five states): the record of the diffuse periods grows several times
    while the filter runs them."""
    rng = np.random.default_rng(7200)
    for _ in range(50):
        model = random_model(rng, 5, 1, 2, 60, stable=False)
        model["y"][:12] = np.nan
        model["y"][rng.random(60) < 0.2] = np.nan
        res, want = statsmodels_diffuse_smoother(model, 5, np.zeros((5, 5)))
        if smallest_diffuse_variance(res) > 1e-3:
            break
    result = smooth(model, return_shocks=True, init="diffuse")
    assert result.diffuse_periods > 12
    diffs = diffuse_differences(result, want, model["y"])
    assert max(diffs.values()) < 1e-9, diffs


# Small models with an exact diffuse start, smoothed by KFAS (the R package of
# Helske, which implements Durbin and Koopman's exact initial smoother); its
# results ship with statsmodels' tests, one row per period and a last row of
# forecasts. The matrices' columns hold sums of all their elements.
KFAS_MODELS = {
    "local_level": dict(
        A=[[1.0]], B=[[1.0]], C=[[1.0]], d=[0.0], Q=[[8.253]], R=[[1.993]],
        y=np.r_[10.2394, [1.0] * 9][:, None]),
    "local_linear_trend": dict(
        A=[[1.0, 1.0], [0.0, 1.0]], B=np.eye(2), C=[[1.0, 0.0]], d=[0.0],
        Q=np.diag([8.253, 2.334]), R=[[1.993]],
        y=np.r_[10.2394, 4.2039, 6.123123, [1.0] * 7][:, None]),
    "local_linear_trend_missing": dict(
        A=[[1.0, 1.0], [0.0, 1.0]], B=np.eye(2), C=[[1.0, 0.0]], d=[0.0],
        Q=np.diag([8.253, 2.334]), R=[[1.993]],
        y=np.r_[10.2394, np.nan, 6.123123, [1.0] * 7][:, None]),
    "common_level": dict(
        A=np.eye(2), B=[[1.0], [0.0]], C=[[1.0, 0.0], [0.1111, 1.0]], d=[0.0, 0.0],
        Q=[[3.2324]], R=np.eye(2),
        y=np.column_stack([np.r_[10.2394, [1.0] * 9], np.r_[8.2304, [1.0] * 9]])),
}


def kfas_results(name):
    import statsmodels.tsa.statespace.tests as sm_tests
    path = os.path.join(os.path.dirname(sm_tests.__file__), "results",
                        f"results_exact_initial_{name}_R.csv")
    if not os.path.exists(path):
        pytest.skip(f"statsmodels ships without {os.path.basename(path)}")
    with open(path) as f:
        header = [column.strip('"') for column in f.readline().strip().split(",")]
        rows = [[float("nan") if v == "NA" else float(v) for v in line.strip().split(",")]
                for line in f if line.strip()]
    return dict(zip(header, np.array(rows).T))


@pytest.mark.parametrize("name", sorted(KFAS_MODELS))
def test_diffuse_start_matches_kfas(name):
    model = {key: np.asarray(value, float) for key, value in KFAS_MODELS[name].items()}
    T = model["y"].shape[0]
    want = {key: column[:T] for key, column in kfas_results(name).items()}  # then a forecast
    result = smooth(model, init="diffuse")
    n, m, k = model["A"].shape[0], model["C"].shape[0], model["B"].shape[1]
    observed = ~np.isnan(model["y"])
    pairs = [(result.x_smooth[:, i], want[f"alphahat_{i + 1}"]) for i in range(n)]
    pairs.append((result.P_smooth.sum(axis=(1, 2)), want["sumV"]))
    # KFAS's eta_t moves the state from t to t + 1: our eps_{t+1}
    pairs += [(result.eps_smooth[1:, i], want[f"etahat_{i + 1}" if k > 1 else "etahat_1"][:-1])
              for i in range(k)]
    pairs.append((result.eps_smooth_cov[1:].sum(axis=(1, 2)), want["sumVeta"][:-1]))
    pairs += [(result.e_smooth[observed[:, i], i], want[f"epshat_{i + 1}"][observed[:, i]])
              for i in range(m)]
    diffs = [max_rel_diff(got, expected) for got, expected in pairs]
    assert max(diffs) < 1e-9, diffs


def test_statsmodels_univariate_filtering_changes_nothing_under_the_diffuse_start():
    """statsmodels runs its diffuse periods one entry at a time whether or not
    it filters univariately afterwards; the smoothed moments agree with both."""
    rng = np.random.default_rng(7100)
    model, q, P0, want = diffuse_case(rng, "mixed", partial=False)
    result = smooth(model, **diffuse_kwargs(q, P0))
    _, univariate = statsmodels_diffuse_smoother(model, q, P0, univariate=True)
    for other in (want, univariate):
        assert max_rel_diff(result.x_smooth, other["x_smooth"]) < 1e-9
        assert max_rel_diff(result.P_smooth, other["P_smooth"]) < 1e-9


@pytest.mark.parametrize("kind", SINGULAR_KINDS)
def test_diffuse_start_with_singular_R_matches_statsmodels(kind):
    """The backward pass through entries of zero measurement variance (the
    zero pivots of R's LDL factor), against statsmodels on the observables
    reordered as its factor needs them (the measurement errors ordered back)."""
    rng = np.random.default_rng(7300 + SINGULAR_KINDS.index(kind))
    R, order = singular_R(kind, rng)
    model = random_model(rng, 3, R.shape[0], 2, 30, stable=False)
    model.update(R=R, y=with_gaps(rng, model["y"], "entries"))
    reordered = dict(model, C=model["C"][order], d=model["d"][order], R=R[np.ix_(order, order)],
                     y=model["y"][:, order])
    res, want = statsmodels_diffuse_smoother(reordered, 3, np.zeros((3, 3)))
    assert smallest_diffuse_variance(res) > 1e-3
    want["e_smooth"] = want["e_smooth"][:, np.argsort(order)]
    result = smooth(model, return_shocks=True, init="diffuse")
    diffs = diffuse_differences(result, want, model["y"])
    assert max(diffs.values()) < 1e-9, diffs


def test_diffuse_start_is_the_limit_of_wide_known_starts():
    """The exact diffuse smoother is the limit of the ordinary one from
    N(x0, kappa I) as kappa grows; its error falls as 1 / kappa, so two wide
    starts extrapolate to the limit (Richardson). At kappa = 1e5 the wide
    start is off by about 1e-4; the extrapolation comes within 1e-6 of the
    exact one (wider starts lose more to rounding than they gain)."""
    rng = np.random.default_rng(7200)
    model, q, P0, _ = diffuse_case(rng, "mixed", partial=False)
    n = P0.shape[0]
    exact = smooth(model, init="diffuse")
    wide = [smooth(model, init="diffuse", diffuse_states=np.zeros(n), P0=kappa * np.eye(n))
            for kappa in (1e4, 1e5)]
    assert wide[0].diffuse_periods == 0
    for key in ("x_smooth", "P_smooth", "e_smooth"):
        limit = (10.0 * getattr(wide[1], key) - getattr(wide[0], key)) / 9.0
        observed = ~np.isnan(limit)
        assert max_rel_diff(getattr(exact, key)[observed], limit[observed]) < 1e-6, key
    limit = (10.0 * wide[1].eps_smooth[1:] - wide[0].eps_smooth[1:]) / 9.0
    assert max_rel_diff(exact.eps_smooth[1:], limit) < 1e-6


def test_nile_diffuse_smoother():
    """Durbin and Koopman's local level model of the Nile, exact diffuse
    start, at their variances: statsmodels' smoothed level and disturbances,
    and the model's own identities y_t = mu_t + e_t, mu_t = mu_{t-1} + eta_t
    for the smoothed means."""
    y = nile_flow()[:, None]
    model = dict(A=[[1.0]], B=[[1.0]], C=[[1.0]], d=[0.0], y=y, **NILE_VARIANCES)
    result = smooth(model, init="diffuse")
    assert result.diffuse_periods == 1
    _, want = statsmodels_diffuse_smoother(model, 1, np.zeros((1, 1)))
    for key in ("x_smooth", "P_smooth", "e_smooth"):
        assert max_rel_diff(getattr(result, key), want[key]) < 1e-9, key
    for key in ("eps_smooth", "eps_smooth_cov"):
        assert max_rel_diff(getattr(result, key)[1:], want[key][1:]) < 1e-9, key
    level = result.x_smooth[:, 0]
    np.testing.assert_allclose(result.e_smooth[:, 0], y[:, 0] - level, rtol=0, atol=1e-9)
    np.testing.assert_allclose(result.eps_smooth[1:, 0], np.diff(level), rtol=0, atol=1e-9)
    # the level's variance is largest at the ends of the sample, where fewer
    # observations surround it
    var = result.P_smooth[:, 0, 0]
    assert var[0] > var[50] < var[-1]
    assert var[-1] == pytest.approx(result.P_filt[-1, 0, 0], rel=1e-12)


def test_em_on_the_nile_reaches_the_published_estimates():
    """The EM algorithm's step for the local level model is made of smoothed
    moments alone: each variance becomes the mean of its smoothed
    disturbance's square plus its smoothed variance (the level's own for the
    measurement error, y_t - mu_t). Its fixed point is the maximum of the
    diffuse likelihood, which Durbin and Koopman give as 15099 and 1469.1.
    Iterated from far off, it must reach them to the precision they are
    printed in (their level variance is 5e-5 below the maximum found here),
    which it cannot with a wrong mean or a wrong variance anywhere in the
    sample."""
    y = nile_flow()[:, None]
    one, zero = np.ones((1, 1)), np.zeros(1)
    r, q = 20000.0, 1000.0
    for _ in range(1000):
        s = kalman_smoother(one, one, one, zero, [[q]], [[r]], y, init="diffuse")
        r = np.mean(s.e_smooth[:, 0] ** 2 + s.P_smooth[:, 0, 0])
        # the first level is diffuse and has no shock of its own
        q = np.mean(s.eps_smooth[1:, 0] ** 2 + s.eps_smooth_cov[1:, 0, 0])
    assert r == pytest.approx(15099.0, rel=1e-4)
    assert q == pytest.approx(1469.1, rel=1e-4)


# ---- identities ---------------------------------------------------------------------

@pytest.mark.parametrize("init", ["stationary", "diffuse"])
@pytest.mark.parametrize("seed", range(3))
def test_last_period_smooths_to_the_filtered_state(seed, init):
    rng = np.random.default_rng(5000 + seed)
    n, m, k = 3, 2, 2
    model = random_model(rng, n, m, k, 30, stable=True)
    model["y"] = with_gaps(rng, model["y"], "mixed")
    result = smooth(model, init=init)
    np.testing.assert_allclose(result.x_smooth[-1], result.x_filt[-1], rtol=1e-12, atol=1e-12)
    np.testing.assert_allclose(result.P_smooth[-1], result.P_filt[-1], rtol=1e-12, atol=1e-12)
    # the state equation holds for the smoothed means: x_t = A x_{t-1} + B eps_t
    # (from the period before the first, or under the diffuse start from the
    # first, which has no shock of its own)
    A, B = model["A"], model["B"]
    if init == "diffuse":
        states, previous, shocks = result.x_smooth[1:], result.x_smooth[:-1], result.eps_smooth[1:]
    else:
        states, shocks = result.x_smooth, result.eps_smooth
        previous = np.vstack([result.x0_smooth, result.x_smooth[:-1]])
    np.testing.assert_allclose(states, previous @ A.T + shocks @ B.T,
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
