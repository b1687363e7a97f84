"""Plain-Python model of the LU kernels (real and complex), the complex
product, the normal equations and the median.

Conventions as in fma_oracle: matrices are flat row-major lists that the
functions read and write in place; real entries are Python floats, complex
entries (re, im) tuples of floats. Every fused step is one `math.fma` (via
fma_oracle.fma, which maps Python's exceptions for IEEE special cases back to
IEEE results); every other operation is one IEEE operation.

The complex LU row updates may form the real part of a product in either of
two orders; they take the product function as `mul`, and callers try
`c_mul` and `c_mul_re_first`.
"""

import math

from fma_oracle import div, fma, orv_backward_subst_chol_t, orv_chol, orv_forward_subst

OK, ERR_ARG, ERR_SINGULAR = 0, -1, -2


# ---- complex arithmetic -----------------------------------------------------

def c_add(a, b):
    return (a[0] + b[0], a[1] + b[1])


def c_sub(a, b):
    return (a[0] - b[0], a[1] - b[1])


def c_mul(a, b):
    """re = fma(a.re, b.re, -RN(a.im*b.im)), im = fma(a.re, b.im, RN(a.im*b.re))."""
    return (fma(a[0], b[0], -(a[1] * b[1])), fma(a[0], b[1], a[1] * b[0]))


def c_mul_re_first(a, b):
    """The other rounding of the real part: RN(a.re*b.re), then a.im*b.im
    subtracted by one fused step."""
    return (fma(-a[1], b[1], a[0] * b[0]), fma(a[0], b[1], a[1] * b[0]))


def c_div(a, b):
    if abs(b[0]) >= abs(b[1]):
        r = div(b[1], b[0])
        den = fma(r, b[1], b[0])
        return (div(fma(a[1], r, a[0]), den), div(fma(-r, a[0], a[1]), den))
    r = div(b[0], b[1])
    den = fma(r, b[0], b[1])
    return (div(fma(r, a[0], a[1]), den), div(fma(a[1], r, -a[0]), den))


def c_abs2(a):
    return fma(a[0], a[0], a[1] * a[1])


def c128_matmul(A, B, m, n, p, out):
    for i in range(m):
        for j in range(p):
            s = (0.0, 0.0)
            for k in range(n):
                s = c_add(s, c_mul(A[i * n + k], B[k * p + j]))
            out[i * p + j] = s


# ---- LU, shared skeleton ------------------------------------------------------

def _swap_rows(M, r1, r2, width):
    a, b = r1 * width, r2 * width
    M[a:a + width], M[b:b + width] = M[b:b + width], M[a:a + width]


def _by_pivot(x, pivot, inv):
    # Multiply by the rounded reciprocal, unless the pivot is so small that
    # the reciprocal overflowed: then divide.
    return div(x, pivot) if math.isinf(inv) else x * inv


def _factor(A, piv, n, magnitude, multiplier, update):
    if A is None or piv is None or n <= 0:
        return ERR_ARG
    for k in range(n):
        p, best = k, magnitude(A[k * n + k])
        for i in range(k + 1, n):
            v = magnitude(A[i * n + k])
            if v > best:
                p, best = i, v
        piv[k] = p
        if best == 0.0:
            return ERR_SINGULAR
        if p != k:
            _swap_rows(A, k, p, n)
        mult = multiplier(A[k * n + k])
        for i in range(k + 1, n):
            lik = mult(A[i * n + k])
            A[i * n + k] = lik
            for j in range(k + 1, n):
                A[i * n + j] = update(A[i * n + j], lik, A[k * n + j])
    return OK


def _lu_solve(LU, piv, B, X, n, m, update, divide):
    if n <= 0 or m <= 0:
        return
    X[:n * m] = B[:n * m]
    for k in range(n):
        if piv[k] != k:
            _swap_rows(X, k, piv[k], m)
    for i in range(1, n):
        for k in range(i):
            for j in range(m):
                X[i * m + j] = update(X[i * m + j], LU[i * n + k], X[k * m + j])
    for i in range(n - 1, -1, -1):
        for k in range(i + 1, n):
            for j in range(m):
                X[i * m + j] = update(X[i * m + j], LU[i * n + k], X[k * m + j])
        d = divide(LU[i * n + i])
        for j in range(m):
            X[i * m + j] = d(X[i * m + j])


