"""The two filter loops written the way a numba user would write them: plain
NumPy arrays, explicit loops, @njit. Same parameter lists and result layouts
as the library's `kalman_hot_loop` and `ukf_hot_loop`, so the benchmark can
call either one the same way.

`make_kalman_hot_loop(fastmath)` and `make_ukf_hot_loop(fastmath)` return
one compiled variant each; the benchmark builds both settings and keeps the
faster. The UKF's measurement is a numba function `meas(vars, params, out)`
passed as the first argument (where the library takes a cfunc address).

The linear loop is one module-level function with small module-level helpers
(factorisation, triangular solves, symmetrisation), compiled with
cache=True, so later runs load it from bench/__pycache__. The unscented loop
takes a numba function as an argument, which numba's cache cannot key on, so
it is built by a factory (its sigma-point, transition and covariance helpers
carry the same fastmath setting; the factorisation and solves are the shared
ones) and compiled afresh on every run.
"""

import math
import types

import numpy as np
from numba import njit
from numpy.linalg import LinAlgError

LN_2PI = 1.8378770664093453



@njit(cache=True)
def chol(S, jitter, L):
    """Lower Cholesky factor of S + jitter*I into L; False if not PD."""
    n = S.shape[0]
    for i in range(n):
        for j in range(n):
            L[i, j] = 0.0
    for j in range(n):
        s = S[j, j] + jitter
        for p in range(j):
            s -= L[j, p] * L[j, p]
        if not (s > 0.0) or not math.isfinite(s):
            return False
        ljj = math.sqrt(s)
        L[j, j] = ljj
        for i in range(j + 1, n):
            s = S[i, j]
            for p in range(j):
                s -= L[i, p] * L[j, p]
            L[i, j] = s / ljj
    return True


@njit(cache=True)
def forward(L, b, out):
    n = L.shape[0]
    for i in range(n):
        s = b[i]
        for j in range(i):
            s -= L[i, j] * out[j]
        out[i] = s / L[i, i]


@njit(cache=True)
def backward_t(L, b, out):
    """Solves L^T out = b."""
    n = L.shape[0]
    for i in range(n - 1, -1, -1):
        s = b[i]
        for j in range(i + 1, n):
            s -= L[j, i] * out[j]
        out[i] = s / L[i, i]


@njit(cache=True)
def symmetrize_(P):
    n = P.shape[0]
    for i in range(n):
        for j in range(i + 1, n):
            a = 0.5 * (P[i, j] + P[j, i])
            P[i, j] = a
            P[j, i] = a


@njit(cache=True)
def logdet(L):
    s = 0.0
    for i in range(L.shape[0]):
        s += math.log(L[i, i])
    return 2.0 * s


