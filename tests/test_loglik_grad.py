"""kf_loglik_grad, the native gradient of kf_filter's log-likelihood, through
its C interface: its log-likelihood against kalman_filter's to the bit, its
gradient against central differences of the same log-likelihood written
plainly in mpmath at 60 digits (a step of 1e-20), and its statuses.

The reference filter is the textbook one, written plainly (no
symmetrisation; the Joseph form, which differs from P_pred - K S K^T once
jitter enters S), with missing entries dropped and, under the stationary
start, P0 from the Lyapunov equation solved as a linear system."""

import math

import mpmath as mp
import numpy as np
import pytest

from _grad_native import GRAD_FIELDS, loglik_grad
from Orvanta._ckernels.kalman._kalman import kalman_filter
from test_kalman_filter_reference import (
    SINGULAR_KINDS, random_model, singular_R, spd, with_gaps)

KF_OK, KF_ERR_INPUT, KF_ERR_NOT_PD, KF_ERR_NOT_STATIONARY, KF_ERR_ALLOC = 0, -2, -3, -4, -5
KF_ERR_INFINITE_OBS = -6
SYMMETRIC = ("Q", "R", "P0")
KAPPA = mp.mpf("1e35")


def model_with_start(rng, n, m, k, T, init, gaps):
    """A random model; under the diffuse start with unit roots, and with
    x0 and P0 the finite parts of the first prediction."""
    model = random_model(rng, n, m, k, T, stable=init != "diffuse")
    model["y"] = with_gaps(rng, model["y"], gaps)
    model["x0"] = rng.standard_normal(n)
    model["P0"] = None if init == "stationary" else spd(rng, n)
    return model


def native(model, init, **options):
    return loglik_grad(**model, init=init, **options)


# ---- the reference, in mpmath --------------------------------------------------

def mat(a):
    a = np.atleast_2d(a)
    return [[mp.mpf(float(v)) for v in row] for row in a]


def mul(X, Y):
    return [[mp.fsum(X[i][l] * Y[l][j] for l in range(len(Y))) for j in range(len(Y[0]))]
            for i in range(len(X))]


def tr(X):
    return [list(col) for col in zip(*X)]


def add(X, Y, sign=1):
    return [[a + sign * b for a, b in zip(r, s)] for r, s in zip(X, Y)]


def stationary_cov(A, W):
    n = len(A)
    M = mp.matrix(n * n, n * n)
    for i, j, p, q in np.ndindex(n, n, n, n):
        M[i * n + j, p * n + q] = (i == p and j == q) - A[i][p] * A[j][q]
    P = mp.lu_solve(M, mp.matrix([W[i][j] for i in range(n) for j in range(n)]))
    return [[P[i * n + j] for j in range(n)] for i in range(n)]


def reference_loglik(p, y, init, jitter, diffuse=None):
    """The log-likelihood at the parameters p (dict of mpmath matrices).
    Under the diffuse start, the first prediction's covariance is
    P0 + KAPPA diag(diffuse), and the filter's diffuse entries, each
    -0.5 (ln 2 pi + ln F_inf), differ from the KAPPA filter's by 0.5 ln KAPPA
    plus O(1 / KAPPA): a constant and less than the tolerance, so the
    derivatives agree."""
    A, C, R = p["A"], p["C"], p["R"]
    W = mul(mul(p["B"], p["Q"]), tr(p["B"]))
    x = tr(p["x0"]) if len(p["x0"]) == 1 else p["x0"]
    P = p["P0"] if init != "stationary" else stationary_cov(A, W)
    if init == "diffuse":
        P = [[P[i][j] + KAPPA * diffuse[i] * (i == j) for j in range(len(A))]
             for i in range(len(A))]
    total = mp.mpf(0)
    for t, row in enumerate(y):
        if t > 0 or init != "diffuse":
            x, P = mul(A, x), add(mul(mul(A, P), tr(A)), W)
        seen = [j for j, v in enumerate(row) if not math.isnan(v)]
        if not seen:
            continue
        Co = [C[j] for j in seen]
        v = [[mp.mpf(float(row[j])) - p["d"][0][j] - mul([C[j]], x)[0][0]] for j in seen]
        S = add(mul(mul(Co, P), tr(Co)), [[R[i][j] + jitter * (i == j) for j in seen]
                                           for i in seen])
        S_inv = mp.inverse(mp.matrix(S)).tolist()
        K = mul(mul(P, tr(Co)), S_inv)
        # the Joseph form: with jitter, K is not the optimal gain for R
        J = add([[mp.mpf(i == j) for j in range(len(A))] for i in range(len(A))], mul(K, Co), -1)
        Ro = [[R[i][j] for j in seen] for i in seen]
        x, P = add(x, mul(K, v)), add(mul(mul(J, P), tr(J)), mul(mul(K, Ro), tr(K)))
        quad = mul(mul(tr(v), S_inv), v)[0][0]
        total -= (len(seen) * mp.log(2 * mp.pi) + mp.log(mp.det(mp.matrix(S))) + quad) / 2
    return total


