"""LU factorisation (real and complex), the complex product, the normal
equations and the median: bit for bit against the plain-Python model in
fma_oracle_lu, to a tolerance against NumPy, and the memory rules of the
factorisation records."""

import ctypes as ct
import math
from types import SimpleNamespace

import numpy as np
import pytest

import _native as nat
import fma_oracle_lu as orc
from _native import cptr, iptr, ptr

SENTINEL = -1.2345e300
PIV_SENTINEL = -7
SPECIALS = [math.nan, math.inf, -math.inf, 0.0, -0.0, 5e-324, 1e-310, 1e308]


def same_bits(got, want):
    """Equal bits (so -0.0 != +0.0) except that any NaN matches any NaN."""
    got = np.atleast_1d(got).astype(np.complex128).view(np.float64).ravel()
    want = np.atleast_1d(want).astype(np.complex128).view(np.float64).ravel()
    if got.shape != want.shape:
        return False
    gn, wn = np.isnan(got), np.isnan(want)
    return bool(np.all(gn == wn) and np.all(got[~gn].view(np.uint64) == want[~wn].view(np.uint64)))


def _to_pairs(a):
    return [(float(z.real), float(z.imag)) for z in np.asarray(a).ravel()]


def _from_pairs(values):
    return np.array([complex(*z) for z in values], dtype=np.complex128)


REAL = SimpleNamespace(
    name="real", dtype=np.float64, ptr=ptr, sentinel=SENTINEL,
    factor_inplace=nat.orv_lu_factor_inplace, factor=nat.orv_lu_factor, free=nat.orv_lu_free,
    solve=nat.orv_solve, inv=nat.orv_inv, to_list=lambda a: [float(x) for x in a.ravel()],
    from_list=lambda v: np.array(v, dtype=np.float64),
    oracles=[(orc.orv_lu_factor_inplace, orc.orv_solve, orc.orv_inv)])
CPLX = SimpleNamespace(
    name="complex", dtype=np.complex128, ptr=cptr, sentinel=complex(SENTINEL, -SENTINEL),
    factor_inplace=nat.c128_lu_factor_inplace, factor=nat.c128_lu_factor, free=nat.c128_lu_free,
    solve=nat.c128_solve, inv=nat.c128_inv, to_list=_to_pairs, from_list=_from_pairs,
    # Either rounding of the real part of a product is allowed in the row updates.
    oracles=[(lambda A, p, n, mul=mul: orc.c128_lu_factor_inplace(A, p, n, mul),
              lambda A, B, n, m, X, mul=mul: orc.c128_solve(A, B, n, m, X, mul),
              lambda A, n, X, mul=mul: orc.c128_inv(A, n, X, mul))
             for mul in (orc.c_mul, orc.c_mul_re_first)])
KINDS = [REAL, CPLX]


def draw(rng, shape, K):
    a = rng.standard_normal(shape)
    return a + 1j * rng.standard_normal(shape) if K is CPLX else a


def random_matrix(rng, n, kind, K):
    A = draw(rng, (n, n), K) * 10.0 ** rng.integers(-3, 4)
    if kind == "int":  # small integers: exact cancellation, often exactly singular
        A = rng.integers(-2, 3, (n, n)) * (rng.choice([1, 1j, 1 + 1j, 1 - 2j]) if K is CPLX else 1)
    elif kind == "zero_col":
        A[:, rng.integers(n)] = 0.0
    elif kind in ("dependent", "near") and n > 1:
        i, j = rng.choice(n, 2, replace=False)
        A[j] = A[i] * rng.choice([1.0, -2.0, 0.1])
        if kind == "near":
            A[j] += 1e-14 * draw(rng, n, K)
    elif kind == "special":
        for _ in range(rng.integers(1, 3)):
            v = rng.choice(SPECIALS)
            A.flat[rng.integers(n * n)] = complex(0.0, v) if K is CPLX and rng.random() < 0.3 else v
    elif kind == "tiny":  # reciprocals that overflow, squared moduli that underflow
        scale = 10.0 ** rng.uniform(-322, -300, (n, n)) if K is REAL else \
            10.0 ** rng.uniform(-175, -150, (n, n))
        A = draw(rng, (n, n), K) * scale
    return np.ascontiguousarray(A, dtype=K.dtype)


