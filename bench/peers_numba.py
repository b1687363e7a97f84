"""The two filter loops written the way a careful numba user would write them:
plain NumPy arrays, explicit loops or np.dot, @njit. Same parameter lists and
result layouts as the library's `kalman_hot_loop` and `ukf_hot_loop`, so the
benchmark can call either one the same way.

The linear filter comes in three styles of the same algorithm (Joseph-form
update, gain from the Cholesky factor of the innovation covariance), which
differ only in how the products of a period are written:

* "loops": every product in the dot order (i, j, l), an inner reduction over
  l, which stays scalar (and without fastmath, unfused);
* "axpy": every product in the order (i, l, j), out[i, :] += a[i, l] * b[l, :],
  whose inner loop runs along contiguous rows with nothing to reassociate,
  so LLVM vectorises it with or without fastmath. The transposes the
  products need are built once (A', C') or formed directly: (I - KC)' as
  I - C'K', and the gain transposed, K' = S^-1 C Pp, by solves along rows;
* "dot": every product through np.dot(a, b, out), which numba hands to the
  BLAS that SciPy is linked against (OpenBLAS here), with no allocation;
  the small factorisation and solves are the hand-written ones.

Each style has two entry points, each one whole function (a period split
into a separate function costs the small models a third more in numba,
through the arrays passed at every call):

* `kf_<style>_full(...)`: kalman_hot_loop's parameters and result tuple,
  with the whole history (and the structural shocks when asked for);
* `kf_<style>_loglik(T, nmk, A, B, C, d, Q, R, y, x0, P0, symmetrize,
  jitter)`: the log-likelihood alone, as an optimiser calls it. It
  allocates no history and returns one float.

`make_kalman(style, fastmath)` compiles both for one fastmath setting, with
cache=True (later runs load them from bench/__pycache__). The small helpers
(factorisation, solves, symmetrisation) are compiled once per fastmath
setting and bound to the functions that call them, so the setting reaches
them too; every compiled copy has a name of its own, so that the variants
keep separate cache entries.

`make_ukf_hot_loop(fastmath)` returns the unscented loop. Its measurement is
a numba function `meas(vars, params, out)` passed as the first argument
(where the library takes a cfunc address). It takes a numba function as an
argument, which numba's cache cannot key on, so it is built by a factory
(its sigma-point, transition and covariance helpers carry the same fastmath
setting; the factorisation and solves are the strict shared ones) and
compiled afresh on every run.
"""

import math
import types

import numpy as np
from numba import njit
from numpy.linalg import LinAlgError

LN_2PI = 1.8378770664093453


# ---- small dense helpers ----------------------------------------------------------
# Plain functions here; helpers(fastmath) compiles them.

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


def forward(L, b, out):
    n = L.shape[0]
    for i in range(n):
        s = b[i]
        for j in range(i):
            s -= L[i, j] * out[j]
        out[i] = s / L[i, i]


def backward_t(L, b, out):
    """Solves L^T out = b."""
    n = L.shape[0]
    for i in range(n - 1, -1, -1):
        s = b[i]
        for j in range(i + 1, n):
            s -= L[j, i] * out[j]
        out[i] = s / L[i, i]


def symmetrize_(P):
    n = P.shape[0]
    for i in range(n):
        for j in range(i + 1, n):
            a = 0.5 * (P[i, j] + P[j, i])
            P[i, j] = a
            P[j, i] = a


def logdet(L):
    s = 0.0
    for i in range(L.shape[0]):
        s += math.log(L[i, i])
    return 2.0 * s


def gain_rows(L, CP, Kt):
    """K' = S^-1 C Pp from L = chol(S): L W = C Pp, then L' K' = W, each
    step a whole row of n at a time."""
    m, n = CP.shape
    for i in range(m):
        for j in range(n):
            Kt[i, j] = CP[i, j]
        for p in range(i):
            a = L[i, p]
            for j in range(n):
                Kt[i, j] -= a * Kt[p, j]
        lii = L[i, i]
        for j in range(n):
            Kt[i, j] /= lii
    for i in range(m - 1, -1, -1):
        for p in range(i + 1, m):
            a = L[p, i]
            for j in range(n):
                Kt[i, j] -= a * Kt[p, j]
        lii = L[i, i]
        for j in range(n):
            Kt[i, j] /= lii