def _solve(factor, lu_solve, A, B, n, m, X):
    if m > 0 and (B is None or X is None):
        return ERR_ARG
    if A is None or n <= 0:
        return ERR_ARG
    LU, piv = list(A[:n * n]), [0] * n
    err = factor(LU, piv, n)
    if err == OK:
        lu_solve(LU, piv, B, X, n, m)
    return err


# ---- real LU ----------------------------------------------------------------------

def _real_reciprocal(pivot):
    inv = div(1.0, pivot)
    return lambda x: _by_pivot(x, pivot, inv)


def _real_update(x, l, y):
    return fma(-l, y, x)


def orv_lu_factor_inplace(A, piv, n):
    return _factor(A, piv, n, abs, _real_reciprocal, _real_update)


def orv_lu_solve(LU, piv, B, X, n, m):
    _lu_solve(LU, piv, B, X, n, m, _real_update, _real_reciprocal)


def orv_solve(A, B, n, m, X):
    return _solve(orv_lu_factor_inplace, orv_lu_solve, A, B, n, m, X)


def orv_inv(A, n, Ainv):
    if A is None or Ainv is None or n <= 0:
        return ERR_ARG
    eye = [1.0 if i % (n + 1) == 0 else 0.0 for i in range(n * n)]
    return orv_solve(A, eye, n, n, Ainv)


# ---- complex LU ---------------------------------------------------------------

def _complex_ops(mul):
    def update(x, l, y):
        return c_sub(x, mul(l, y))

    def divide_by(pivot):
        return lambda x: c_div(x, pivot)

    return update, divide_by


def c128_lu_factor_inplace(A, piv, n, mul=c_mul):
    update, divide_by = _complex_ops(mul)
    return _factor(A, piv, n, c_abs2, divide_by, update)


def c128_lu_solve(LU, piv, B, X, n, m, mul=c_mul):
    update, divide_by = _complex_ops(mul)
    _lu_solve(LU, piv, B, X, n, m, update, divide_by)


def c128_solve(A, B, n, m, X, mul=c_mul):
    return _solve(lambda *a: c128_lu_factor_inplace(*a, mul=mul),
                  lambda *a: c128_lu_solve(*a, mul=mul), A, B, n, m, X)


def c128_inv(A, n, Ainv, mul=c_mul):
    if A is None or Ainv is None or n <= 0:
        return ERR_ARG
    eye = [(1.0, 0.0) if i % (n + 1) == 0 else (0.0, 0.0) for i in range(n * n)]
    return c128_solve(A, eye, n, n, Ainv, mul)


# ---- normal equations and the median -------------------------------------------

def orv_gram(X, G, n, p):
    G[:p * p] = [0.0] * max(p * p, 0)
    for r in range(n):
        for a in range(p):
            xra = X[r * p + a]
            for b in range(a + 1):
                G[a * p + b] = fma(xra, X[r * p + b], G[a * p + b])
    for a in range(1, p):
        for b in range(a):
            G[b * p + a] = G[a * p + b]


def orv_gram_rhs(X, y, g, n, p):
    if p <= 0:
        return
    g[:p] = [0.0] * p
    for r in range(n):
        for a in range(p):
            g[a] = fma(X[r * p + a], y[r], g[a])


def orv_chol_solve(G, g, coef, L, p):
    status = orv_chol(G, 0.0, L, p)
    if status != 0:
        return status
    orv_forward_subst(L, g, coef, p)
    orv_backward_subst_chol_t(L, coef, coef, p)
    return 0


def orv_chol_inv(G, Pinv, L, p):
    status = orv_chol(G, 0.0, L, p)
    if status != 0:
        return status
    for j in range(p):
        col = [0.0] * p
        orv_forward_subst(L, [1.0 if i == j else 0.0 for i in range(p)], col, p)
        orv_backward_subst_chol_t(L, col, col, p)
        for i in range(p):
            Pinv[i * p + j] = col[i]
    return 0


def orv_median_f64(values):
    n = len(values)
    if n == 0 or any(math.isnan(v) for v in values):
        return math.nan
    s = sorted(values)
    if n % 2:
        return s[n // 2]
    lo, hi = s[n // 2 - 1], s[n // 2]
    total = lo + hi
    if math.isinf(total) and math.isfinite(lo) and math.isfinite(hi):
        return 0.5 * lo + 0.5 * hi
    return 0.5 * total