def native_factor_inplace(K, A):
    n = A.shape[0]
    LU, piv = A.copy(), np.full(n, PIV_SENTINEL, dtype=np.int64)
    return K.factor_inplace(K.ptr(LU), iptr(piv), n), LU, piv


def native_solve(K, A, B):
    n, m = A.shape[0], B.shape[1]
    X = np.full((n, m), K.sentinel, dtype=K.dtype)
    return K.solve(K.ptr(A), K.ptr(B), n, m, K.ptr(X)), X


def native_inv(K, A):
    X = np.full(A.shape, K.sentinel, dtype=K.dtype)
    return K.inv(K.ptr(A), A.shape[0], K.ptr(X)), X


def record_arrays(rec, K):
    n = rec.n
    lu = np.ctypeslib.as_array(ct.cast(rec.lu, ct.POINTER(ct.c_double)), (n * n * (2 if K is CPLX else 1),))
    return lu.copy().view(K.dtype).reshape(n, n), np.ctypeslib.as_array(rec.piv, (n,)).copy()


def matches_an_oracle(K, A, B, factor, solve, inv):
    """factor/solve/inv: native (status, arrays...) tuples for this A, B."""
    n, m = A.shape[0], B.shape[1]
    for o_factor, o_solve, o_inv in K.oracles:
        LU, piv = K.to_list(A), [PIV_SENTINEL] * n
        X, Y = K.to_list(np.full((n, m), K.sentinel)), K.to_list(np.full((n, n), K.sentinel))
        want = [(o_factor(LU, piv, n), LU, piv), (o_solve(K.to_list(A), K.to_list(B), n, m, X), X),
                (o_inv(K.to_list(A), n, Y), Y)]
        if all(g[0] == w[0] and same_bits(g[1], K.from_list(w[1])) for g, w in
               zip((factor, solve, inv), want)) and list(factor[2]) == want[0][2]:
            return True
    return False


MATRIX_KINDS = ["normal", "int", "zero_col", "dependent", "near", "special", "tiny"]


@pytest.mark.parametrize("K", KINDS, ids=lambda K: K.name)
@pytest.mark.parametrize("kind", MATRIX_KINDS)
def test_lu_matches_oracle_bit_for_bit(K, kind):
    rng = np.random.default_rng([MATRIX_KINDS.index(kind), KINDS.index(K)])
    statuses = set()
    for case in range(40):
        n, m = int(rng.choice([1, 1, 2, 3, 4, 5, 6, 8])), int(rng.integers(0, 4))
        A = random_matrix(rng, n, kind, K)
        B = np.ascontiguousarray(draw(rng, (n, m), K), dtype=K.dtype)
        if kind == "special" and B.size and rng.random() < 0.5:
            B.flat[rng.integers(B.size)] = rng.choice(SPECIALS)
        factor, solve, inv = native_factor_inplace(K, A), native_solve(K, A, B), native_inv(K, A)
        assert matches_an_oracle(K, A, B, factor, solve, inv), (case, n, m, A, B)
        rec = K.factor(K.ptr(A), n)  # the record holds what the in-place call made
        lu, piv = record_arrays(rec, K)
        written = int(np.sum(factor[2] != PIV_SENTINEL))  # a prefix on -2
        assert (rec.n, rec.err) == (n, factor[0]) and same_bits(lu, factor[1])
        assert list(piv[:written]) == list(factor[2][:written])
        K.free(ct.byref(rec))
        statuses.add(factor[0])
    want = {"zero_col": {-2}, "int": {0, -2}, "normal": {0}}.get(kind)
    assert want is None or statuses == want