def reference_gradient(model, init, jitter=0.0, diffuse=None):
    """Central differences of reference_loglik in every entry; a symmetric
    pair moved together, as the symmetric gradient is defined. 60 digits
    and a step of 1e-20; 110 digits under the diffuse start, whose KAPPA
    filter cancels terms of size KAPPA^2."""
    names = [f[1:] for f in GRAD_FIELDS if not (f == "dP0" and init == "stationary")]
    step = mp.mpf("1e-20")
    with mp.workdps(110 if init == "diffuse" else 60):
        p = {name: mat(model[name]) for name in names}
        grads = {}
        for name in names:
            shape = np.shape(model[name])
            g = np.zeros(shape)
            for idx in np.ndindex(shape):
                i, j = (0, idx[0]) if len(shape) == 1 else idx
                if name in SYMMETRIC and j < i:
                    continue
                values = []
                for sign in (1, -1):
                    q = dict(p, **{name: [list(r) for r in p[name]]})
                    for a, b in {(i, j), (j, i)} if name in SYMMETRIC else {(i, j)}:
                        q[name][a][b] += sign * step
                    values.append(reference_loglik(q, model["y"], init, jitter, diffuse))
                pair = 2 if name in SYMMETRIC and i != j else 1
                g[idx] = float((values[0] - values[1]) / (2 * step * pair))
                if name in SYMMETRIC:
                    g[j, i] = g[i, j]
            grads["d" + name] = g
    return grads


# ---- the tests -------------------------------------------------------------------

# (n, m, k, T, init, gaps, jitter, diagonal of P_inf): k < n and a full R
# throughout (R diagonal in the last, which the diffuse start does not
# transform)
REFERENCE_CASES = [
    (3, 2, 2, 10, "known", "none", 0.0, None),
    (4, 3, 2, 12, "known", "mixed", 0.0, None),
    (2, 3, 1, 9, "known", "first", 0.3, None),
    (3, 2, 1, 11, "stationary", "mixed", 0.0, None),
    (4, 2, 3, 8, "stationary", "rows", 0.0, None),
    (3, 2, 2, 10, "diffuse", "mixed", 0.0, [1.0, 1.0, 1.0]),
    (4, 3, 2, 9, "diffuse", "first", 0.0, [1.0, 0.0, 1.0, 0.0]),
    (2, 2, 1, 8, "diffuse", "rows", 0.0, [0.0, 1.0]),
]


@pytest.mark.parametrize("n,m,k,T,init,gaps,jitter,diffuse", REFERENCE_CASES)
def test_gradient_matches_high_precision_reference(n, m, k, T, init, gaps, jitter, diffuse):
    model = model_with_start(np.random.default_rng(n * 100 + T), n, m, k, T, init, gaps)
    if diffuse == [0.0, 1.0]:
        model["R"] = np.diag(np.diag(model["R"]))
    status, _, grads = native(model, init, jitter=jitter, diffuse_states=diffuse)
    assert status == KF_OK
    expected = reference_gradient(model, init, jitter, diffuse)
    scale = max(np.abs(g).max() for g in expected.values())
    worst = max(np.abs(grads[name] - g).max() for name, g in expected.items())
    assert worst <= 1e-10 * scale
    for name in ("dQ", "dR") + (("dP0",) if init != "stationary" else ()):
        assert np.array_equal(grads[name], grads[name].T)
    if init == "stationary":
        assert np.isnan(grads["dP0"]).all()


@pytest.mark.parametrize("init", ["known", "stationary", "diffuse"])
@pytest.mark.parametrize("symmetrize", [True, False])
def test_loglik_has_the_bits_of_the_filter(init, symmetrize):
    rng = np.random.default_rng(7 + symmetrize)
    for n, m, k in [(1, 1, 1), (3, 2, 2), (5, 3, 2), (9, 4, 3), (12, 5, 5), (20, 3, 4)]:
        for gaps in ("none", "mixed"):
            model = model_with_start(rng, n, m, k, 30, init, gaps)
            status, loglik, _ = native(model, init, symmetrize=symmetrize, jitter=1e-9)
            expected = kalman_filter(**model, symmetrize=symmetrize, jitter=1e-9,
                                     store_history=False, init=init).loglik
            assert status == KF_OK and loglik == expected


def test_gradient_against_float_differences_of_the_filter():
    # larger than the reference can afford: a loose check on every entry
    rng = np.random.default_rng(3)
    for init, jitter in (("known", 0.0), ("stationary", 0.0), ("diffuse", 0.05)):
        model = model_with_start(rng, 7, 4, 3, 40, init, "mixed")
        _, _, grads = native(model, init, symmetrize=False, jitter=jitter)
        for name in [f[1:] for f in GRAD_FIELDS if model.get(f[1:]) is not None]:
            for idx in np.ndindex(np.shape(model[name])):
                delta = np.zeros(np.shape(model[name]))
                delta[idx] = 1e-6
                if name in SYMMETRIC:
                    delta[idx[::-1]] = 1e-6
                moved = [kalman_filter(**dict(model, **{name: model[name] + s * delta}),
                                       symmetrize=False, jitter=jitter, store_history=False,
                                       init=init).loglik for s in (1, -1)]
                pair = 2 if name in SYMMETRIC and idx[0] != idx[1] else 1
                slope = (moved[0] - moved[1]) / (2e-6 * pair)
                assert abs(slope - grads["d" + name][idx]) <= 1e-5 * (1 + abs(slope))