# The linear loop; make_kalman_hot_loop compiles it (plain Python as it stands).
def kalman_hot_loop(T, nmk, A, B, C, d, Q, R, y, x0, P0, symmetrize, jitter,
                    return_shocks=False, store_history=True):
    n, m, k = nmk[0], nmk[1], nmk[2]
    hist_T = T if store_history else 0
    shock_T = T if (store_history and return_shocks) else 0
    x_pred_h = np.zeros((hist_T, n))
    x_filt_h = np.zeros((hist_T, n))
    P_pred_h = np.zeros((hist_T, n, n))
    P_filt_h = np.zeros((hist_T, n, n))
    y_pred_h = np.zeros((hist_T, m))
    y_filt_h = np.zeros((hist_T, m))
    innov_h = np.zeros((hist_T, m))
    std_innov_h = np.zeros((hist_T, m))
    S_h = np.zeros((hist_T, m, m))
    eps_h = np.zeros((shock_T, k))

    # B Q B' once
    BQ = np.zeros((n, k))
    for i in range(n):
        for j in range(k):
            s = 0.0
            for l in range(k):
                s += B[i, l] * Q[l, j]
            BQ[i, j] = s
    BQBT = np.zeros((n, n))
    for i in range(n):
        for j in range(n):
            s = 0.0
            for l in range(k):
                s += BQ[i, l] * B[j, l]
            BQBT[i, j] = s
    symmetrize_(BQBT)
    # shock projection Q B' C' (k x m)
    M = np.zeros((k, m))
    if shock_T > 0:
        BtCt = np.zeros((k, m))
        for i in range(k):
            for j in range(m):
                s = 0.0
                for l in range(n):
                    s += B[l, i] * C[j, l]
                BtCt[i, j] = s
        for i in range(k):
            for j in range(m):
                s = 0.0
                for l in range(k):
                    s += Q[i, l] * BtCt[l, j]
                M[i, j] = s

    x = x0.copy()
    P = P0.copy()
    xp = np.zeros(n)
    xf = np.zeros(n)
    Pp = np.zeros((n, n))
    Pf = np.zeros((n, n))
    AP = np.zeros((n, n))
    CP = np.zeros((m, n))
    S = np.zeros((m, m))
    L = np.zeros((m, m))
    yp = np.zeros(m)
    v = np.zeros(m)
    u = np.zeros(m)
    Siv = np.zeros(m)
    PCt = np.zeros((n, m))
    K = np.zeros((n, m))
    fb = np.zeros(m)
    bb = np.zeros(m)
    IKC = np.zeros((n, n))
    KR = np.zeros((n, m))
    const = m * LN_2PI
    loglik = 0.0

    for t in range(T):
        # prediction
        for i in range(n):
            s = 0.0
            for j in range(n):
                s += A[i, j] * x[j]
            xp[i] = s
        for i in range(n):
            for j in range(n):
                s = 0.0
                for l in range(n):
                    s += A[i, l] * P[l, j]
                AP[i, j] = s
        for i in range(n):
            for j in range(n):
                s = BQBT[i, j]
                for l in range(n):
                    s += AP[i, l] * A[j, l]
                Pp[i, j] = s
        if symmetrize:
            symmetrize_(Pp)
        # innovation and its covariance
        for i in range(m):
            s = d[i]
            for j in range(n):
                s += C[i, j] * xp[j]
            yp[i] = s
            v[i] = y[t, i] - s
        for i in range(m):
            for j in range(n):
                s = 0.0
                for l in range(n):
                    s += C[i, l] * Pp[l, j]
                CP[i, j] = s
        for i in range(m):
            for j in range(m):
                s = R[i, j]
                for l in range(n):
                    s += CP[i, l] * C[j, l]
                S[i, j] = s
        if symmetrize:
            symmetrize_(S)
        if not chol(S, jitter, L):
            raise LinAlgError("Innovation covariance is not positive definite.")
        forward(L, v, u)
        backward_t(L, u, Siv)
        # gain K = P C' S^-1, row by row from the factor
        for i in range(n):
            for j in range(m):
                s = 0.0
                for l in range(n):
                    s += Pp[i, l] * C[j, l]
                PCt[i, j] = s
        for i in range(n):
            forward(L, PCt[i], fb)
            backward_t(L, fb, bb)
            for j in range(m):
                K[i, j] = bb[j]
        # update, Joseph form
        for i in range(n):
            s = xp[i]
            for j in range(m):
                s += K[i, j] * v[j]
            xf[i] = s
        for i in range(n):
            for j in range(n):
                s = 0.0
                for l in range(m):
                    s += K[i, l] * C[l, j]
                IKC[i, j] = -s
            IKC[i, i] += 1.0
        for i in range(n):
            for j in range(n):
                s = 0.0
                for l in range(n):
                    s += IKC[i, l] * Pp[l, j]
                AP[i, j] = s
        for i in range(n):
            for j in range(m):
                s = 0.0
                for l in range(m):
                    s += K[i, l] * R[l, j]
                KR[i, j] = s
        for i in range(n):
            for j in range(n):
                s = 0.0
                for l in range(n):
                    s += AP[i, l] * IKC[j, l]
                s2 = 0.0
                for l in range(m):
                    s2 += KR[i, l] * K[j, l]
                Pf[i, j] = s + s2
        if symmetrize:
            symmetrize_(Pf)
        # log-likelihood
        q = 0.0
        for i in range(m):
            q += v[i] * Siv[i]
        loglik += -0.5 * (logdet(L) + const + q)
        if shock_T > 0:
            for i in range(k):
                s = 0.0
                for j in range(m):
                    s += M[i, j] * Siv[j]
                eps_h[t, i] = s
        if hist_T > 0:
            for i in range(m):
                s = d[i]
                for j in range(n):
                    s += C[i, j] * xf[j]
                y_filt_h[t, i] = s
            x_pred_h[t] = xp
            x_filt_h[t] = xf
            P_pred_h[t] = Pp
            P_filt_h[t] = Pf
            y_pred_h[t] = yp
            innov_h[t] = v
            std_innov_h[t] = u
            S_h[t] = S
        # the filtered moments are next period's prior
        x, xf = xf, x
        P, Pf = Pf, P

    out = (x_pred_h, x_filt_h, P_pred_h, P_filt_h, y_pred_h, y_filt_h, innov_h,
           std_innov_h, S_h, eps_h, loglik)
    return 0, (0.0, 0.0, 0.0), out


def _variant(fn, fastmath):
    """A compiled copy of `fn` with the given fastmath setting. The copy gets
    its own qualified name, so the two settings keep separate cache entries."""
    copy = types.FunctionType(fn.__code__, fn.__globals__, fn.__name__, fn.__defaults__,
                              fn.__closure__)
    copy.__qualname__ = f"{fn.__qualname__}_{'fastmath' if fastmath else 'strict'}"
    copy.__module__ = fn.__module__
    return njit(fastmath=fastmath, cache=True)(copy)