def test_complex_matmul_matches_oracle():
    rng = np.random.default_rng(11)
    for _ in range(60):
        m, n, p = (int(x) for x in rng.integers(0, 5, 3))
        A, B = draw(rng, (m, n), CPLX), draw(rng, (n, p), CPLX)
        if A.size and rng.random() < 0.4:
            A.flat[rng.integers(A.size)] = complex(rng.choice(SPECIALS), rng.choice(SPECIALS))
        out = np.full(m * p + 2, CPLX.sentinel)
        nat.c128_matmul(cptr(A), cptr(B), m, n, p, cptr(out))
        want = [(SENTINEL, -SENTINEL)] * (m * p + 2)
        orc.c128_matmul(_to_pairs(A), _to_pairs(B), m, n, p, want)
        assert same_bits(out, _from_pairs(want)), (m, n, p, A, B)


def test_normal_equations_match_oracle():
    rng = np.random.default_rng(5)
    failures = 0
    for case in range(80):
        n, p = int(rng.integers(0, 7)), int(rng.integers(0, 5))
        X = rng.standard_normal((n, p)) * 10.0 ** rng.integers(-2, 3)
        if p > 1 and case % 3 == 0:
            X[:, 1] = X[:, 0]  # a repeated regressor: G only semi-definite
        if X.size and case % 5 == 0:
            X.flat[rng.integers(X.size)] = rng.choice(SPECIALS)
        y = rng.standard_normal(n)
        G, g = np.full(p * p + 1, SENTINEL), np.full(p + 1, SENTINEL)
        nat.orv_gram(ptr(X), ptr(G), n, p)
        nat.orv_gram_rhs(ptr(X), ptr(y), ptr(g), n, p)
        wG, wg = [SENTINEL] * (p * p + 1), [SENTINEL] * (p + 1)
        orc.orv_gram(X.ravel().tolist(), wG, n, p)
        orc.orv_gram_rhs(X.ravel().tolist(), y.tolist(), wg, n, p)
        assert same_bits(G, wG) and same_bits(g, wg), case

        G = G[:p * p].copy()
        coef, L1, Pinv, L2 = (np.full(size, SENTINEL) for size in (p, p * p, p * p, p * p))
        s1 = nat.orv_chol_solve(ptr(G), ptr(g), ptr(coef), ptr(L1), p)
        s2 = nat.orv_chol_inv(ptr(G), ptr(Pinv), ptr(L2), p)
        wc, wL1, wP, wL2 = ([SENTINEL] * size for size in (p, p * p, p * p, p * p))
        assert s1 == orc.orv_chol_solve(wG[:p * p], wg[:p], wc, wL1, p), case
        assert s2 == orc.orv_chol_inv(wG[:p * p], wP, wL2, p) == s1, case
        assert all(same_bits(a, b) for a, b in ((coef, wc), (L1, wL1), (Pinv, wP), (L2, wL2))), case
        failures += s1 != 0
    assert 0 < failures < 80


def test_median_and_sort_match_oracle():
    rng = np.random.default_rng(8)
    pool = [0.0, -0.0, 1.0, -1.0, 2.5, math.inf, -math.inf, 1e308, 5e-324, math.nan]
    for case in range(300):
        n = int(rng.integers(0, 12))
        a = rng.choice(pool, n) if case % 2 else rng.standard_normal(n)
        if case % 7 == 0:
            a[a != a] = 0.5
        arr = np.concatenate([[SENTINEL], a, [SENTINEL]])
        got = nat.orv_median_f64(ptr(arr[1:]), n)
        assert same_bits(got, orc.orv_median_f64(a.tolist())), a
        assert arr[0] == arr[-1] == SENTINEL
        body = arr[1:-1]
        assert sorted(body.view(np.uint64)) == sorted(a.view(np.uint64))  # a permutation
        nums = body[~np.isnan(body)]
        assert np.all(nums[:-1] <= nums[1:]) and np.all(np.isnan(body[nums.size:]))


# ---- hand-checked values ------------------------------------------------------------

def _lu(K, rows):
    status, LU, piv = native_factor_inplace(K, np.array(rows, dtype=K.dtype))
    return status, LU.tolist(), piv.tolist()


