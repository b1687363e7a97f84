"""Plain-Python model of the real kernels and of the linear Kalman filter.

Every array is a flat Python list (row-major) that the functions read and
write in place, exactly like the native routines do with their buffers, so a
test can pre-fill outputs and see which elements were written. All arithmetic
is on Python floats: sums use one accumulator, ascending indices and one
`math.fma` per term; every other operation is a single IEEE operation. The
wrappers below only turn Python's exceptions for IEEE special cases (division
by zero, log of zero, invalid fma) back into the IEEE results.
"""

import math
from fractions import Fraction

INF = math.inf
NAN = math.nan
LN_2PI = 1.8378770664093453
EPS = 2.0 ** -52

KF_OK, KF_ERR_NOT_PD, KF_ERR_ALLOC = 0, -3, -5


# ---- IEEE helpers ---------------------------------------------------------

def fma(x, y, z):
    """x*y + z with one rounding; NaN/inf results as the hardware gives them."""
    try:
        return math.fma(x, y, z)
    except ValueError:            # inf*0, or inf - inf
        return NAN
    except OverflowError:         # finite inputs, result rounds to +-inf
        exact = Fraction(x) * Fraction(y) + Fraction(z)
        return INF if exact > 0 else -INF


def div(a, b):
    if b != 0.0:
        return a / b
    if a != a or a == 0.0:
        return NAN
    return math.copysign(INF, a) * math.copysign(1.0, b)


def log(x):
    if x != x or x > 0.0:
        return math.log(x)
    return -INF if x == 0.0 else NAN


def sqrt(x):
    return math.sqrt(x) if (x != x or x >= 0.0) else NAN


# ---- products and vector operations ---------------------------------------

def orv_zero_mat(out, r, c):
    if r > 0 and c > 0:
        for i in range(r * c):
            out[i] = 0.0


def orv_sym_inplace(P, n):
    for i in range(n):
        for j in range(i + 1, n):
            avg = 0.5 * (P[i * n + j] + P[j * n + i])
            P[i * n + j] = avg
            P[j * n + i] = avg


def orv_matmul(A, B, out, n, p, m):
    if n <= 0 or m <= 0:
        return
    for i in range(n):
        for j in range(m):
            s = 0.0
            for k in range(p):
                s = fma(A[i * p + k], B[k * m + j], s)
            out[i * m + j] = s


def orv_matmul_atb(A, B, out, n, p, m):
    orv_zero_mat(out, p, m)
    if n <= 0 or p <= 0 or m <= 0:
        return
    for i in range(n):
        for k in range(p):
            aik = A[i * p + k]
            for l in range(m):
                out[k * m + l] = fma(aik, B[i * m + l], out[k * m + l])


def _abt_sum(A, B, i, j, p):
    s = 0.0
    for k in range(p):
        s = fma(A[i * p + k], B[j * p + k], s)
    return s


def orv_matmul_abt(A, B, out, n, p, m):
    if n <= 0 or m <= 0:
        return
    for i in range(n):
        for j in range(m):
            out[i * m + j] = _abt_sum(A, B, i, j, p)


def orv_matmul_abt_plus_c(A, B, C, out, n, p, m):
    if n <= 0 or m <= 0:
        return
    for i in range(n):
        for j in range(m):
            out[i * m + j] = C[i * m + j] + _abt_sum(A, B, i, j, p)


def orv_matvec(A, x, out, n, m):
    for i in range(n):
        s = 0.0
        for j in range(m):
            s = fma(A[i * m + j], x[j], s)
        out[i] = s


def orv_matvec_plus_vec(A, x, b, out, n, m):
    for i in range(n):
        s = b[i]
        for j in range(m):
            s = fma(A[i * m + j], x[j], s)
        out[i] = s


def orv_vsub(a, b, out, n):
    for i in range(n):
        out[i] = a[i] - b[i]


def orv_dot(a, b, n):
    s = 0.0
    for i in range(n):
        s = fma(a[i], b[i], s)
    return s


# ---- Cholesky factorisation and triangular solves -------------------------