def make_kalman_hot_loop(fastmath):
    return _variant(kalman_hot_loop, fastmath)


def make_ukf_hot_loop(fastmath):
    @njit(fastmath=fastmath)
    def sigma_points(mean, L, gamma, sig):
        n = mean.shape[0]
        for j in range(n):
            sig[0, j] = mean[j]
        for col in range(n):
            for row in range(n):
                delta = gamma * L[row, col]
                sig[1 + col, row] = mean[row] + delta
                sig[1 + n + col, row] = mean[row] - delta

    @njit(fastmath=fastmath)
    def transition(hx, hxx, hss, z, out):
        ns = hx.shape[0]
        for i in range(ns):
            s1 = 0.0
            s2 = 0.5 * hss[i]
            for j in range(ns):
                s1 += hx[i, j] * z[j]
                s2 += hx[i, j] * z[ns + j]
            for j in range(ns):
                for k in range(ns):
                    s2 += 0.5 * hxx[i, j, k] * z[j] * z[k]
            out[i] = s1
            out[ns + i] = s2

    @njit(fastmath=fastmath)
    def project(gx, gxx, gss, ss, z, P, vars_):
        """Model variables in levels at z; with P given (history rows) the
        controls carry the expected second-order term."""
        ns = z.shape[0] // 2
        nc = gss.shape[0]
        for i in range(ns):
            vars_[i] = ss[i] + z[i] + z[ns + i]
        for c in range(nc):
            s = 0.5 * gss[c]
            for j in range(ns):
                s += gx[c, j] * (z[j] + z[ns + j])
            for j in range(ns):
                for k in range(ns):
                    m2 = z[j] * z[k]
                    if P.shape[0] > 0:
                        m2 += P[j, k]
                    s += 0.5 * gxx[c, j, k] * m2
            vars_[ns + c] = ss[ns + c] + s

    @njit(fastmath=fastmath)
    def weighted_mean(sig, w0, wi, out):
        n_sig, n = sig.shape
        for j in range(n):
            s = w0 * sig[0, j]
            for r in range(1, n_sig):
                s += wi * sig[r, j]
            out[j] = s

    @njit(fastmath=fastmath)
    def weighted_cov(sig, mean, w0, wi, out):
        n_sig, n = sig.shape
        for i in range(n):
            for j in range(n):
                out[i, j] = 0.0
        for r in range(n_sig):
            w = w0 if r == 0 else wi
            for i in range(n):
                di = (sig[r, i] - mean[i]) * w
                for j in range(n):
                    out[i, j] += di * (sig[r, j] - mean[j])

    @njit(fastmath=fastmath)
    def ukf_hot_loop(meas, hx, gx, bx, hxx, gxx, hss, gss, steady_state, params, Q, R,
                     obs, z0, P0, alpha, beta, kappa, jitter, symmetrize=True,
                     store_history=True):
        ns = hx.shape[0]
        nc = gx.shape[0]
        ne = bx.shape[1]
        no = obs.shape[1]
        T = obs.shape[0]
        nz = 2 * ns
        nv = ns + nc
        n_sig = 2 * nz + 1
        hist_T = T if store_history else 0

        x1_pred_h = np.zeros((hist_T, ns))
        x2_pred_h = np.zeros((hist_T, ns))
        x1_filt_h = np.zeros((hist_T, ns))
        x2_filt_h = np.zeros((hist_T, ns))
        x_pred_h = np.zeros((hist_T, nv))
        x_filt_h = np.zeros((hist_T, nv))
        P_pred_h = np.zeros((hist_T, nz, nz))
        P_filt_h = np.zeros((hist_T, nz, nz))
        y_pred_h = np.zeros((hist_T, no))
        y_filt_h = np.zeros((hist_T, no))
        innov_h = np.zeros((hist_T, no))
        std_innov_h = np.zeros((hist_T, no))
        S_h = np.zeros((hist_T, no, no))

        lam = alpha * alpha * (nz + kappa) - nz
        scale = nz + lam
        if not (scale > 0.0) or not math.isfinite(scale):
            raise LinAlgError("UKF covariance is not positive definite.")
        gamma = math.sqrt(scale)
        w0_m = lam / scale
        w0_c = w0_m + (1.0 - alpha * alpha + beta)
        wi = 1.0 / (2.0 * scale)

        BQBT = np.zeros((ns, ns))
        for i in range(ns):
            for j in range(ns):
                s = 0.0
                for a in range(ne):
                    for b in range(ne):
                        s += bx[i, a] * Q[a, b] * bx[j, b]
                BQBT[i, j] = s
        symmetrize_(BQBT)

        z = z0.copy()
        P = P0.copy()
        z_pred = np.zeros(nz)
        z_filt = np.zeros(nz)
        P_pred = np.zeros((nz, nz))
        P_filt = np.zeros((nz, nz))
        P_chol = np.zeros((nz, nz))
        sig = np.zeros((n_sig, nz))
        sig_next = np.zeros((n_sig, nz))
        sig_y = np.zeros((n_sig, no))
        y_pred = np.zeros(no)
        v = np.zeros(no)
        u = np.zeros(no)
        Siv = np.zeros(no)
        S = np.zeros((no, no))
        L = np.zeros((no, no))
        Pzy = np.zeros((nz, no))
        K = np.zeros((nz, no))
        fb = np.zeros(no)
        bb = np.zeros(no)
        vars_ = np.zeros(nv)
        no_cov = np.zeros((0, 0))
        const = no * LN_2PI
        loglik = 0.0

        for t in range(T):
            # predict: propagate sigma points of the previous filtered moments
            if not chol(P, jitter, P_chol):
                raise LinAlgError("UKF covariance is not positive definite.")
            sigma_points(z, P_chol, gamma, sig)
            for r in range(n_sig):
                transition(hx, hxx, hss, sig[r], sig_next[r])
            weighted_mean(sig_next, w0_m, wi, z_pred)
            weighted_cov(sig_next, z_pred, w0_c, wi, P_pred)
            for i in range(ns):
                for j in range(ns):
                    P_pred[i, j] += BQBT[i, j]
            if symmetrize:
                symmetrize_(P_pred)
            # measure: fresh sigma points of the predicted moments
            if not chol(P_pred, jitter, P_chol):
                raise LinAlgError("UKF covariance is not positive definite.")
            sigma_points(z_pred, P_chol, gamma, sig)
            for r in range(n_sig):
                project(gx, gxx, gss, steady_state, sig[r], no_cov, vars_)
                meas(vars_, params, sig_y[r])
            weighted_mean(sig_y, w0_m, wi, y_pred)
            for i in range(no):
                for j in range(no):
                    S[i, j] = 0.0
            for i in range(nz):
                for j in range(no):
                    Pzy[i, j] = 0.0
            for r in range(n_sig):
                w = w0_c if r == 0 else wi
                for i in range(no):
                    di = (sig_y[r, i] - y_pred[i]) * w
                    for j in range(no):
                        S[i, j] += di * (sig_y[r, j] - y_pred[j])
                for i in range(nz):
                    di = (sig[r, i] - z_pred[i]) * w
                    for j in range(no):
                        Pzy[i, j] += di * (sig_y[r, j] - y_pred[j])
            for i in range(no):
                for j in range(no):
                    S[i, j] += R[i, j]
            if symmetrize:
                symmetrize_(S)
            # update
            for i in range(no):
                v[i] = obs[t, i] - y_pred[i]
            if not chol(S, jitter, L):
                raise LinAlgError("UKF covariance is not positive definite.")
            forward(L, v, u)
            backward_t(L, u, Siv)
            for i in range(nz):
                forward(L, Pzy[i], fb)
                backward_t(L, fb, bb)
                for j in range(no):
                    K[i, j] = bb[j]
            for i in range(nz):
                s = z_pred[i]
                for j in range(no):
                    s += K[i, j] * v[j]
                z_filt[i] = s
            for i in range(nz):
                for j in range(nz):
                    s = 0.0
                    for l in range(no):
                        s += K[i, l] * Pzy[j, l]
                    P_filt[i, j] = P_pred[i, j] - s
            if symmetrize:
                symmetrize_(P_filt)
            q = 0.0
            for i in range(no):
                q += v[i] * Siv[i]
            loglik += -0.5 * (logdet(L) + const + q)
            if hist_T > 0:
                x1_pred_h[t] = z_pred[:ns]
                x2_pred_h[t] = z_pred[ns:]
                x1_filt_h[t] = z_filt[:ns]
                x2_filt_h[t] = z_filt[ns:]
                project(gx, gxx, gss, steady_state, z_pred, P_pred, x_pred_h[t])
                project(gx, gxx, gss, steady_state, z_filt, P_filt, x_filt_h[t])
                P_pred_h[t] = P_pred
                P_filt_h[t] = P_filt
                y_pred_h[t] = y_pred
                meas(x_filt_h[t], params, y_filt_h[t])
                innov_h[t] = v
                std_innov_h[t] = u
                S_h[t] = S
            z, z_filt = z_filt, z
            P, P_filt = P_filt, P

        out = (x1_pred_h, x2_pred_h, x1_filt_h, x2_filt_h, x_pred_h, x_filt_h, P_pred_h,
               P_filt_h, y_pred_h, y_filt_h, innov_h, std_innov_h, S_h, loglik)
        return 0, (0.0, 0.0, 0.0), out

    return ukf_hot_loop