def transpose(X):
    r, c = X.shape
    Xt = np.empty((c, r))
    for i in range(c):
        for j in range(r):
            Xt[i, j] = X[j, i]
    return Xt


def bqbt(B, Q):
    """B Q B', symmetrised."""
    n, k = B.shape
    BQ = np.zeros((n, k))
    for i in range(n):
        for j in range(k):
            s = 0.0
            for l in range(k):
                s += B[i, l] * Q[l, j]
            BQ[i, j] = s
    out = np.zeros((n, n))
    for i in range(n):
        for j in range(n):
            s = 0.0
            for l in range(k):
                s += BQ[i, l] * B[j, l]
            out[i, j] = s
    symmetrize_(out)
    return out


def shock_projection(B, C, Q):
    """Q B' C' (k x m): the structural shocks are this times S^-1 v."""
    n, k = B.shape
    m = C.shape[0]
    BtCt = np.zeros((k, m))
    for i in range(k):
        for j in range(m):
            s = 0.0
            for l in range(n):
                s += B[l, i] * C[j, l]
            BtCt[i, j] = s
    M = np.zeros((k, m))
    for i in range(k):
        for j in range(m):
            s = 0.0
            for l in range(k):
                s += Q[i, l] * BtCt[l, j]
            M[i, j] = s
    return M


HELPERS = (chol, forward, backward_t, symmetrize_, logdet, gain_rows, transpose, bqbt,
           shock_projection)
_compiled_helpers = {}


def _compile(fn, scope, suffix, fastmath):
    """A compiled copy of `fn` that looks its globals up in `scope`, under a
    qualified name of its own (so each copy has its own cache entry)."""
    copy = types.FunctionType(fn.__code__, scope, fn.__name__, fn.__defaults__,
                              fn.__closure__)
    copy.__qualname__ = f"{fn.__qualname__}__{suffix}"
    copy.__module__ = fn.__module__
    return njit(fastmath=fastmath, cache=True)(copy)


def helpers(fastmath):
    """The small helpers compiled with one fastmath setting, bound to one
    another: name -> dispatcher."""
    if fastmath not in _compiled_helpers:
        scope = dict(globals())
        suffix = "fastmath" if fastmath else "strict"
        for fn in HELPERS:
            scope[fn.__name__] = _compile(fn, scope, suffix, fastmath)
        _compiled_helpers[fastmath] = {fn.__name__: scope[fn.__name__] for fn in HELPERS}
    return _compiled_helpers[fastmath]


# ---- the linear filter: three styles, each with the whole history and alone ----------

def kf_loops_full(T, nmk, A, B, C, d, Q, R, y, x0, P0, symmetrize, jitter,
                 return_shocks=False, store_history=True):
    """The whole history, every product in the dot order (i, j, l)."""
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
    M = shock_projection(B, C, Q) if shock_T > 0 else np.zeros((k, m))
    BQBT = bqbt(B, Q)
    x = x0.copy()
    P = P0.copy()
    xf = np.zeros(n)
    Pf = np.zeros((n, n))
    xp = np.zeros(n)
    Pp = np.zeros((n, n))
    yp = np.zeros(m)
    v = np.zeros(m)
    u = np.zeros(m)
    Siv = np.zeros(m)
    S = np.zeros((m, m))
    L = np.zeros((m, m))
    AP = np.zeros((n, n))
    IKC = np.zeros((n, n))
    CP = np.zeros((m, n))
    PCt = np.zeros((n, m))
    K = np.zeros((n, m))
    KR = np.zeros((n, m))
    fb = np.zeros(m)
    bb = np.zeros(m)
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
        # innovation covariance
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
        # innovation
        for i in range(m):
            s = d[i]
            for j in range(n):
                s += C[i, j] * xp[j]
            yp[i] = s
            v[i] = y[t, i] - s
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