def orv_chol(S, jitter, L, n):
    orv_zero_mat(L, n, n)
    if n <= 0:
        return 0
    add = jitter > 0.0
    scale = 0.0
    for i in range(n):
        d = S[i * n + i] + jitter if add else S[i * n + i]
        if d > scale:
            scale = d
    pivot_tol = (float(n) * scale) * EPS
    for i in range(n):
        for j in range(i + 1):
            s = S[i * n + j]
            if j == i and add:
                s = s + jitter
            for k in range(j):
                s = fma(-L[i * n + k], L[j * n + k], s)
            if j == i:
                if s <= pivot_tol:
                    return -1
                L[i * n + i] = sqrt(s)
            else:
                L[i * n + j] = div(s, L[j * n + j])
    return 0


def orv_logdet_from_chol(L, n):
    s = 0.0
    for i in range(n):
        s = s + log(L[i * n + i])
    return s + s


def orv_forward_subst(L, b, out, n):
    for i in range(n):
        s = 0.0
        for j in range(i):
            s = fma(L[i * n + j], out[j], s)
        out[i] = div(b[i] - s, L[i * n + i])


def orv_backward_subst_chol_t(L, b, out, n):
    for i in range(n - 1, -1, -1):
        s = 0.0
        for j in range(i + 1, n):
            s = fma(L[j * n + i], out[j], s)
        out[i] = div(b[i] - s, L[i * n + i])


# ---- Kalman filter step kernels --------------------------------------------

def kf_row_minus_vec(A, row, x, out, m):
    for i in range(m):
        out[i] = A[row * m + i] - x[i]


def kf_chol_solve_row(L, B, row, fbuf, bbuf, out, n):
    if n <= 0:
        return
    orv_forward_subst(L, B[row * n:row * n + n], fbuf, n)
    orv_backward_subst_chol_t(L, fbuf, bbuf, n)
    out[row * n:row * n + n] = bbuf[:n]


def kf_predict_cov(A, P_prev, BQBT, temp_nn, out, n):
    orv_matmul(A, P_prev, temp_nn, n, n, n)
    orv_matmul_abt_plus_c(temp_nn, A, BQBT, out, n, n, n)


def kf_measurement_cov(C, P_pred, R, temp_mn, out, n, m):
    orv_matmul(C, P_pred, temp_mn, m, n, n)
    orv_matmul_abt_plus_c(temp_mn, C, R, out, m, n, m)


def kf_pc_t(P_pred, C, out, n, m):
    for i in range(n):
        for j in range(m):
            out[i * m + j] = _abt_sum(P_pred, C, i, j, n)


def kf_gain_from_pc_t(L, PCt, fbuf, bbuf, out, n, m):
    for r in range(n):
        kf_chol_solve_row(L, PCt, r, fbuf, bbuf, out, m)


def kf_state_update(x_pred, K, v, out, n, m):
    orv_matvec_plus_vec(K, v, x_pred, out, n, m)


def kf_identity_minus(A, out, n):
    for i in range(n):
        for j in range(n):
            out[i * n + j] = -A[i * n + j]
        out[i * n + i] = out[i * n + i] + 1.0


def kf_joseph_cov(K, C, P_pred, R, KC, I_minus_KC, temp_nn, temp_nm, out, n, m):
    orv_matmul(K, C, KC, n, m, n)
    kf_identity_minus(KC, I_minus_KC, n)
    orv_matmul(I_minus_KC, P_pred, temp_nn, n, n, n)
    orv_matmul_abt(temp_nn, I_minus_KC, out, n, n, n)
    orv_matmul(K, R, temp_nm, n, m, m)
    for i in range(n):
        for j in range(n):
            out[i * n + j] = out[i * n + j] + _abt_sum(temp_nm, K, i, j, m)


def kf_build_bqbt(B, Q, temp_nk, out, n, k):
    orv_matmul(B, Q, temp_nk, n, k, k)
    for i in range(n):
        for j in range(n):
            out[i * n + j] = _abt_sum(temp_nk, B, i, j, k)
    orv_sym_inplace(out, n)


def kf_build_shock_projection(B, C, Q, temp_km, out, n, k, m):
    for i in range(k):
        for j in range(m):
            s = 0.0
            for l in range(n):
                s = fma(B[l * k + i], C[j * n + l], s)
            temp_km[i * m + j] = s
    orv_matmul(Q, temp_km, out, k, k, m)


