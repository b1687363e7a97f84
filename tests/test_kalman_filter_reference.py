"""kalman_filter against independent references: statsmodels' Kalman filter
on random models with random gaps under each start, Durbin and Koopman's Nile
example with observations removed, the diffuse log-likelihood of the Nile
series at the published variances, and SciPy's discrete Lyapunov solver for
the stationary covariance.

Conventions. This library writes x_t = A x_{t-1} + B eps_t and y_t = C x_t +
d + e_t, with x0, P0 the filtered moments of the period before the first
observation under the known and stationary starts. statsmodels uses the same
equations with its initial moments belonging to the first prediction, so the
known start maps to a_1 = A x0, P_1 = A P0 A' + B Q B'; its stationary start
has a_1 = 0 = A 0. The diffuse start is defined on the first prediction in
both (a_1 = x0, P_1 = kappa P_inf + P0)."""

import math
import warnings

import numpy as np
import pytest

from Orvanta.kalman import kalman_filter
from test_kf_reference import nile_flow

sm_kf = pytest.importorskip("statsmodels.tsa.statespace.kalman_filter")
sm_init = pytest.importorskip("statsmodels.tsa.statespace.initialization")
scipy_linalg = pytest.importorskip("scipy.linalg")

NILE_VARIANCES = dict(Q=[[1469.1]], R=[[15099.0]])


def spd(rng, size, scale=1.0):
    G = rng.standard_normal((size, size))
    return scale * (G @ G.T / size + 0.5 * np.eye(size))


def random_model(rng, n, m, k, T, stable):
    """A model with a full (non-diagonal) R; A stable or with unit roots."""
    A = 0.15 * rng.standard_normal((n, n))
    A += np.diag(rng.uniform(0.2, 0.7, n) if stable else rng.choice([1.0, 0.5], n))
    if stable:
        A *= 0.9 / max(1.0, np.abs(np.linalg.eigvals(A)).max())
    return dict(A=A, B=rng.standard_normal((n, k)), C=rng.standard_normal((m, n)),
                d=rng.standard_normal(m), Q=spd(rng, k), R=spd(rng, m, 0.5),
                y=rng.standard_normal((T, m)) * 2.0)