def kf_loops_loglik(T, nmk, A, B, C, d, Q, R, y, x0, P0, symmetrize, jitter):
    """The log-likelihood alone, every product in the dot order (i, j, l)."""
    n, m, k = nmk[0], nmk[1], nmk[2]
    BQBT = bqbt(B, Q)
    x = x0.copy()
    P = P0.copy()
    xf = np.zeros(n)
    Pf = np.zeros((n, n))
    xp = np.zeros(n)
    Pp = np.zeros((n, n))
    yp = np.zeros(m)
    v = np.zeros(m)
    u = np.zeros(m)
    Siv = np.zeros(m)
    S = np.zeros((m, m))
    L = np.zeros((m, m))
    AP = np.zeros((n, n))
    IKC = np.zeros((n, n))
    CP = np.zeros((m, n))
    PCt = np.zeros((n, m))
    K = np.zeros((n, m))
    KR = np.zeros((n, m))
    fb = np.zeros(m)
    bb = np.zeros(m)
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
        # innovation covariance
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
        # innovation
        for i in range(m):
            s = d[i]
            for j in range(n):
                s += C[i, j] * xp[j]
            yp[i] = s
            v[i] = y[t, i] - s
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
        # the filtered moments are next period's prior
        x, xf = xf, x
        P, Pf = Pf, P
    return loglik


def kf_axpy_full(T, nmk, A, B, C, d, Q, R, y, x0, P0, symmetrize, jitter,
                return_shocks=False, store_history=True):
    """The whole history, every product in the axpy order (i, l, j)."""
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
    M = shock_projection(B, C, Q) if shock_T > 0 else np.zeros((k, m))
    BQBT = bqbt(B, Q)
    x = x0.copy()
    P = P0.copy()
    xf = np.zeros(n)
    Pf = np.zeros((n, n))
    xp = np.zeros(n)
    Pp = np.zeros((n, n))
    yp = np.zeros(m)
    v = np.zeros(m)
    u = np.zeros(m)
    Siv = np.zeros(m)
    S = np.zeros((m, m))
    L = np.zeros((m, m))
    At = transpose(A)
    Ct = transpose(C)
    W = np.zeros((n, n))
    IKCt = np.zeros((n, n))
    CP = np.zeros((m, n))
    Kt = np.zeros((m, n))
    KR = np.zeros((n, m))
    const = m * LN_2PI
    loglik = 0.0
    for t in range(T):
        # prediction: xp = A x, W = A P, Pp = B Q B' + W A'
        for j in range(n):
            xp[j] = 0.0
        for l in range(n):
            a = x[l]
            for j in range(n):
                xp[j] += a * At[l, j]
        for i in range(n):
            for j in range(n):
                W[i, j] = 0.0
            for l in range(n):
                a = A[i, l]
                for j in range(n):
                    W[i, j] += a * P[l, j]
        for i in range(n):
            for j in range(n):
                Pp[i, j] = BQBT[i, j]
            for l in range(n):
                a = W[i, l]
                for j in range(n):
                    Pp[i, j] += a * At[l, j]
        if symmetrize:
            symmetrize_(Pp)
        # innovation covariance S = R + (C Pp) C'
        for i in range(m):
            for j in range(n):
                CP[i, j] = 0.0
            for l in range(n):
                a = C[i, l]
                for j in range(n):
                    CP[i, j] += a * Pp[l, j]
        for i in range(m):
            for j in range(m):
                S[i, j] = R[i, j]
            for l in range(n):
                a = CP[i, l]
                for j in range(m):
                    S[i, j] += a * Ct[l, j]
        if symmetrize:
            symmetrize_(S)
        # innovation
        for i in range(m):
            s = d[i]
            for j in range(n):
                s += C[i, j] * xp[j]
            yp[i] = s
            v[i] = y[t, i] - s
        if not chol(S, jitter, L):
            raise LinAlgError("Innovation covariance is not positive definite.")
        forward(L, v, u)
        backward_t(L, u, Siv)
        # gain, transposed: K' = S^-1 C Pp
        gain_rows(L, CP, Kt)
        # update, Joseph form: xf = xp + K v, (I - KC)' = I - C' K'
        for j in range(n):
            xf[j] = xp[j]
        for l in range(m):
            a = v[l]
            for j in range(n):
                xf[j] += a * Kt[l, j]
        for i in range(n):
            for j in range(n):
                IKCt[i, j] = 0.0
            IKCt[i, i] = 1.0
            for l in range(m):
                a = Ct[i, l]
                for j in range(n):
                    IKCt[i, j] -= a * Kt[l, j]
        # W = (I - KC) Pp, KR = K R
        for i in range(n):
            for j in range(n):
                W[i, j] = 0.0
            for l in range(n):
                a = IKCt[l, i]
                for j in range(n):
                    W[i, j] += a * Pp[l, j]
        for i in range(n):
            for j in range(m):
                KR[i, j] = 0.0
            for l in range(m):
                a = Kt[l, i]
                for j in range(m):
                    KR[i, j] += a * R[l, j]
        # Pf = W (I - KC)' + KR K'
        for i in range(n):
            for j in range(n):
                Pf[i, j] = 0.0
            for l in range(n):
                a = W[i, l]
                for j in range(n):
                    Pf[i, j] += a * IKCt[l, j]
            for l in range(m):
                a = KR[i, l]
                for j in range(n):
                    Pf[i, j] += a * Kt[l, j]
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