def test_statuses():
    rng = np.random.default_rng(5)
    model = model_with_start(rng, 3, 2, 2, 10, "known", "none")
    assert native(model, 7)[0] == KF_ERR_INPUT
    assert native(dict(model, P0=None), "known")[0] == KF_ERR_INPUT
    # a tape beyond the address space, or beyond memory, is refused before
    # y is read
    for T in (2**58, 2**40):
        assert native(model, "known", T=T)[0] == KF_ERR_ALLOC
    unstable = dict(model, A=np.eye(3) * 1.01, P0=None)
    assert native(unstable, "stationary")[0] == KF_ERR_NOT_STATIONARY
    y = model["y"].copy()
    y[4, 1] = np.inf
    assert native(dict(model, y=y), "known")[0] == KF_ERR_INFINITE_OBS
    not_pd = dict(model, R=-10.0 * np.eye(2), Q=np.zeros((2, 2)), P0=np.zeros((3, 3)))
    assert native(not_pd, "known")[0] == KF_ERR_NOT_PD


@pytest.mark.parametrize("kind", SINGULAR_KINDS + ["a zero variance in a diagonal R"])
def test_gradient_with_singular_R_matches_high_precision_reference(kind):
    """Below a zero pivot of R's LDL factor the adjoint through the factor is
    a limit (the reference moves R off the semidefinite matrices too, where
    its formula goes on smoothly); with jitter that limit does not exist, and
    the entries of dR it reaches are NaN."""
    rng = np.random.default_rng(600 + SINGULAR_KINDS.index(kind) if kind in SINGULAR_KINDS else 0)
    R = singular_R(kind, rng)[0] if kind in SINGULAR_KINDS else np.diag([1.3, 0.0, 0.7])
    model = dict(model_with_start(rng, 3, R.shape[0], 2, 8, "diffuse", "none"), R=R)
    status, _, grads = native(model, "diffuse")
    assert status == KF_OK
    expected = reference_gradient(model, "diffuse", 0.0, [1.0, 1.0, 1.0])
    scale = max(np.abs(g).max() for g in expected.values())
    worst = max(np.abs(grads[name] - g).max() for name, g in expected.items())
    assert worst <= 1e-10 * scale
    status, _, grads = native(model, "diffuse", jitter=0.01)
    undetermined = np.isnan(grads["dR"]) | np.isinf(grads["dR"])
    assert status == KF_OK and all(np.isfinite(grads[name]).all() for name in expected
                                   if name != "dR")
    assert undetermined.any() == (kind in SINGULAR_KINDS[2:] or "diagonal" in kind)


def test_zero_measurement_variance_in_diffuse_periods():
    # R[0][0] = 0: the filter runs where changes of R's diagonal take it, and
    # its differences there are the derivatives; every other array's stay
    # finite
    model = model_with_start(np.random.default_rng(5), 3, 2, 2, 10, "diffuse", "none")
    model["R"] = np.diag([0.0, 1.0])
    status, _, grads = native(model, "diffuse")
    assert status == KF_OK
    assert all(np.isfinite(g).all() for name, g in grads.items() if name != "dR")
    for i in range(2):
        delta = np.zeros((2, 2))
        delta[i, i] = 1e-6
        moved = [kalman_filter(**dict(model, R=model["R"] + s * delta), store_history=False,
                               init="diffuse").loglik for s in (1, -1)]
        assert abs((moved[0] - moved[1]) / 2e-6 - grads["dR"][i, i]) < 1e-5


def test_nile_maximum_likelihood_with_the_gradient():
    # Durbin and Koopman's local level model of the Nile: BFGS on the
    # log-variances with this gradient reaches their estimates
    optimize = pytest.importorskip("scipy.optimize")
    from test_kf_reference import nile_flow
    y = np.asarray(nile_flow(), float).reshape(-1, 1)
    one = np.ones((1, 1))

    def negative_loglik(theta):
        eps, eta = np.exp(theta)
        status, loglik, g = loglik_grad(one, one, one, np.zeros(1), [[eta]], [[eps]], y,
                                        init="diffuse")
        assert status == KF_OK
        return -loglik, -np.array([g["dR"][0, 0] * eps, g["dQ"][0, 0] * eta])

    found = optimize.minimize(negative_loglik, np.log([1000.0, 1000.0]), jac=True,
                              method="BFGS", options={"gtol": 1e-8})
    assert found.success
    np.testing.assert_allclose(np.exp(found.x), [15099.0, 1469.1], rtol=2e-4)
