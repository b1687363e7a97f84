"""Plain NumPy reference of the second-order pruned unscented Kalman filter.

Written for readability, not speed: each step is the textbook formula on whole
arrays, so that the native loop can be checked against it to rounding. The
measurement function is a Python callable meas(vars, params) -> observables.
"""

import numpy as np

LN_2PI = 1.8378770664093453


class NotPositiveDefinite(Exception):
    pass


def chol(S, jitter):
    """Lower factor of S (+ jitter on the diagonal when jitter > 0); only the
    lower triangle of S is used, as by the native factorisation."""
    A = np.tril(S) + np.tril(S, -1).T
    if jitter > 0:
        A = A + jitter * np.eye(len(A))
    try:
        return np.linalg.cholesky(A)
    except np.linalg.LinAlgError:
        raise NotPositiveDefinite from None


def unscented_constants(nz, alpha, beta, kappa):
    """(gamma, mean weights, covariance weights) for 2 nz + 1 points, or None
    when the spread nz + lambda is not positive and finite."""
    lam = alpha * alpha * (nz + kappa) - nz
    scale = nz + lam
    if not (np.isfinite(scale) and scale > 0):
        return None
    wm = np.full(2 * nz + 1, 1.0 / (2.0 * scale))
    wc = wm.copy()
    wm[0] = lam / scale
    wc[0] = (1.0 - alpha * alpha) + beta + wm[0]
    return np.sqrt(scale), wm, wc


def sigma_points(mean, L, gamma):
    """Rows: mean, mean + gamma L[:, c] for each column c, then mean - gamma L[:, c]."""
    return np.vstack([mean[None, :], mean + gamma * L.T, mean - gamma * L.T])


class Model:
    def __init__(self, hx, gx, bx, hxx, gxx, hss, gss, steady_state):
        self.hx = np.asarray(hx, float)
        ns = self.hx.shape[0]
        self.ns = ns
        self.gx = np.zeros((0, ns)) if gx is None else np.asarray(gx, float)
        self.nc = self.gx.shape[0]
        self.bx = np.zeros((ns, 0)) if bx is None else np.asarray(bx, float)
        self.hxx = np.asarray(hxx, float).reshape(ns, ns, ns)
        self.gxx = (np.zeros((0, ns, ns)) if gxx is None
                    else np.asarray(gxx, float).reshape(self.nc, ns, ns))
        self.hss = np.asarray(hss, float)
        self.gss = np.zeros(0) if gss is None else np.asarray(gss, float)
        self.ss = np.asarray(steady_state, float)

    def transition(self, z):
        x1, x2 = z[:self.ns], z[self.ns:]
        x1n = self.hx @ x1
        x2n = 0.5 * self.hss + self.hx @ x2 + 0.5 * np.einsum("ijk,j,k->i", self.hxx, x1, x1)
        return np.concatenate([x1n, x2n])

    def controls(self, x1, x2, second_moment):
        return (self.ss[self.ns:] + 0.5 * self.gss + self.gx @ (x1 + x2)
                + 0.5 * np.einsum("cjk,jk->c", self.gxx, second_moment))

    def project(self, z):
        """Model variables in levels at one augmented state (sigma point)."""
        x1, x2 = z[:self.ns], z[self.ns:]
        return np.concatenate([self.ss[:self.ns] + x1 + x2,
                               self.controls(x1, x2, np.outer(x1, x1))])

    def project_expected(self, z, P):
        """Model variables at (z, P): the second-order control term is taken
        in expectation over the x1 block of P."""
        ns = self.ns
        x1, x2 = z[:ns], z[ns:]
        return np.concatenate([self.ss[:ns] + x1 + x2,
                               self.controls(x1, x2, np.outer(x1, x1) + P[:ns, :ns])])


def ukf(meas, hx, gx, bx, hxx, gxx, hss, gss, steady_state, params, Q, R, obs, z0, P0,
        alpha=1.0, beta=2.0, kappa=0.0, jitter=0.0, symmetrize=True):
    """Returns (status, loglik, history). status is 0 or -3; loglik is None
    when the unscented constants are unusable. history holds T rows per
    array, NaN for periods that were not completed."""
    model = Model(hx, gx, bx, hxx, gxx, hss, gss, steady_state)
    ns, nc = model.ns, model.nc
    nz, nv = 2 * ns, ns + nc
    R = np.asarray(R, float)
    no = R.shape[0]
    obs = np.zeros((0, no)) if obs is None else np.asarray(obs, float).reshape(-1, no)
    T = obs.shape[0]
    hist = {name: np.full((T,) + shape, np.nan) for name, shape in (
        ("x1_pred", (ns,)), ("x2_pred", (ns,)), ("x1_filt", (ns,)), ("x2_filt", (ns,)),
        ("x_pred", (nv,)), ("x_filt", (nv,)), ("P_pred", (nz, nz)), ("P_filt", (nz, nz)),
        ("y_pred", (no,)), ("y_filt", (no,)), ("innov", (no,)), ("std_innov", (no,)),
        ("S", (no, no)))}

    constants = unscented_constants(nz, alpha, beta, kappa)
    if constants is None:
        return -3, None, hist
    gamma, wm, wc = constants
    if model.bx.shape[1]:
        BQBT = model.bx @ np.asarray(Q, float) @ model.bx.T
        BQBT = 0.5 * (BQBT + BQBT.T)
    else:
        BQBT = np.zeros((ns, ns))

    def sym(M):
        return 0.5 * (M + M.T) if symmetrize else M

    def measure(v):
        return np.asarray(meas(v, params), float).reshape(no)

    z, P = np.asarray(z0, float).copy(), np.asarray(P0, float).copy()
    loglik = 0.0
    for t in range(T):
        try:
            sig = sigma_points(z, chol(P, jitter), gamma)
            nxt = np.array([model.transition(s) for s in sig])
            z_pred = wm @ nxt
            dz = nxt - z_pred
            P_pred = (wc[:, None] * dz).T @ dz
            P_pred[:ns, :ns] += BQBT
            P_pred = sym(P_pred)

            sig = sigma_points(z_pred, chol(P_pred, jitter), gamma)
            Y = np.array([measure(model.project(s)) for s in sig])
            y_pred = wm @ Y
            dy = Y - y_pred
            dz = sig - z_pred
            S = sym((wc[:, None] * dy).T @ dy + R)
            Pzy = (wc[:, None] * dz).T @ dy
            innov = obs[t] - y_pred
            L = chol(S, jitter)
        except NotPositiveDefinite:
            return -3, loglik, hist
        std_innov = np.linalg.solve(L, innov)
        S_used = L @ L.T  # S with whatever jitter the factorisation added
        K = np.linalg.solve(S_used, Pzy.T).T
        z_filt = z_pred + K @ innov
        P_filt = sym(P_pred - K @ Pzy.T)
        loglik += -0.5 * (2.0 * np.sum(np.log(np.diag(L))) + no * LN_2PI
                          + std_innov @ std_innov)

        x_filt = model.project_expected(z_filt, P_filt)
        row = {"x1_pred": z_pred[:ns], "x2_pred": z_pred[ns:], "x1_filt": z_filt[:ns],
               "x2_filt": z_filt[ns:], "x_pred": model.project_expected(z_pred, P_pred),
               "x_filt": x_filt, "P_pred": P_pred, "P_filt": P_filt, "y_pred": y_pred,
               "y_filt": measure(x_filt), "innov": innov, "std_innov": std_innov, "S": S}
        for name, value in row.items():
            hist[name][t] = value
        z, P = z_filt, P_filt
    return 0, loglik, hist