def kf_axpy_loglik(T, nmk, A, B, C, d, Q, R, y, x0, P0, symmetrize, jitter):
    """The log-likelihood alone, every product in the axpy order (i, l, j)."""
    n, m, k = nmk[0], nmk[1], nmk[2]
    BQBT = bqbt(B, Q)
    x = x0.copy()
    P = P0.copy()
    xf = np.zeros(n)
    Pf = np.zeros((n, n))
    xp = np.zeros(n)
    Pp = np.zeros((n, n))
    yp = np.zeros(m)
    v = np.zeros(m)
    u = np.zeros(m)
    Siv = np.zeros(m)
    S = np.zeros((m, m))
    L = np.zeros((m, m))
    At = transpose(A)
    Ct = transpose(C)
    W = np.zeros((n, n))
    IKCt = np.zeros((n, n))
    CP = np.zeros((m, n))
    Kt = np.zeros((m, n))
    KR = np.zeros((n, m))
    const = m * LN_2PI
    loglik = 0.0
    for t in range(T):
        # prediction: xp = A x, W = A P, Pp = B Q B' + W A'
        for j in range(n):
            xp[j] = 0.0
        for l in range(n):
            a = x[l]
            for j in range(n):
                xp[j] += a * At[l, j]
        for i in range(n):
            for j in range(n):
                W[i, j] = 0.0
            for l in range(n):
                a = A[i, l]
                for j in range(n):
                    W[i, j] += a * P[l, j]
        for i in range(n):
            for j in range(n):
                Pp[i, j] = BQBT[i, j]
            for l in range(n):
                a = W[i, l]
                for j in range(n):
                    Pp[i, j] += a * At[l, j]
        if symmetrize:
            symmetrize_(Pp)
        # innovation covariance S = R + (C Pp) C'
        for i in range(m):
            for j in range(n):
                CP[i, j] = 0.0
            for l in range(n):
                a = C[i, l]
                for j in range(n):
                    CP[i, j] += a * Pp[l, j]
        for i in range(m):
            for j in range(m):
                S[i, j] = R[i, j]
            for l in range(n):
                a = CP[i, l]
                for j in range(m):
                    S[i, j] += a * Ct[l, j]
        if symmetrize:
            symmetrize_(S)
        # innovation
        for i in range(m):
            s = d[i]
            for j in range(n):
                s += C[i, j] * xp[j]
            yp[i] = s
            v[i] = y[t, i] - s
        if not chol(S, jitter, L):
            raise LinAlgError("Innovation covariance is not positive definite.")
        forward(L, v, u)
        backward_t(L, u, Siv)
        # gain, transposed: K' = S^-1 C Pp
        gain_rows(L, CP, Kt)
        # update, Joseph form: xf = xp + K v, (I - KC)' = I - C' K'
        for j in range(n):
            xf[j] = xp[j]
        for l in range(m):
            a = v[l]
            for j in range(n):
                xf[j] += a * Kt[l, j]
        for i in range(n):
            for j in range(n):
                IKCt[i, j] = 0.0
            IKCt[i, i] = 1.0
            for l in range(m):
                a = Ct[i, l]
                for j in range(n):
                    IKCt[i, j] -= a * Kt[l, j]
        # W = (I - KC) Pp, KR = K R
        for i in range(n):
            for j in range(n):
                W[i, j] = 0.0
            for l in range(n):
                a = IKCt[l, i]
                for j in range(n):
                    W[i, j] += a * Pp[l, j]
        for i in range(n):
            for j in range(m):
                KR[i, j] = 0.0
            for l in range(m):
                a = Kt[l, i]
                for j in range(m):
                    KR[i, j] += a * R[l, j]
        # Pf = W (I - KC)' + KR K'
        for i in range(n):
            for j in range(n):
                Pf[i, j] = 0.0
            for l in range(n):
                a = W[i, l]
                for j in range(n):
                    Pf[i, j] += a * IKCt[l, j]
            for l in range(m):
                a = KR[i, l]
                for j in range(n):
                    Pf[i, j] += a * Kt[l, j]
        if symmetrize:
            symmetrize_(Pf)
        # log-likelihood
        q = 0.0
        for i in range(m):
            q += v[i] * Siv[i]
        loglik += -0.5 * (logdet(L) + const + q)
        # the filtered moments are next period's prior
        x, xf = xf, x
        P, Pf = Pf, P
    return loglik