def test_known_values():
    one_minus = 1.0 - 2.0 ** -53
    for a in (49.0, 1e-300):
        assert native_solve(REAL, np.array([[a]]), np.array([[a]]))[1][0, 0] == one_minus
    assert _lu(REAL, [[1, 2], [-1, 3]]) == (0, [[1, 2], [-1, 5]], [0, 1])
    assert _lu(REAL, [[0, 1], [2, 3]]) == (0, [[2, 3], [0, 1]], [1, 1])
    assert _lu(REAL, [[1, 2], [2, 4]])[0::2] == (-2, [1, 1])
    P = np.eye(5)[[3, 0, 4, 1, 2]]
    assert np.array_equal(native_inv(REAL, P)[1], P.T)

    out = np.zeros(1, np.complex128)
    nat.c128_matmul(cptr(np.array([1 + 2j])), cptr(np.array([3 + 4j])), 1, 1, 1, cptr(out))
    assert out[0] == -5 + 10j
    assert native_solve(CPLX, np.array([[3 + 4j]]), np.array([[-5 + 10j]]))[1][0, 0] == 1 + 2j
    assert native_solve(CPLX, np.array([[1j]]), np.array([[1 + 0j]]))[1][0, 0] == -1j
    assert _lu(CPLX, [[3 + 4j, 1], [5, 2]])[2] == [0, 1]  # equal squared moduli: row 0 stays
    # Squared moduli equal under the rounding of c128_abs2, ordered the other way
    # if a.re*a.re were the rounded product: the rounding decides the pivot.
    y = complex(float.fromhex("0x1.4ecff80997d9fp-1"), float.fromhex("0x1.7311d8af1ca20p-1"))
    x = complex(float.fromhex("0x1.414c3423c5fd7p-1"), float.fromhex("0x1.7ed4d57859cdep-1"))
    assert orc.c_abs2((y.real, y.imag)) == orc.c_abs2((x.real, x.imag))
    assert _lu(CPLX, [[y, 1], [x, 1]])[2] == [0, 1]
    # |b.re| == |b.im| takes the first branch of the division, which decides
    # the sign of a zero part: (1 + i) / (1 - i) = (+0, 1).
    assert same_bits(native_solve(CPLX, np.array([[1 - 1j]]), np.array([[1 + 1j]]))[1], 1j)
    X = np.full((1, 1), CPLX.sentinel)  # dividing by a zero diagonal gives NaN in both parts
    nat.c128_lu_solve(cptr(np.zeros(1, np.complex128)), iptr(np.zeros(1, np.int64)),
                      cptr(np.array([1 + 0j])), cptr(X), 1, 1)
    assert np.isnan(X[0, 0].real) and np.isnan(X[0, 0].imag)
    # (1e-162, 0) squares to 0.0: counted as a zero pivot
    assert native_factor_inplace(CPLX, np.array([[1e-162 + 0j]]))[0] == -2

    X2, y = np.array([[1.0, 2], [3, 4]]), np.ones(2)
    G, g, coef, L = np.zeros(4), np.zeros(2), np.zeros(2), np.zeros(4)
    nat.orv_gram(ptr(X2), ptr(G), 2, 2)
    nat.orv_gram_rhs(ptr(X2), ptr(y), ptr(g), 2, 2)
    assert G.tolist() == [10, 14, 14, 20] and g.tolist() == [4, 6]
    assert nat.orv_chol_solve(ptr(G), ptr(g), ptr(coef), ptr(L), 2) == 0
    assert coef.tolist() == [-(1 - 19 * 2.0 ** -53), 1 - 13 * 2.0 ** -53]
    for values, want in (([3, 1, 2], 2.0), ([4, 1, 3, 2], 2.5), ([7], 7.0)):
        arr = np.array(values, dtype=np.float64)
        assert nat.orv_median_f64(ptr(arr), len(values)) == want
        assert arr.tolist() == sorted(values)