# ---- the whole filter -----------------------------------------------------

def scratch_size(n, m, k):
    return 2 * n + 7 * m + 6 * n * n + 2 * m * m + 4 * n * m + n * k + 2 * k * m


def kf_hot_loop(inp, out):
    """inp: dict with n, m, k, T, the model lists A..P0 and the four settings.
    out: dict with the ten history lists (or None) and 'loglik', a one-element
    list. Returns (status, number of periods completed)."""
    n, m, k, T = inp["n"], inp["m"], inp["k"], inp["T"]
    if min(n, m, k) < 0 or scratch_size(n, m, k) * 8 >= 2 ** 63:
        return KF_ERR_ALLOC, 0
    A, B, C, d, Q, R, y = (inp[key] for key in "A B C d Q R y".split())
    symmetrize, jitter = inp["symmetrize"], inp["jitter"]
    history = bool(inp["store_history"])
    shocks = history and bool(inp["return_shocks"])
    z = lambda size: [0.0] * size  # noqa: E731

    x_pred, x_filt = z(n), z(n)
    y_pred, y_filt, v, u, S_inv_v, fbuf, bbuf = (z(m) for _ in range(7))
    P_pred, P_filt, KC, IKC, temp_nn, BQBT = (z(n * n) for _ in range(6))
    S, L = z(m * m), z(m * m)
    PCt, K, temp_nm, temp_mn = (z(n * m) for _ in range(4))
    temp_nk, M, temp_km = z(n * k), z(k * m), z(k * m)

    kf_build_bqbt(B, Q, temp_nk, BQBT, n, k)
    if shocks:
        kf_build_shock_projection(B, C, Q, temp_km, M, n, k, m)
    const_term = float(m) * LN_2PI
    loglik = 0.0
    x_prev, P_prev = inp["x0"], inp["P0"]
    status, t = KF_OK, 0
    while t < T:
        orv_matvec(A, x_prev, x_pred, n, n)
        kf_predict_cov(A, P_prev, BQBT, temp_nn, P_pred, n)
        if symmetrize:
            orv_sym_inplace(P_pred, n)
        orv_matvec_plus_vec(C, x_pred, d, y_pred, m, n)
        kf_row_minus_vec(y, t, y_pred, v, m)
        kf_measurement_cov(C, P_pred, R, temp_mn, S, n, m)
        if symmetrize:
            orv_sym_inplace(S, m)
        if orv_chol(S, jitter, L, m) != 0:
            status = KF_ERR_NOT_PD
            break
        orv_forward_subst(L, v, u, m)
        orv_backward_subst_chol_t(L, u, S_inv_v, m)
        kf_pc_t(P_pred, C, PCt, n, m)
        kf_gain_from_pc_t(L, PCt, fbuf, bbuf, K, n, m)
        kf_state_update(x_pred, K, v, x_filt, n, m)
        kf_joseph_cov(K, C, P_pred, R, KC, IKC, temp_nn, temp_nm, P_filt, n, m)
        if symmetrize:
            orv_sym_inplace(P_filt, n)
        a = orv_logdet_from_chol(L, m) + const_term
        a = a + orv_dot(v, S_inv_v, m)
        loglik = fma(-0.5, a, loglik)
        if shocks:
            row = z(k)
            orv_matvec(M, S_inv_v, row, k, m)
            out["eps_hat"][t * k:(t + 1) * k] = row
        if history:
            orv_matvec_plus_vec(C, x_filt, d, y_filt, m, n)
            for name, buf, size in (("x_pred", x_pred, n), ("x_filt", x_filt, n),
                                    ("P_pred", P_pred, n * n), ("P_filt", P_filt, n * n),
                                    ("y_pred", y_pred, m), ("y_filt", y_filt, m),
                                    ("innov", v, m), ("std_innov", u, m), ("S", S, m * m)):
                out[name][t * size:(t + 1) * size] = buf[:size]
        # The next prediction reads these before the next update rewrites them.
        x_prev, P_prev = x_filt, P_filt
        t += 1
    out["loglik"][0] = loglik
    return status, t