def kf_dot_full(T, nmk, A, B, C, d, Q, R, y, x0, P0, symmetrize, jitter,
               return_shocks=False, store_history=True):
    """The whole history, every product through np.dot into a buffer (BLAS)."""
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
    M = shock_projection(B, C, Q) if shock_T > 0 else np.zeros((k, m))
    BQBT = bqbt(B, Q)
    x = x0.copy()
    P = P0.copy()
    xf = np.zeros(n)
    Pf = np.zeros((n, n))
    xp = np.zeros(n)
    Pp = np.zeros((n, n))
    yp = np.zeros(m)
    v = np.zeros(m)
    u = np.zeros(m)
    Siv = np.zeros(m)
    S = np.zeros((m, m))
    L = np.zeros((m, m))
    At = transpose(A)
    Ct = transpose(C)
    W = np.zeros((n, n))
    W2 = np.zeros((n, n))
    IKCt = np.zeros((n, n))
    CP = np.zeros((m, n))
    Kt = np.zeros((m, n))
    KR = np.zeros((n, m))
    const = m * LN_2PI
    loglik = 0.0
    for t in range(T):
        # prediction
        np.dot(A, x, xp)
        np.dot(A, P, W)
        np.dot(W, At, Pp)
        for i in range(n):
            for j in range(n):
                Pp[i, j] += BQBT[i, j]
        if symmetrize:
            symmetrize_(Pp)
        # innovation covariance
        np.dot(C, Pp, CP)
        np.dot(CP, Ct, S)
        for i in range(m):
            for j in range(m):
                S[i, j] += R[i, j]
        if symmetrize:
            symmetrize_(S)
        # innovation
        for i in range(m):
            s = d[i]
            for j in range(n):
                s += C[i, j] * xp[j]
            yp[i] = s
            v[i] = y[t, i] - s
        if not chol(S, jitter, L):
            raise LinAlgError("Innovation covariance is not positive definite.")
        forward(L, v, u)
        backward_t(L, u, Siv)
        # gain, transposed: K' = S^-1 C Pp
        gain_rows(L, CP, Kt)
        # update, Joseph form: (I - KC)' = I - C' K'
        np.dot(v, Kt, xf)
        for j in range(n):
            xf[j] += xp[j]
        np.dot(Ct, Kt, IKCt)
        for i in range(n):
            for j in range(n):
                IKCt[i, j] = -IKCt[i, j]
            IKCt[i, i] += 1.0
        np.dot(IKCt.T, Pp, W)
        np.dot(W, IKCt, W2)
        np.dot(Kt.T, R, KR)
        np.dot(KR, Kt, Pf)
        for i in range(n):
            for j in range(n):
                Pf[i, j] += W2[i, j]
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


