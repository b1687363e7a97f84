"""kalman_loglik_grad, the Python entry of the exact gradient: its
log-likelihood against kalman_filter's to the bit, its gradient against
checks that do not restate it (central differences of kalman_filter, the
symmetric convention, the Cholesky line of the README), kalman_filter's
errors for kalman_filter's own bad cases, the entry's own refusals, and
Durbin and Koopman's Nile estimates reached with it."""

import numpy as np
import pytest

import Orvanta._ckernels.kalman._kalman as K
import test_kalman_filter as filter_tests
from _threads import spinner_ticks
from test_kalman_entry import model
from test_kalman_filter_reference import random_model, spd, with_gaps

grad, kalman_filter = K.kalman_loglik_grad, K.kalman_filter
MODEL_KEYS = ("A", "B", "C", "d", "Q", "R", "y")
# The arrays the gradient has a derivative for, read from its result.
GRAD_KEYS = tuple(name[1:] for name in K.KalmanLoglikGradResult.__match_args__[1:])
SYMMETRIC = ("Q", "R", "P0")
INITS = ("known", "stationary", "diffuse")


def start_model(rng, init, n=4, m=3, k=2, T=30, gaps="mixed"):
    """A random model with k < n, a full R and gaps; unit roots under the
    diffuse start, and the arguments each start takes."""
    mdl = random_model(rng, n, m, k, T, stable=init != "diffuse")
    mdl["y"] = with_gaps(rng, mdl["y"], gaps)
    mdl["x0"] = rng.standard_normal(n)
    mdl["P0"] = None if init == "stationary" else spd(rng, n)
    return mdl


def loglik(mdl, init, **kw):
    return kalman_filter(**mdl, init=init, store_history=False, **kw).loglik


# ---- the log-likelihood -------------------------------------------------------------------

@pytest.mark.parametrize("init", INITS)
@pytest.mark.parametrize("symmetrize, jitter", [(True, 0.0), (False, 0.0), (True, 1e-3)])
def test_loglik_has_the_bits_of_the_filter(init, symmetrize, jitter):
    for seed in range(3):
        mdl = start_model(np.random.default_rng(seed), init)
        kw = dict(init=init, symmetrize=symmetrize, jitter=jitter)
        got = grad(**mdl, **kw)
        assert type(got.loglik) is float
        assert np.float64(got.loglik).tobytes() == np.float64(loglik(mdl, **kw)).tobytes()
        for key in GRAD_KEYS:
            d = getattr(got, "d" + key)
            assert d is None if mdl[key] is None else d.shape == np.shape(mdl[key])


# ---- the gradient ---------------------------------------------------------------------------

def directions(mdl):
    """(key, change, d loglik along it by the gradient's convention) for each
    free entry: one entry of a general array, a symmetric pair of Q, R, P0."""
    for key in GRAD_KEYS:
        if mdl[key] is None:
            continue
        shape = np.shape(mdl[key])
        for index in np.ndindex(shape):
            if key in SYMMETRIC and index[0] < index[1]:
                continue
            change = np.zeros(shape)
            change[index] = 1.0
            if key in SYMMETRIC:
                change[index[::-1]] = 1.0
            yield key, index, change


@pytest.mark.parametrize("init", INITS)
def test_gradient_matches_central_differences_of_the_filter(init):
    rng = np.random.default_rng(11)
    for _ in range(2):
        mdl = start_model(rng, init)
        got = grad(**mdl, init=init)
        scale = max(np.abs(getattr(got, "d" + key)).max() for key in GRAD_KEYS
                    if mdl[key] is not None)
        # the diffuse log-likelihood sums terms that cancel, so its float
        # differences are noisier: a larger step, a looser bound
        h, tolerance = (1e-4, 1e-4) if init == "diffuse" else (1e-6, 2e-6)
        for key, index, change in directions(mdl):
            moved = [loglik(dict(mdl, **{key: mdl[key] + s * h * change}), init)
                     for s in (1, -1)]
            numeric = (moved[0] - moved[1]) / (2 * h)
            d = getattr(got, "d" + key)
            # the symmetric gradient: an off-diagonal pair moved together
            # moves loglik by 2 dX[i, j]
            want = change.ravel() @ d.ravel()
            assert abs(numeric - want) < tolerance * scale, (key, index, numeric, want)


@pytest.mark.parametrize("init", ("known", "diffuse"))
def test_covariance_gradients_are_symmetric_even_for_a_lopsided_argument(init):
    mdl = start_model(np.random.default_rng(5), init)
    got = grad(**mdl, init=init)
    rng = np.random.default_rng(6)
    for key in SYMMETRIC:
        d = getattr(got, "d" + key)
        assert np.array_equal(d, d.T)
        # an argument that is not quite symmetric still gets a symmetric one
        lopsided = mdl[key] + np.triu(1e-3 * rng.standard_normal(d.shape), 1)
        other = getattr(grad(**dict(mdl, **{key: lopsided}), init=init), "d" + key)
        assert np.array_equal(other, other.T)


