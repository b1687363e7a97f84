"""kalman_filter's and kalman_loglik_batch's steady state (steady_state_tol):
where it freezes, what the frozen periods compute, how a missing value
leaves it, and that 0 leaves every bit of the full recursion."""

import numpy as np
import pytest

import Orvanta._ckernels.kalman._kalman as K
from test_kalman_filter import HISTORY, MODEL_KEYS, hot_loop, same_bits

LOG_2PI = np.log(2 * np.pi)


def stable_model(n, m, k, T, seed=0):
    """A model whose predicted covariance settles well within T periods."""
    rng = np.random.default_rng(seed)
    A = rng.standard_normal((n, n))
    A *= 0.8 / max(abs(np.linalg.eigvals(A)))
    G = rng.standard_normal((m, m))
    return dict(A=A, B=rng.standard_normal((n, k)), C=rng.standard_normal((m, n)),
                d=rng.standard_normal(m), Q=np.eye(k), R=G @ G.T / m + 0.5 * np.eye(m),
                y=rng.standard_normal((T, m)), x0=rng.standard_normal(n), P0=np.eye(n))


def run(mdl, **kw):
    return K.kalman_filter(*(mdl[key] for key in MODEL_KEYS), mdl["x0"], mdl["P0"],
                           return_shocks=True, **kw)


def first_settled(P_pred, tol, after=0):
    """The first period t > after whose predicted covariance differs from
    period t - 1's by less than tol in every entry (the README's criterion)."""
    return next(t for t in range(after + 1, len(P_pred))
                if np.max(np.abs(P_pred[t] - P_pred[t - 1])) < tol)


@pytest.mark.parametrize("n, m, k", [(2, 1, 1), (4, 2, 2), (10, 3, 3), (20, 5, 5)])
def test_zero_or_a_tolerance_never_met_leaves_every_bit_of_the_full_recursion(n, m, k):
    mdl = stable_model(n, m, k, 60)
    full = hot_loop(mdl)
    for tol in (0.0, 1e-300):
        got = run(mdl, steady_state_tol=tol)
        assert same_bits(got.loglik, full[-1])
        assert all(same_bits(getattr(got, name), value) for name, value in zip(HISTORY, full))


@pytest.mark.parametrize("n, m, k", [(3, 2, 2), (8, 3, 2), (12, 5, 3)])
@pytest.mark.parametrize("tol", [1e-12, 1e-8])
def test_frozen_periods_run_the_state_recursion_on_the_settled_moments(n, m, k, tol):
    mdl = stable_model(n, m, k, 120, seed=n)
    full, got = run(mdl), run(mdl, steady_state_tol=tol)
    t = first_settled(full.P_pred, tol)
    # Up to and including the period that settles, the full recursion's bits.
    assert all(same_bits(getattr(got, name)[:t + 1], getattr(full, name)[:t + 1])
               for name in HISTORY)
    for name in ("P_pred", "P_filt", "S"):
        rows = getattr(got, name)
        assert same_bits(rows[t + 1:], np.broadcast_to(rows[t], rows[t + 1:].shape))
    # After it: the frozen gain, factor of S and log det S.
    S, P = got.S[t], got.P_pred[t]
    gain = np.linalg.solve(S, mdl["C"] @ P).T
    L = np.linalg.cholesky(S)
    x_pred = got.x_filt[t:-1] @ mdl["A"].T
    v = mdl["y"][t + 1:] - x_pred @ mdl["C"].T - mdl["d"]
    np.testing.assert_allclose(got.x_pred[t + 1:], x_pred, rtol=1e-12, atol=1e-12)
    np.testing.assert_allclose(got.x_filt[t + 1:], x_pred + v @ gain.T, rtol=1e-9, atol=1e-11)
    np.testing.assert_allclose(got.std_innov[t + 1:], np.linalg.solve(L, v.T).T, rtol=1e-9,
                               atol=1e-11)
    terms = -0.5 * (m * LOG_2PI + np.linalg.slogdet(S)[1]
                    + np.einsum("ti,ti->t", v, np.linalg.solve(S, v.T).T))
    np.testing.assert_allclose(got.loglik_t[t + 1:], terms, rtol=1e-10)
    # The likelihood moves by about as much as the covariance was still moving.
    assert 0 < abs(got.loglik - full.loglik) < tol * len(mdl["y"]) * 100


def test_a_missing_value_leaves_the_steady_state_until_it_settles_again():
    tol = 1e-10
    mdl = stable_model(6, 3, 2, 150, seed=3)
    s = first_settled(run(mdl).P_pred, tol) + 20
    mdl["y"][s, 1] = np.nan
    got = run(mdl, steady_state_tol=tol)
    assert same_bits(got.P_pred[s - 1], got.P_pred[s - 2])
    assert not np.array_equal(got.P_filt[s], got.P_filt[s - 1])
    # From the gap on, the filter runs as a fresh one started from the frozen
    # moments: full periods until the criterion holds again, then frozen.
    again = dict(mdl, y=mdl["y"][s:], x0=got.x_filt[s - 1], P0=got.P_filt[s - 1])
    rest = run(again, steady_state_tol=tol)
    assert all(same_bits(getattr(got, name)[s:], getattr(rest, name)) for name in HISTORY)
    t = first_settled(got.P_pred, tol, after=s)
    assert t > s + 1 and same_bits(got.P_pred[-1], got.P_pred[t])


@pytest.mark.parametrize("n, m, k", [(3, 2, 2), (12, 5, 3)])
def test_batch_draws_have_the_bits_of_single_calls_with_the_tolerance(n, m, k):
    # Draws that settle at different periods share lanes (a block of lanes
    # frozen and not), then all settle, then leave together at a shared gap;
    # one fails in its first period. Beside them, draws with samples of their
    # own, some alone with their pattern of missing values.
    tol, T = 1e-9, 160
    draws = [stable_model(n, m, k, T, seed=i) for i in range(11)]
    draws[4]["R"] = -np.eye(m)
    y = draws[0]["y"].copy()
    y[120, 0] = np.nan
    stacked = {key: np.stack([d[key] for d in draws]) for key in MODEL_KEYS + ("x0", "P0")}
    own = stacked["y"].copy()
    own[1, 40, 0] = own[3, 10:12, :] = np.nan
    for ys in (y, own):
        for threads in (1, 2):
            batch = K.kalman_loglik_batch(*(stacked[key] for key in MODEL_KEYS[:-1]), ys,
                                          stacked["x0"], stacked["P0"], threads=threads,
                                          steady_state_tol=tol)
            for i, d in enumerate(draws):
                if i == 4:
                    assert batch.status[i] == -3 and batch.loglik[i] == -np.inf
                    continue
                single = run(dict(d, y=ys if ys.ndim == 2 else ys[i]), steady_state_tol=tol)
                assert same_bits(batch.loglik[i], single.loglik) and batch.status[i] == 0


@pytest.mark.parametrize("tol", [-1e-9, np.nan, np.inf, "1e-9"])
def test_the_tolerance_is_a_finite_number_of_at_least_zero(tol):
    mdl = stable_model(2, 1, 1, 5)
    args = [mdl[key] for key in MODEL_KEYS] + [mdl["x0"], mdl["P0"]]
    error = TypeError if isinstance(tol, str) else ValueError
    for entry in (K.kalman_filter, K.kalman_loglik_batch):
        with pytest.raises(error, match=None if error is TypeError else "steady_state_tol"):
            entry(*args, steady_state_tol=tol)
    with pytest.raises(TypeError, match="steady_state_tol"):
        K.kalman_smoother(*args, steady_state_tol=1e-9)