def test_tiny_pivots_and_extreme_medians():
    # A pivot below ~2^-1024 has no finite reciprocal: the rows are divided
    # by it instead of being multiplied by infinity.
    for a in (1e-310, 5e-324):
        assert native_solve(REAL, np.array([[a]]), np.array([[a]]))[1][0, 0] == 1.0
    A = np.array([[1e-310, 2e-310], [3e-310, 1e-310]])
    _, X = native_solve(REAL, A, np.array([[1e-310], [1e-310]]))
    np.testing.assert_allclose(X.ravel(), [0.2, 0.4], rtol=1e-12)
    # The mean of two large values is not infinity, while small ones are still
    # summed before halving; NaN has no median.
    for values, want in (([1e308, 1e308], 1e308), ([1.7e308, 1.5e308], 1.6e308),
                         ([5e-324, 5e-324], 5e-324),
                         ([3.0, math.nan, 1.0], math.nan)):
        got = nat.orv_median_f64(ptr(np.array(values)), len(values))
        assert same_bits(got, want)


# ---- against NumPy ----------------------------------------------------------------

@pytest.mark.parametrize("K", KINDS, ids=lambda K: K.name)
def test_solve_and_inverse_agree_with_numpy(K):
    rng = np.random.default_rng(3)
    for n in (1, 2, 5, 9, 16):
        A = np.ascontiguousarray(draw(rng, (n, n), K) + 3 * n * np.eye(n), dtype=K.dtype)
        B = np.ascontiguousarray(draw(rng, (n, 3), K), dtype=K.dtype)
        status, X = native_solve(K, A, B)
        assert status == 0
        np.testing.assert_allclose(X, np.linalg.solve(A, B), rtol=1e-12, atol=1e-14)
        status, Ainv = native_inv(K, A)
        assert status == 0
        np.testing.assert_allclose(Ainv, np.linalg.inv(A), rtol=1e-12, atol=1e-14)
    if K is CPLX:
        A, B = draw(rng, (4, 7), CPLX), draw(rng, (7, 3), CPLX)
        out = np.empty((4, 3), np.complex128)
        nat.c128_matmul(cptr(A), cptr(B), 4, 7, 3, cptr(out))
        np.testing.assert_allclose(out, A @ B, rtol=1e-13)


def test_least_squares_and_median_agree_with_numpy():
    rng = np.random.default_rng(4)
    X, y = rng.standard_normal((40, 5)), rng.standard_normal(40)
    G, g, coef, L, Pinv = np.empty(25), np.empty(5), np.empty(5), np.empty(25), np.empty(25)
    nat.orv_gram(ptr(X), ptr(G), 40, 5)
    nat.orv_gram_rhs(ptr(X), ptr(y), ptr(g), 40, 5)
    assert nat.orv_chol_solve(ptr(G), ptr(g), ptr(coef), ptr(L), 5) == 0
    assert nat.orv_chol_inv(ptr(G), ptr(Pinv), ptr(L), 5) == 0
    np.testing.assert_allclose(coef, np.linalg.lstsq(X, y, rcond=None)[0], rtol=1e-10)
    np.testing.assert_allclose(Pinv.reshape(5, 5), np.linalg.inv(X.T @ X), rtol=1e-10)
    for n in (1, 2, 7, 100):
        a = rng.standard_normal(n)
        assert nat.orv_median_f64(ptr(a.copy()), n) == np.median(a)


# ---- records, ownership and failures --------------------------------------------

def test_record_layout():
    for Rec in (nat.F64Lu, nat.C128Lu):
        assert ct.sizeof(Rec) == 32
        assert [getattr(Rec, f).offset for f in ("lu", "piv", "n", "err")] == [0, 8, 16, 24]
    assert ct.sizeof(nat.C128) == 16 and (nat.C128.re.offset, nat.C128.im.offset) == (0, 8)
    # Returned by value across the boundary, the fields land where declared.
    rec = nat.orv_lu_factor(ptr(np.array([[0.0, 1], [2, 3]])), 2)
    assert (rec.n, rec.err, rec.piv[0], rec.piv[1], rec.lu[0]) == (2, 0, 1, 1, 2.0)
    nat.orv_lu_free(ct.byref(rec))
    crec = nat.c128_lu_factor(cptr(np.array([[0j, 1], [2j, 3]])), 2)
    assert (crec.n, crec.err, crec.piv[0], crec.lu[0].re, crec.lu[0].im) == (2, 0, 1, 0.0, 2.0)
    nat.c128_lu_free(ct.byref(crec))