def with_gaps(rng, y, pattern):
    """y with NaN where the pattern says: whole rows, single entries, the
    first period, or one series over a long stretch; 'mixed' has them all."""
    y = y.copy()
    T, m = y.shape
    if pattern in ("rows", "mixed"):
        y[rng.choice(T, size=max(1, T // 6), replace=False)] = np.nan
    if pattern in ("entries", "mixed"):
        y[rng.random((T, m)) < 0.2] = np.nan
    if pattern in ("first", "mixed"):
        y[0] = np.nan
    if pattern in ("stretch", "mixed"):
        start = int(rng.integers(1, T // 2))
        y[start:start + T // 3, int(rng.integers(m))] = np.nan
    return y


def statsmodels_filter(model, a1, P1, diffuse_mask=None):
    """statsmodels' filter of the same model from the first prediction (a1,
    P1); with a mask, the masked states (leading, contiguous) are diffuse
    and the others known with (a1, P1) restricted to them."""
    A, B, C, d, Q, R, y = (np.asarray(model[key], dtype=float)
                           for key in ("A", "B", "C", "d", "Q", "R", "y"))
    n, m, k = A.shape[0], C.shape[0], B.shape[1]
    kf = sm_kf.KalmanFilter(k_endog=m, k_states=n, k_posdef=k)
    kf.bind(y.copy())
    for name, val in (("design", C), ("obs_intercept", d), ("obs_cov", R),
                      ("transition", A), ("selection", B), ("state_cov", Q)):
        kf[name] = val
    kf.tolerance = 0  # never switch to a steady-state gain
    if diffuse_mask is None:
        kf.initialize_known(a1, P1)
    else:
        q = int(np.sum(diffuse_mask))
        assert np.all(diffuse_mask[:q]) and not np.any(diffuse_mask[q:])
        init = sm_init.Initialization(n)
        if q:
            init.set((0, q), "diffuse")
        if q < n:
            init.set((q, n), "known", constant=a1[q:], stationary_cov=P1[q:, q:])
        kf.initialize(init)
    res = kf.filter()
    return res, {
        "loglik_t": res.llf_obs,
        "x_pred": res.predicted_state[:, :-1].T, "x_filt": res.filtered_state.T,
        "P_pred": res.predicted_state_cov[:, :, :-1].transpose(2, 0, 1),
        "P_filt": res.filtered_state_cov.transpose(2, 0, 1)}


def max_rel_diff(got, want):
    """Largest difference relative to the scale of the reference array."""
    got, want = np.asarray(got, float), np.asarray(want, float)
    scale = max(np.abs(want).max(initial=0.0), 1e-300)
    return float(np.abs(got - want).max(initial=0.0) / scale)


def assert_matches(result, want, rtol=1e-9):
    # the log-likelihood and its terms, each to rtol of the total's size
    total = want["loglik_t"].sum()
    assert result.loglik == pytest.approx(total, rel=rtol)
    np.testing.assert_allclose(result.loglik_t, want["loglik_t"], rtol=rtol,
                               atol=rtol * abs(total))
    for key in ("x_pred", "x_filt", "P_pred", "P_filt"):
        assert max_rel_diff(getattr(result, key), want[key]) < rtol, key


def run(model, **kw):
    return kalman_filter(*(model[key] for key in ("A", "B", "C", "d", "Q", "R", "y")), **kw)


PATTERNS = ["none", "rows", "entries", "first", "stretch", "mixed"]


@pytest.mark.parametrize("pattern", PATTERNS)
@pytest.mark.parametrize("seed", range(3))
def test_known_start_with_gaps_matches_statsmodels(seed, pattern):
    rng = np.random.default_rng(1000 + seed)
    n, m = int(rng.integers(1, 6)), int(rng.integers(1, 5))
    k = int(rng.integers(1, min(n, 3) + 1))  # statsmodels wants k <= n
    model = random_model(rng, n, m, k, 40, stable=False)
    model["y"] = with_gaps(rng, model["y"], pattern)
    x0, P0 = rng.standard_normal(n), spd(rng, n)
    A, B, Q = model["A"], model["B"], model["Q"]
    _, want = statsmodels_filter(model, A @ x0, A @ P0 @ A.T + B @ Q @ B.T)
    result = run(model, x0=x0, P0=P0)
    assert_matches(result, want)
    assert result.nobs == int(np.sum(~np.isnan(model["y"]))) and result.diffuse_periods == 0


@pytest.mark.parametrize("pattern", PATTERNS)
@pytest.mark.parametrize("seed", range(3))
def test_stationary_start_with_gaps_matches_statsmodels(seed, pattern):
    rng = np.random.default_rng(2000 + seed)
    n, m = int(rng.integers(1, 6)), int(rng.integers(1, 5))
    k = int(rng.integers(1, min(n, 3) + 1))
    model = random_model(rng, n, m, k, 40, stable=True)
    model["y"] = with_gaps(rng, model["y"], pattern)
    A, B, Q = model["A"], model["B"], model["Q"]
    P = scipy_linalg.solve_discrete_lyapunov(A, B @ Q @ B.T)
    x0 = rng.standard_normal(n)  # the period before: statsmodels starts at A x0
    _, want = statsmodels_filter(model, A @ x0, P)
    assert_matches(run(model, x0=x0, init="stationary"), want)
    # x0 defaults to zeros, statsmodels' own stationary start
    _, want0 = statsmodels_filter(model, np.zeros(n), P)
    assert_matches(run(model, init="stationary"), want0)


@pytest.mark.parametrize("pattern", PATTERNS)
@pytest.mark.parametrize("seed", range(4))
def test_diffuse_start_with_gaps_matches_statsmodels(seed, pattern):
    """Unit roots and stationary states, some of them diffuse; R is not
    diagonal, so the diffuse periods run on transformed observations."""
    rng = np.random.default_rng(3000 + seed)
    n, m = int(rng.integers(2, 6)), int(rng.integers(1, 4))
    k = int(rng.integers(1, min(n, 3) + 1))
    model = random_model(rng, n, m, k, 40, stable=False)
    model["y"] = with_gaps(rng, model["y"], pattern)
    q = int(rng.integers(1, n + 1))  # the first q states are diffuse
    mask = np.arange(n) < q
    x0 = np.where(mask, 0.0, rng.standard_normal(n))
    P0 = np.zeros((n, n))
    P0[q:, q:] = spd(rng, n - q) if q < n else 0.0
    res, want = statsmodels_filter(model, x0, P0, mask)
    result = run(model, x0=x0, P0=P0, init="diffuse", diffuse_states=mask)
    assert result.diffuse_periods == res.nobs_diffuse > 0
    assert_matches(result, want)
    if q == n and not x0.any():  # the defaults: every state diffuse, zero mean and P_*
        assert_matches(run(model, init="diffuse"), want)


def test_diffuse_with_diagonal_R_matches_statsmodels():
    """A diagonal R takes the entries as they are, no transformation."""
    rng = np.random.default_rng(4000)
    model = random_model(rng, 4, 3, 2, 50, stable=False)
    model["R"] = np.diag([0.3, 0.0, 1.2])  # one series without measurement error
    model["y"] = with_gaps(rng, model["y"], "mixed")
    res, want = statsmodels_filter(model, np.zeros(4), np.zeros((4, 4)), np.ones(4, bool))
    result = run(model, init="diffuse")
    assert result.diffuse_periods == res.nobs_diffuse
    assert_matches(result, want)


def singular_R(kind, rng):
    """A positive semidefinite, singular R (m = 2 or 3), and an order of
    the observables in which the zero pivots of its LDL factor come last."""
    G = rng.standard_normal((3, 3))
    if kind == "one error for both":
        return np.ones((2, 2)), [0, 1]
    if kind == "rank two of three":
        return G[:, :2] @ G[:, :2].T, [0, 1, 2]
    R = G @ G.T
    if kind == "the second repeats the first's error":
        R[1], R[:, 1] = R[0], R[:, 0]
    else:  # "no error in the second"
        R[1], R[:, 1] = 0.0, 0.0
    return R, [0, 2, 1]


SINGULAR_KINDS = ["one error for both", "rank two of three",
                  "the second repeats the first's error", "no error in the second"]


@pytest.mark.parametrize("kind", SINGULAR_KINDS)
def test_diffuse_with_singular_R_matches_statsmodels(kind):
    """A singular R: the diffuse periods take its LDL factor, whose zero
    pivots make entries without measurement error. statsmodels' own factor
    divides by a zero pivot that is not last, so it sees the observables
    reordered; the likelihood of each period and the filtered states do not
    depend on their order."""
    rng = np.random.default_rng(4100 + SINGULAR_KINDS.index(kind))
    R, order = singular_R(kind, rng)
    m = R.shape[0]
    model = random_model(rng, 4, m, 2, 40, stable=False)
    model["R"] = R
    model["y"] = with_gaps(rng, model["y"], "mixed")
    reordered = dict(model, C=model["C"][order], d=model["d"][order], R=R[np.ix_(order, order)],
                     y=model["y"][:, order])
    with warnings.catch_warnings():  # about a semidefinite R
        warnings.simplefilter("ignore")
        res, want = statsmodels_filter(reordered, np.zeros(4), np.zeros((4, 4)), np.ones(4, bool))
    result = run(model, init="diffuse")
    assert result.diffuse_periods == res.nobs_diffuse > 0
    assert_matches(result, want)


# ---- the Nile data ----------------------------------------------------------------------

def nile_model(y):
    one = np.ones((1, 1))
    return dict(A=one, B=one, C=one, d=np.zeros(1), y=y.reshape(-1, 1), **NILE_VARIANCES)


def test_nile_with_observations_removed():
    """Durbin and Koopman's example of section 2.7: observations 21-40 and
    61-80 removed from the Nile series, local level at their variances."""
    y = nile_flow()
    y[20:40] = np.nan
    y[60:80] = np.nan
    model = nile_model(y)
    result = run(model, init="diffuse")
    res, want = statsmodels_filter(model, np.zeros(1), np.zeros((1, 1)), np.ones(1, bool))
    assert result.nobs == 60 and result.diffuse_periods == res.nobs_diffuse == 1
    assert_matches(result, want, rtol=1e-10)
    x_filt, P_filt, P_pred = result.x_filt[:, 0], result.P_filt[:, 0, 0], result.P_pred[:, 0, 0]
    # Through a gap the level is carried and its variance grows by sigma2_eta
    # each period; the first gap period predicts from the last observation.
    for gap in (range(20, 40), range(60, 80)):
        assert np.all(x_filt[gap] == x_filt[gap.start - 1])
        np.testing.assert_allclose(P_pred[gap.start], P_filt[gap.start - 1] + 1469.1, rtol=1e-12)
        np.testing.assert_allclose(np.diff(P_pred[gap]), 1469.1, rtol=1e-9)
        np.testing.assert_array_equal(P_filt[gap], P_pred[gap])
        assert np.all(result.loglik_t[gap] == 0.0) and np.all(np.isnan(result.innov[gap]))
        # the nowcast of a missing observation is the predicted level
        np.testing.assert_array_equal(result.y_pred[gap, 0], result.x_pred[gap, 0])


def test_nile_diffuse_loglik_at_the_published_variances():
    model = nile_model(nile_flow())
    result = run(model, init="diffuse")
    assert result.diffuse_periods == 1
    # statsmodels' convention counts -0.5 ln 2 pi for the diffuse observation
    # too; Durbin and Koopman print the figure without it (-632.54; without
    # the constant this gives -632.5457, their variances being rounded).
    assert round(result.loglik, 2) == -633.46
    assert abs(result.loglik + 0.5 * math.log(2 * math.pi) - -632.54) < 0.01
    # the first period contributes only -0.5 (ln 2 pi + ln F_inf), F_inf = 1
    assert result.loglik_t[0] == pytest.approx(-0.5 * math.log(2 * math.pi), rel=1e-15)
    res, want = statsmodels_filter(model, np.zeros(1), np.zeros((1, 1)), np.ones(1, bool))
    assert_matches(result, want, rtol=1e-12)


def test_nile_as_statsmodels_users_meet_it():
    """UnobservedComponents: its default (approximate diffuse, first period
    burnt) is another function of the data; its exact diffuse start is this
    one, and its forecasts are the predictions of periods padded with NaN."""
    uc = pytest.importorskip("statsmodels.tsa.statespace.structural")
    flow, variances, h = nile_flow(), [15099.0, 1469.1], 10
    exact = uc.UnobservedComponents(flow, "llevel", use_exact_diffuse=True)
    default = uc.UnobservedComponents(flow, "llevel")
    padded = run(nile_model(np.concatenate([flow, np.full(h, np.nan)])), init="diffuse")
    assert padded.loglik == pytest.approx(exact.loglike(variances), rel=1e-12)
    assert round(default.loglike(variances), 2) == -632.54 and round(padded.loglik, 2) == -633.46
    forecast = exact.smooth(variances).get_forecast(h)
    np.testing.assert_allclose(padded.y_pred[-h:, 0], forecast.predicted_mean, rtol=1e-12)
    np.testing.assert_allclose(padded.S[-h:, 0, 0], forecast.var_pred_mean, rtol=1e-12)


def test_diffuse_is_the_limit_of_a_large_known_variance():
    """The filtered moments of the exact diffuse start are what a known start
    with P0 -> infinity tends to, and the log-likelihood differs by the
    0.5 ln(kappa) of the diffuse period plus terms that vanish."""
    y = nile_flow().reshape(-1, 1)
    model = nile_model(y[:, 0])
    exact = run(model, init="diffuse")
    for kappa in (1e6, 1e8):
        approx = run(model, x0=np.zeros(1), P0=np.array([[kappa]]), init="diffuse",
                     diffuse_states=[False])
        for key in ("x_filt", "P_filt"):
            # the first update misses R / kappa of the level's variance
            assert max_rel_diff(getattr(approx, key)[1:], getattr(exact, key)[1:]) < 3e4 / kappa
        # the first term carries v^2 / kappa and ln(1 + R / kappa) besides
        vanishing = (y[0, 0] ** 2 + 15099.0) / kappa
        assert abs(approx.loglik + 0.5 * math.log(kappa) - exact.loglik) < vanishing


# ---- the stationary covariance -----------------------------------------------------------

@pytest.mark.parametrize("radius", [0.0, 0.5, 0.95, 0.999])
@pytest.mark.parametrize("n", [1, 3, 8, 12])
def test_stationary_covariance_solves_the_lyapunov_equation(n, radius):
    """P_pred of the first period of a stationary start with x0 = 0 is the
    solution itself (its prediction maps it to itself), compared with
    scipy.linalg.solve_discrete_lyapunov; A includes non-normal ones."""
    rng = np.random.default_rng(int(1000 * radius) + n)
    A = rng.standard_normal((n, n)) + 2.0 * np.triu(rng.standard_normal((n, n)), 1)
    spectral = np.abs(np.linalg.eigvals(A)).max()
    A = A * (radius / spectral) if radius > 0 else np.zeros((n, n))
    B = rng.standard_normal((n, 2))
    Q = spd(rng, 2)
    want = scipy_linalg.solve_discrete_lyapunov(A, B @ Q @ B.T)
    result = kalman_filter(A, B, np.ones((1, n)), np.zeros(1), Q, np.eye(1),
                           np.full((1, 1), np.nan), init="stationary")
    got = result.P_pred[0]
    assert max_rel_diff(got, want) < 1e-9 * max(1.0, 1.0 / (1.0 - radius))
    np.testing.assert_array_equal(got, got.T)
    residual = got - (A @ got @ A.T + B @ Q @ B.T)
    assert np.abs(residual).max() < 1e-10 * np.abs(want).max() / (1.0 - radius)