def kf_dot_loglik(T, nmk, A, B, C, d, Q, R, y, x0, P0, symmetrize, jitter):
    """The log-likelihood alone, every product through np.dot into a buffer (BLAS)."""
    n, m, k = nmk[0], nmk[1], nmk[2]
    BQBT = bqbt(B, Q)
    x = x0.copy()
    P = P0.copy()
    xf = np.zeros(n)
    Pf = np.zeros((n, n))
    xp = np.zeros(n)
    Pp = np.zeros((n, n))
    yp = np.zeros(m)
    v = np.zeros(m)
    u = np.zeros(m)
    Siv = np.zeros(m)
    S = np.zeros((m, m))
    L = np.zeros((m, m))
    At = transpose(A)
    Ct = transpose(C)
    W = np.zeros((n, n))
    W2 = np.zeros((n, n))
    IKCt = np.zeros((n, n))
    CP = np.zeros((m, n))
    Kt = np.zeros((m, n))
    KR = np.zeros((n, m))
    const = m * LN_2PI
    loglik = 0.0
    for t in range(T):
        # prediction
        np.dot(A, x, xp)
        np.dot(A, P, W)
        np.dot(W, At, Pp)
        for i in range(n):
            for j in range(n):
                Pp[i, j] += BQBT[i, j]
        if symmetrize:
            symmetrize_(Pp)
        # innovation covariance
        np.dot(C, Pp, CP)
        np.dot(CP, Ct, S)
        for i in range(m):
            for j in range(m):
                S[i, j] += R[i, j]
        if symmetrize:
            symmetrize_(S)
        # innovation
        for i in range(m):
            s = d[i]
            for j in range(n):
                s += C[i, j] * xp[j]
            yp[i] = s
            v[i] = y[t, i] - s
        if not chol(S, jitter, L):
            raise LinAlgError("Innovation covariance is not positive definite.")
        forward(L, v, u)
        backward_t(L, u, Siv)
        # gain, transposed: K' = S^-1 C Pp
        gain_rows(L, CP, Kt)
        # update, Joseph form: (I - KC)' = I - C' K'
        np.dot(v, Kt, xf)
        for j in range(n):
            xf[j] += xp[j]
        np.dot(Ct, Kt, IKCt)
        for i in range(n):
            for j in range(n):
                IKCt[i, j] = -IKCt[i, j]
            IKCt[i, i] += 1.0
        np.dot(IKCt.T, Pp, W)
        np.dot(W, IKCt, W2)
        np.dot(Kt.T, R, KR)
        np.dot(KR, Kt, Pf)
        for i in range(n):
            for j in range(n):
                Pf[i, j] += W2[i, j]
        if symmetrize:
            symmetrize_(Pf)
        # log-likelihood
        q = 0.0
        for i in range(m):
            q += v[i] * Siv[i]
        loglik += -0.5 * (logdet(L) + const + q)
        # the filtered moments are next period's prior
        x, xf = xf, x
        P, Pf = Pf, P
    return loglik


KF_STYLES = ("loops", "axpy", "dot")


def make_kalman(style, fastmath):
    """Compiles one style of the linear filter with one fastmath setting: a
    namespace with `full` (kalman_hot_loop's parameters and results) and
    `loglik` (the first thirteen parameters; returns the log-likelihood)."""
    scope = dict(globals())
    scope.update(helpers(fastmath))
    suffix = "fastmath" if fastmath else "strict"
    return types.SimpleNamespace(
        style=style, fastmath=fastmath,
        full=_compile(globals()[f"kf_{style}_full"], scope, suffix, fastmath),
        loglik=_compile(globals()[f"kf_{style}_loglik"], scope, suffix, fastmath))


# ---- the unscented filter ---------------------------------------------------------------

def make_ukf_hot_loop(fastmath):
    h = helpers(False)
    chol, forward, backward_t = h["chol"], h["forward"], h["backward_t"]
    symmetrize_, logdet = h["symmetrize_"], h["logdet"]

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