@pytest.mark.parametrize("K", KINDS, ids=lambda K: K.name)
def test_singular_record_hands_over_memory_and_frees_once(K):
    A = np.array([[1, 0, 2], [3, 0, 1], [4, 0, 5]], dtype=K.dtype)
    rec = K.factor(K.ptr(A), 3)
    assert rec.err == -2 and rec.n == 3 and rec.lu and rec.piv
    status, LU, piv = native_factor_inplace(K, A)
    lu, rpiv = record_arrays(rec, K)
    assert status == -2 and same_bits(lu, LU) and list(rpiv[:2]) == list(piv[:2]) == [2, 1]
    for _ in range(2):  # a second release finds nothing to free
        K.free(ct.byref(rec))
        assert not rec.lu and not rec.piv and rec.n == 0 and rec.err == 0
    K.free(None)


@pytest.mark.parametrize("K", KINDS, ids=lambda K: K.name)
def test_failures_write_nothing(K):
    A = np.ones((2, 2), dtype=K.dtype)  # singular
    for n, what in ((2, "singular"), (0, "empty"), (-3, "negative"),
                    (2 ** 27, "allocation fails"), (2 ** 31, "byte count overflows"),
                    (2 ** 32, "entry count overflows")):
        rec = K.factor(K.ptr(A), n)
        if n != 2:
            assert (rec.n, rec.err, bool(rec.lu), bool(rec.piv)) == (n, -1, False, False), what
        K.free(ct.byref(rec))
        X = np.full(8, K.sentinel, dtype=K.dtype)
        assert K.solve(K.ptr(A), K.ptr(A), n, 2, K.ptr(X)) == (-2 if n == 2 else -1), what
        assert K.inv(K.ptr(A), n, K.ptr(X)) == (-2 if n == 2 else -1), what
        assert np.all(X == K.sentinel), what
    rec = K.factor(None, 4)
    assert (rec.n, rec.err, bool(rec.lu)) == (4, -1, False)
    X = np.full(4, K.sentinel, dtype=K.dtype)
    eye = np.eye(2, dtype=K.dtype)
    assert K.solve(None, K.ptr(eye), 2, 2, K.ptr(X)) == -1
    assert K.solve(K.ptr(eye), None, 2, 2, K.ptr(X)) == -1
    assert K.solve(K.ptr(eye), K.ptr(eye), 2, 2, None) == -1
    assert K.inv(K.ptr(eye), 2, None) == -1 and K.inv(None, 2, K.ptr(X)) == -1
    assert K.factor_inplace(None, iptr(np.zeros(2, np.int64)), 2) == -1
    assert K.factor_inplace(K.ptr(eye), None, 2) == -1
    assert np.all(X == K.sentinel)


def test_sort_of_all_nan_stays_in_the_array():
    rng = np.random.default_rng(2)
    for n in (2, 3, 17, 1000):
        payloads = rng.integers(1, 2 ** 51, n, dtype=np.uint64) | np.uint64(0x7FF8 << 48)
        buf = np.concatenate([[SENTINEL], payloads.view(np.float64), [SENTINEL]])
        nat.orv_sort_f64(ptr(buf[1:]), n)
        assert buf[0] == buf[-1] == SENTINEL
        assert sorted(buf[1:-1].view(np.uint64)) == sorted(payloads)
        assert math.isnan(nat.orv_median_f64(ptr(buf[1:]), n))
    one = np.array([SENTINEL, 3.0, 1.0])
    nat.orv_sort_f64(ptr(one[1:]), 1)
    nat.orv_sort_f64(ptr(one[1:]), -4)
    assert one.tolist() == [SENTINEL, 3.0, 1.0]


def test_private_helpers_are_not_exported():
    for name in ("orv_cmp_f64", "c128_make", "c128_add", "c128_sub", "c128_mul", "c128_div",
                 "c128_abs2"):
        with pytest.raises(AttributeError):
            getattr(nat.lib, name)
