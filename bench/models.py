"""Benchmark models: random stable linear state-space models and second-order
pruned models with a quadratic measurement equation, each with observations
simulated from the model itself, so the filters see realistic innovations."""

import numpy as np
from numba import cfunc, njit

MEAS_SIG = "void(CPointer(float64), CPointer(float64), CPointer(float64))"


def _spd(rng, n, ridge):
    G = rng.standard_normal((n, n))
    return G @ G.T / max(n, 1) + ridge * np.eye(n)


def _stable(rng, n, radius_lo=0.6, radius_hi=0.95):
    """Diagonalisable n x n matrix with real eigenvalues of modulus in
    [radius_lo, radius_hi] and a mildly non-normal eigenbasis."""
    U = np.eye(n) + 0.3 * rng.standard_normal((n, n)) / np.sqrt(n)
    lam = rng.uniform(radius_lo, radius_hi, n) * rng.choice([-1.0, 1.0], n)
    return U @ np.diag(lam) @ np.linalg.inv(U)


def linear_model(n, m, k, T, seed):
    """Arguments of kalman_hot_loop (as a dict) for a random stable model with
    observations simulated from it."""
    rng = np.random.default_rng(seed)
    A = _stable(rng, n)
    B = rng.standard_normal((n, k)) / np.sqrt(k)
    C = rng.standard_normal((m, n)) / np.sqrt(n)
    d = rng.standard_normal(m)
    Q = _spd(rng, k, 0.2)
    R = _spd(rng, m, 0.2) * 0.5
    x0 = rng.standard_normal(n) * 0.5
    P0 = _spd(rng, n, 0.5)
    y = np.empty((T, m))
    x = x0.copy()
    LQ, LR = np.linalg.cholesky(Q), np.linalg.cholesky(R)
    for t in range(T):
        x = A @ x + B @ (LQ @ rng.standard_normal(k))
        y[t] = C @ x + d + LR @ rng.standard_normal(m)
    arrays = dict(A=A, B=B, C=C, d=d, Q=Q, R=R, y=y, x0=x0, P0=P0)
    return {key: np.ascontiguousarray(val, dtype=np.float64) for key, val in arrays.items()}


def kf_args(model, T=None, symmetrize=True, jitter=0.0, return_shocks=False,
            store_history=True):
    """All fifteen positional arguments of kalman_hot_loop (both
    implementations). The optional ones are passed explicitly: numba's
    dispatcher takes a much slower path when defaults are omitted."""
    n, m, k = model["A"].shape[0], model["C"].shape[0], model["B"].shape[1]
    y = model["y"] if T is None else np.ascontiguousarray(model["y"][:T])
    return (y.shape[0], (n, m, k), model["A"], model["B"], model["C"], model["d"],
            model["Q"], model["R"], y, model["x0"], model["P0"], symmetrize, jitter,
            return_shocks, store_history)


# ---- second-order pruned model with a nonlinear measurement -----------------

@njit
def meas_quadratic(v, p, out):
    """out[i] = c[i] + s[i] + q[i] s[i]^2 with s = Z v; p packs
    [nv, no, Z (no x nv, row-major), c (no), q (no)]."""
    nv = int(p[0])
    no = int(p[1])
    for i in range(no):
        s = 0.0
        for j in range(nv):
            s += p[2 + i * nv + j] * v[j]
        out[i] = p[2 + no * nv + i] + s + p[2 + no * nv + no + i] * s * s


@cfunc(MEAS_SIG)
def meas_quadratic_cfunc(v, p, out):
    meas_quadratic(v, p, out)


def meas_quadratic_numpy(v, p):
    nv, no = int(p[0]), int(p[1])
    Z = p[2:2 + no * nv].reshape(no, nv)
    c = p[2 + no * nv:2 + no * nv + no]
    q = p[2 + no * nv + no:2 + no * nv + 2 * no]
    s = Z @ v
    return c + s + q * s * s


def pruned_model(ns, nc, ne, no, T, seed):
    """Arguments of ukf_hot_loop (as a dict, without the measurement) for a
    random pruned second-order model; obs are simulated from it."""
    rng = np.random.default_rng(seed)
    nv = ns + nc
    so = 0.2 / ns  # keeps the second-order part a correction, not the bulk
    hx = _stable(rng, ns)
    m = dict(
        hx=hx, gx=rng.standard_normal((nc, ns)) * 0.6 / np.sqrt(ns),
        bx=rng.standard_normal((ns, ne)) * 0.5 / np.sqrt(ne),
        hxx=rng.standard_normal((ns, ns, ns)) * so, gxx=rng.standard_normal((nc, ns, ns)) * so,
        hss=rng.standard_normal(ns) * 0.05, gss=rng.standard_normal(nc) * 0.05,
        steady_state=rng.standard_normal(nv) * 0.5,
        Q=_spd(rng, ne, 0.2), R=_spd(rng, no, 0.1) * 0.3)
    Z = rng.standard_normal((no, nv)) / np.sqrt(nv)
    c = rng.standard_normal(no) * 0.3
    q = rng.standard_normal(no) * 0.1
    m["params"] = np.concatenate([[nv, no], Z.ravel(), c, q])
    m["z0"] = np.concatenate([rng.standard_normal(ns) * 0.2, np.zeros(ns)])
    m["P0"] = _spd(rng, 2 * ns, 0.05) * 0.2
    # simulate the pruned system
    LQ, LR = np.linalg.cholesky(m["Q"]), np.linalg.cholesky(m["R"])
    x1, x2 = m["z0"][:ns].copy(), m["z0"][ns:].copy()
    obs = np.empty((T, no))
    for t in range(T):
        x2 = 0.5 * m["hss"] + hx @ x2 + 0.5 * (m["hxx"] @ x1) @ x1
        x1 = hx @ x1 + m["bx"] @ (LQ @ rng.standard_normal(ne))
        obs[t] = meas_quadratic_numpy(project_vars(m, x1, x2), m["params"]) \
            + LR @ rng.standard_normal(no)
    m["obs"] = obs
    return {key: np.ascontiguousarray(val, dtype=np.float64) for key, val in m.items()}


def project_vars(m, x1, x2):
    ns = m["hx"].shape[0]
    ctrl = m["steady_state"][ns:] + 0.5 * m["gss"] + m["gx"] @ (x1 + x2) \
        + 0.5 * (m["gxx"] @ x1) @ x1
    return np.concatenate([m["steady_state"][:ns] + x1 + x2, ctrl])


UKF_ARG_ORDER = ("hx", "gx", "bx", "hxx", "gxx", "hss", "gss", "steady_state", "params",
                 "Q", "R", "obs", "z0", "P0")


def ukf_args(meas, model, alpha, beta, kappa, jitter=0.0, symmetrize=True,
             store_history=True):
    """All 21 positional arguments of ukf_hot_loop; `meas` is the cfunc
    address for the library and the numba function for the numba loop."""
    return (meas, *(model[key] for key in UKF_ARG_ORDER), alpha, beta, kappa, jitter,
            symmetrize, store_history)