@pytest.mark.parametrize("init", INITS)
def test_cholesky_factor_gradient_is_two_dq_l(init):
    # the README's line: Q = L L^T gives d loglik / d L = 2 dQ L (lower part)
    rng = np.random.default_rng(21)
    mdl = start_model(rng, init, k=3)
    L = np.linalg.cholesky(mdl["Q"])
    got = grad(**mdl, init=init)
    dL = 2 * got.dQ @ L
    h = 1e-6
    for i, j in zip(*np.tril_indices(3)):
        step = np.zeros((3, 3))
        step[i, j] = h
        moved = [loglik(dict(mdl, Q=(L + s * step) @ (L + s * step).T), init) for s in (1, -1)]
        assert abs((moved[0] - moved[1]) / (2 * h) - dL[i, j]) < 1e-6 * np.abs(dL).max()


def test_interpreter_lock_is_released_for_the_whole_call():
    mdl = start_model(np.random.default_rng(3), "diffuse", n=16, m=6, k=4, T=1500)
    during, alone, elapsed = spinner_ticks(lambda: grad(**mdl, init="diffuse"))
    assert during > 0.2 * alone, (during, alone, elapsed)


# ---- errors -----------------------------------------------------------------------------------

def cases(test):
    """The parametrised cases of one of kalman_filter's tests, as tuples."""
    names, values = next(m.args[:2] for m in test.pytestmark if m.name == "parametrize")
    single = "," not in names if isinstance(names, str) else len(names) == 1
    return [(v,) if single else tuple(v) for v in values]


def filter_bad_calls():
    """kalman_filter's own bad calls, read from its tests: (model, keywords)."""
    base = model(3, 2, 2, 5)
    known = dict(x0=base["x0"], P0=base["P0"])
    shapes = filter_tests.test_shape_errors_name_the_argument_and_the_expected_shape
    for key, value, _ in cases(shapes):
        bad = dict(base, **{key: value})
        yield bad, dict(x0=bad["x0"], P0=bad["P0"])
    for value, *_ in cases(filter_tests.test_arrays_that_are_not_real_are_refused_by_name):
        yield dict(base, C=value), known
    for kw, *_ in cases(filter_tests.test_start_arguments_are_checked):
        yield base, {**known, **kw}
    unstable = filter_tests.test_stationary_start_refuses_a_without_all_roots_inside_the_unit_circle
    for (A,) in cases(unstable):
        yield dict(model(2, 1, 1, 4), A=A), dict(init="stationary")
    y = base["y"].copy()
    y[3, 1] = -np.inf
    yield dict(base, y=y), known
    failing = dict(model(2, 1, 1, 4), C=np.zeros((1, 2)), R=np.array([[-1.0]]))
    yield failing, dict(x0=failing["x0"], P0=failing["P0"])


def has_non_finite_model_array(mdl, kw):
    for key, value in {**{k: mdl[k] for k in MODEL_KEYS if k != "y"}, **kw}.items():
        if key in GRAD_KEYS and value is not None:
            try:
                value = np.asarray(value)
            except ValueError:  # ragged: refused by conversion before anything else
                continue
            if value.dtype.kind == "f" and not np.isfinite(value).all():
                return True
    return False


def raised(call):
    with pytest.raises(Exception) as info:
        call()
    return type(info.value), str(info.value)


def test_bad_models_raise_what_kalman_filter_raises():
    checked = 0
    for mdl, kw in filter_bad_calls():
        if has_non_finite_model_array(mdl, kw):
            continue  # refused by name before anything else: below
        args = [mdl[key] for key in MODEL_KEYS]
        assert raised(lambda: grad(*args, **kw)) == raised(lambda: kalman_filter(*args, **kw))
        checked += 1
    assert checked > 25


def test_a_record_too_large_for_memory_is_refused_before_it_is_allocated():
    # the backward pass's record of 10^6 periods of 200 states: about 640 GB
    n, T = 200, 10 ** 6
    eye = np.eye(n)
    y = np.zeros((T, 1))
    with pytest.raises(MemoryError, match="^kalman_loglik_grad: scratch allocation failed"):
        grad(0.5 * eye, eye[:, :1], np.ones((1, n)), np.zeros(1), np.eye(1), np.eye(1), y,
             np.zeros(n), eye)


# ---- a published result ---------------------------------------------------------------------

def test_nile_maximum_likelihood_reaches_durbin_and_koopman():
    optimize = pytest.importorskip("scipy.optimize")
    from test_kf_reference import nile_flow
    y = nile_flow().reshape(-1, 1)
    one = np.ones((1, 1))

    def negative_loglik(log_variances):
        eps, eta = np.exp(log_variances)
        got = grad(one, one, one, np.zeros(1), eta * one, eps * one, y, init="diffuse")
        # the chain rule through the exponentials
        return -got.loglik, -np.array([got.dR[0, 0] * eps, got.dQ[0, 0] * eta])

    found = optimize.minimize(negative_loglik, np.log([1000.0, 1000.0]), jac=True,
                              method="L-BFGS-B", options={"gtol": 1e-9})
    assert found.success, found.message
    np.testing.assert_allclose(np.exp(found.x), [15099.0, 1469.1], rtol=2e-4)
