"""Bit-for-bit comparison of the native kernels and Kalman loop with the
plain-Python model in fma_oracle."""

import ctypes as ct
import math
import zlib

import numpy as np
import pytest

import _native as nat
import fma_oracle as orc
from _c_header import family_functions
from _native import KF_HISTORY_FIELDS, KfInputs, KfOutputs, f64, f64p, i64, ptr, run_kf

SENTINEL = -1.2345e300
PAD = 3  # sentinel slots after every output, to catch writes past the end


def assert_same_bits(got, want, what=""):
    """Equal bits for non-NaN values (so -0.0 != +0.0); NaN only by NaN-ness."""
    got = np.atleast_1d(np.asarray(got, dtype=np.float64)).ravel()
    want = np.atleast_1d(np.asarray(want, dtype=np.float64)).ravel()
    assert got.shape == want.shape, what
    gn, wn = np.isnan(got), np.isnan(want)
    bad = (gn != wn) | (~gn & ~wn & (got.view(np.uint64) != want.view(np.uint64)))
    if bad.any():
        i = int(np.flatnonzero(bad)[0])
        pytest.fail(f"{what}: {bad.sum()} element(s) differ, first at [{i}]: "
                    f"native {got[i]!r} ({got[i].hex()}), oracle {want[i]!r} ({want[i].hex()})")


# ---- kernels ----------------------------------------------------------------
# The sizes of each kernel's arguments, which its header states only in
# words, in C order: "X:size" input, "X~size" read and written, "X=size"
# output (starts as SENTINEL), "#x" a double, "@row" a row index, anything
# else a dimension. The kernels and their argument kinds are checked against
# the header and the families' lists below.
SIGS = {
    "orv_zero_mat": "out=r*c r c",
    "orv_sym_inplace": "P~n*n n",
    "orv_matmul": "A:n*p B:p*m out=n*m n p m",
    "orv_matmul_atb": "A:n*p B:n*m out=p*m n p m",
    "orv_matmul_abt": "A:n*p B:m*p out=n*m n p m",
    "orv_matmul_abt_plus_c": "A:n*p B:m*p C:n*m out=n*m n p m",
    "orv_matvec": "A:n*m x:m out=n n m",
    "orv_matvec_plus_vec": "A:n*m x:m b:n out=n n m",
    "orv_vsub": "a:n b:n out=n n",
    "orv_dot": "a:n b:n n",
    "orv_chol": "S:n*n #jitter L=n*n n",
    "orv_logdet_from_chol": "L:n*n n",
    "orv_forward_subst": "L:n*n b:n out=n n",
    "orv_backward_subst_chol_t": "L:n*n b:n out=n n",
    "kf_row_minus_vec": "A:r*m @row x:m out=m m",
    "kf_chol_solve_row": "L:n*n B:r*n @row fbuf=n bbuf=n out=r*n n",
    "kf_predict_cov": "A:n*n P:n*n BQBT:n*n tnn=n*n out=n*n n",
    "kf_measurement_cov": "C:m*n P:n*n R:m*m tmn=m*n out=m*m n m",
    "kf_pc_t": "P:n*n C:m*n out=n*m n m",
    "kf_gain_from_pc_t": "L:m*m PCt:n*m fbuf=m bbuf=m out=n*m n m",
    "kf_state_update": "x:n K:n*m v:m out=n n m",
    "kf_identity_minus": "A:n*n out=n*n n",
    "kf_joseph_cov": "K:n*m C:m*n P:n*n R:m*m KC=n*n IKC=n*n tnn=n*n tnm=n*m out=n*n n m",
    "kf_build_bqbt": "B:n*k Q:k*k tnk=n*k out=n*n n k",
    "kf_build_shock_projection": "B:n*k C:m*n Q:k*k tkm=k*m out=k*m n k m",
}
# The kernels compiled per CPU variant that take plain arrays and sizes, from
# the families' lists; the loops, which take records, are tested below.
KERNELS = [name for name in family_functions()
           if all(ctype in (f64p, f64, i64) for _, ctype in nat.interface.prototypes[name].params)]
SPECIALS = [math.nan, math.inf, -math.inf, -0.0, 0.0, 1e308, 5e-324]
JITTERS = [0.0, 1e-8, 0.5, -1.0, math.nan, math.inf]


def _fill(rng, name, size, dims, special):
    if name == "S":  # positive semi-definite with a wide spread of scales
        n = dims["n"]
        G = rng.standard_normal((n, rng.integers(0, n + 2))) if n > 0 else np.zeros((0, 0))
        D = 10.0 ** rng.uniform(-6, 6, n) if rng.random() < 0.3 else np.ones(n)
        a = (D[:, None] * (G @ G.T) * D[None, :]).ravel() if n > 0 else np.zeros(0)
        a = np.concatenate([a, rng.standard_normal(max(size - a.size, 0))])[:size]
    else:
        a = rng.standard_normal(size) * 10.0 ** rng.integers(-3, 4)
    if name == "L":  # lower factor with a positive diagonal
        n = int(round(math.sqrt(size)))
        M = a.reshape(n, n)
        M[np.diag_indices(n)] = rng.uniform(0.3, 3.0, n)
    if special and size:
        hit = rng.random(size) < 0.15
        a[hit] = rng.choice(SPECIALS, int(hit.sum()))
    if name in ("L", "S") and size:  # never read above the diagonal
        n = int(round(math.sqrt(size)))
        a.reshape(n, n)[np.triu_indices(n, 1)] = math.nan
    return a


def _draw_dims(rng, sig, name, wide=False):
    names = {t for t in sig.split() if t[0] not in "#@" and ":" not in t and "~" not in t
             and "=" not in t}
    negative_ok = name.startswith("orv_") and not wide
    dims = {}
    for d in sorted(names):
        # Wide cases reach the vector blocks and their ragged edges.
        dims[d] = (int(rng.integers(6, 41)) if wide else
                   int(rng.integers(-1 if negative_ok and rng.random() < 0.15 else 0, 6)))
    if "@row" in sig:  # the row count of the matrix the row is taken from
        dims["r"] = int(rng.integers(1, 5))
    return dims


def _parse(tok):
    for kind in ":~=":
        if kind in tok:
            key, expr = tok.split(kind)
            return key, kind, expr
    return None


def run_kernel_case(name, rng, special, wide=False):
    sig = SIGS[name]
    dims = _draw_dims(rng, sig, name, wide)
    c_args, py_args, arrays = [], [], {}
    for tok in sig.split():
        parsed = _parse(tok)
        if tok.startswith("#"):
            val = float(rng.choice(JITTERS))
        elif tok.startswith("@"):
            val = int(rng.integers(0, dims["r"]))
        elif parsed is None:
            val = dims[tok]
        else:
            key, kind, expr = parsed
            size = max(eval(expr, {}, dict(dims)), 0)
            body = (np.full(size, SENTINEL) if kind == "="
                    else _fill(rng, key, size, dims, special))
            arr = np.concatenate([body, np.full(PAD, SENTINEL)])
            arrays[key] = arr
            c_args.append(ptr(arr)), py_args.append(arr.tolist())
            continue
        c_args.append(val), py_args.append(val)
    got = getattr(nat, name)(*c_args)
    want = getattr(orc, name)(*py_args)
    ctx = f"{name} dims={dims} args={[a for a in py_args if not isinstance(a, list)]}"
    if want is not None:
        assert_same_bits(got, want, ctx + " result")
    lists = [a for a in py_args if isinstance(a, list)]
    for (key, arr), lst in zip(arrays.items(), lists):
        assert_same_bits(arr, lst, f"{ctx} array {key}")


def _token_kind(tok):
    return "array" if _parse(tok) else "double" if tok.startswith("#") else "integer"


def _param_kind(ctype):
    return {f64p: "array", f64: "double", i64: "integer"}[ctype]


def test_every_kernel_has_an_argument_list_as_declared():
    assert sorted(SIGS) == sorted(KERNELS)
    for name in KERNELS:
        declared = [_param_kind(ctype) for _, ctype in nat.interface.prototypes[name].params]
        assert [_token_kind(tok) for tok in SIGS[name].split()] == declared, name


@pytest.mark.parametrize("special", [False, True], ids=["finite", "nonfinite"])
@pytest.mark.parametrize("name", sorted(KERNELS))
def test_kernel_matches_oracle(name, special):
    rng = np.random.default_rng([zlib.crc32(name.encode()), special])
    for case in range(40):
        run_kernel_case(name, rng, special, wide=case % 8 == 7)


# ---- hand cases ---------------------------------------------------------------

def _a(*v):
    return np.array(v, dtype=np.float64)


def test_dot_uses_one_fused_step_per_term():
    e = 2.0 ** -30
    a, b = _a(1.0, 1.0 + e), _a(-1.0, 1.0 - e)
    assert nat.orv_dot(ptr(a), ptr(b), 2) == -(2.0 ** -60)


def test_added_term_conventions_differ():
    A, ones = _a(2.0 ** -53, 2.0 ** -53), _a(1.0, 1.0)
    out = _a(0.0)
    nat.orv_matmul_abt_plus_c(ptr(A), ptr(ones), ptr(_a(1.0)), ptr(out), 1, 2, 1)
    assert out[0] == 1.0 + 2.0 ** -52
    nat.orv_matvec_plus_vec(ptr(A), ptr(ones), ptr(_a(1.0)), ptr(out), 1, 2)
    assert out[0] == 1.0
    # With an empty sum the conventions show in the sign of zero.
    nat.orv_matmul_abt_plus_c(ptr(A), ptr(ones), ptr(_a(-0.0)), ptr(out), 1, 0, 1)
    assert math.copysign(1.0, out[0]) == 1.0
    nat.orv_matvec_plus_vec(ptr(A), ptr(ones), ptr(_a(-0.0)), ptr(out), 1, 0)
    assert math.copysign(1.0, out[0]) == -1.0


def _chol(S, jitter=0.0):
    S = np.ascontiguousarray(S, dtype=np.float64)
    L = np.full_like(S, SENTINEL)
    return nat.orv_chol(ptr(S), jitter, ptr(L), S.shape[0]), L


@pytest.mark.parametrize("S, jitter, status, L", [
    (np.diag([1e20, 1e-5]), 0.0, -1, [[1e10, 0.0], [0.0, 0.0]]),
    (np.diag([1.0, 1e-5]), 0.0, 0, [[1.0, 0.0], [0.0, math.sqrt(1e-5)]]),
    # a pivot equal to the tolerance 2 * 1 * 2**-52 fails, the next double passes
    (np.diag([1.0, 2.0 ** -51]), 0.0, -1, [[1.0, 0.0], [0.0, 0.0]]),
    (np.diag([1.0, 2.0 ** -51 * (1 + 2.0 ** -52)]), 0.0, 0,
     [[1.0, 0.0], [0.0, math.sqrt(2.0 ** -51 * (1 + 2.0 ** -52))]]),
    ([[1.0, 1.0], [1.0, 1.0]], 0.0, -1, [[1.0, 0.0], [1.0, 0.0]]),
    (np.zeros((2, 2)), 1e-8, 0, np.eye(2) * math.sqrt(1e-8)),
    # the jitter enters the scale: the tolerance is 2 * (0 + 1) * 2**-52 here
    (np.diag([0.0, -1.0 + 2.0 ** -52]), 1.0, -1, [[1.0, 0.0], [0.0, 0.0]]),
    ([[-1.0 + 2.0 ** -52]], 1.0, 0, [[2.0 ** -26]]),
] + [(np.zeros((2, 2)), j, -1, np.zeros((2, 2))) for j in (0.0, -1.0, math.nan, -math.inf)])
def test_chol_hand_cases(S, jitter, status, L):
    got_status, got_L = _chol(S, jitter)
    assert got_status == status
    assert_same_bits(got_L, np.array(L, dtype=np.float64), "L")


def test_chol_ignores_upper_triangle_and_nonpositive_jitter():
    rng = np.random.default_rng(7)
    G = rng.standard_normal((5, 5))
    S = G @ G.T + 1e-3 * np.eye(5)
    ref = _chol(S)
    noisy = S.copy()
    noisy[np.triu_indices(5, 1)] = rng.choice([math.nan, math.inf, 1e300], 10)
    for variant, jitter in ((noisy, 0.0), (S, -3.0), (S, math.nan), (S, -0.0)):
        st, L = _chol(variant, jitter)
        assert st == ref[0] == 0
        assert_same_bits(L, ref[1], f"jitter={jitter}")


def test_sym_rounds_the_sum_before_halving():
    P = _a(1.0, 2.0, 4.0, 5.0)
    nat.orv_sym_inplace(ptr(P), 2)
    assert P.tolist() == [1.0, 3.0, 3.0, 5.0]
    Q = _a(0.0, 1e308, 0.0, 1e308, 0.0, 0.0, 0.0, 0.0, 0.0)
    nat.orv_sym_inplace(ptr(Q), 3)
    assert Q[1] == Q[3] == math.inf  # 1e308 + 1e308 overflows before the 0.5


@pytest.mark.parametrize("fn", ["orv_forward_subst", "orv_backward_subst_chol_t"])
def test_solves_in_place(fn):
    rng = np.random.default_rng(3)
    L = np.tril(rng.standard_normal((6, 6)), -1) + np.diag(rng.uniform(0.5, 2, 6))
    b = rng.standard_normal(6)
    out = np.empty(6)
    getattr(nat, fn)(ptr(L), ptr(b), ptr(out), 6)
    getattr(nat, fn)(ptr(L), ptr(b), ptr(b), 6)
    assert_same_bits(b, out, fn)


@pytest.mark.parametrize("target", ["a", "b"])
def test_vsub_in_place(target):
    rng = np.random.default_rng(5)
    a, b = rng.standard_normal(9), rng.standard_normal(9)
    want = [x - y for x, y in zip(a.tolist(), b.tolist())]
    nat.orv_vsub(ptr(a), ptr(b), ptr(a if target == "a" else b), 9)
    assert_same_bits(a if target == "a" else b, want, "vsub")


# ---- kf_hot_loop ----------------------------------------------------------------

MODEL_KEYS = ("A", "B", "C", "d", "Q", "R", "y", "x0", "P0")


def random_model(rng, n, m, k, T):
    def spd(size, ridge):
        G = rng.standard_normal((size, size))
        return G @ G.T / max(size, 1) + ridge * np.eye(size)

    A = rng.standard_normal((n, n))
    if n:
        A *= rng.uniform(0.3, 0.97) / max(np.abs(np.linalg.eigvals(A)).max(), 1e-9)
    P0 = spd(n, 0.5) + 1e-3 * rng.standard_normal((n, n))  # slightly asymmetric
    return dict(A=A, B=rng.standard_normal((n, k)), C=rng.standard_normal((m, n)),
                d=rng.standard_normal(m), Q=spd(k, 0.1), R=spd(m, 0.3),
                y=rng.standard_normal((T, m)) * 2.0, x0=rng.standard_normal(n), P0=P0)


def oracle_kf(n, m, k, T, model, symmetrize, jitter, return_shocks, store_history):
    rows = max(T, 0)
    sizes = dict(x_pred=n, x_filt=n, P_pred=n * n, P_filt=n * n, y_pred=m, y_filt=m,
                 innov=m, std_innov=m, S=m * m, eps_hat=k)
    out = {f: [SENTINEL] * (rows * sizes[f]) for f in KF_HISTORY_FIELDS}
    out["loglik"] = [SENTINEL]
    inp = dict(n=n, m=m, k=k, T=T, symmetrize=symmetrize, jitter=jitter,
               return_shocks=return_shocks, store_history=store_history,
               **{key: np.asarray(model[key], dtype=np.float64).ravel().tolist()
                  for key in MODEL_KEYS})
    status, done = orc.kf_hot_loop(inp, out)
    return status, done, out


def compare_kf(n, m, k, T, model, symmetrize=1, jitter=0.0, return_shocks=0,
               store_history=1):
    flags = (symmetrize, jitter, return_shocks, store_history)
    status, loglik, got = run_kf(n, m, k, T, *(model[key] for key in MODEL_KEYS),
                                 *flags, fill=SENTINEL)
    want_status, done, want = oracle_kf(n, m, k, T, model, *flags)
    assert status == want_status
    assert_same_bits(loglik, want["loglik"], "loglik")
    for field in KF_HISTORY_FIELDS:
        assert_same_bits(got[field], want[field], field)
    return status, done, loglik, got


SHAPES = [(1, 1, 1), (2, 1, 1), (3, 2, 2), (4, 3, 2), (6, 6, 6), (5, 2, 6), (8, 4, 3), (7, 1, 2),
          (3, 0, 2), (0, 2, 1), (2, 3, 0), (19, 9, 3), (33, 2, 17)]


@pytest.mark.parametrize("store_history, return_shocks", [(1, 1), (1, 0), (0, 1), (0, 0)])
@pytest.mark.parametrize("symmetrize, jitter", [(1, 0.0), (0, 0.0), (1, 1e-3), (0, 0.25)])
@pytest.mark.parametrize("shape", SHAPES, ids=lambda s: "x".join(map(str, s)))
def test_kf_hot_loop_matches_oracle(shape, symmetrize, jitter, store_history, return_shocks):
    n, m, k = shape
    rng = np.random.default_rng(list(shape) + [symmetrize, int(jitter * 100)])
    T = int(rng.integers(1, 16))
    model = random_model(rng, n, m, k, T)
    status, done, _, got = compare_kf(n, m, k, T, model, symmetrize, jitter,
                                      return_shocks, store_history)
    assert status == 0 and done == T
    if not (store_history and return_shocks):
        assert (got["eps_hat"] == SENTINEL).all()
    if not store_history:
        assert all((got[f] == SENTINEL).all() for f in KF_HISTORY_FIELDS)


@pytest.mark.parametrize("value", [math.nan, math.inf])
def test_kf_nonfinite_observation_propagates_with_status_ok(value):
    rng = np.random.default_rng(11)
    model = random_model(rng, 3, 2, 2, 8)
    model["y"][4, 1] = value
    status, _, loglik, got = compare_kf(3, 2, 2, 8, model, return_shocks=1)
    assert status == 0 and math.isnan(loglik)
    assert np.isfinite(got["x_filt"][:4]).all() and not np.isfinite(got["x_filt"][4:]).any()


def _tolerance_failure_model(rng, extra):
    """An explosive state seen through a huge measurement variance next to
    well-observed stable states: the innovation covariance grows until its
    smaller pivots fall below the relative tolerance of orv_chol."""
    n, m, k = 1 + extra, 1 + extra, 1 + extra
    model = random_model(rng, n, m, k, 14)
    for key in ("A", "B", "C", "P0"):
        model[key][0, 1:] = 0.0
        model[key][1:, 0] = 0.0
    model["A"][0, 0], model["B"][0, 0], model["C"][0, 0] = 10.0, 1.0, 1.0
    model["R"][0, 1:] = model["R"][1:, 0] = 0.0
    model["R"][0, 0], model["P0"][0, 0] = 1e15, 1.0
    return n, m, k, model


@pytest.mark.parametrize("store_history, return_shocks", [(1, 1), (1, 0), (0, 0)])
@pytest.mark.parametrize("symmetrize", [0, 1])
@pytest.mark.parametrize("extra", [1, 2, 3])
def test_kf_failing_period(extra, symmetrize, store_history, return_shocks):
    n, m, k, model = _tolerance_failure_model(np.random.default_rng(extra), extra)
    status, done, loglik, got = compare_kf(n, m, k, 14, model, symmetrize, 0.0,
                                           return_shocks, store_history)
    assert status == -3 and 3 <= done < 14, done
    # The partial log-likelihood is the complete run over the earlier periods.
    short = {**model, "y": model["y"][:done]}
    st_short, ll_short, _ = run_kf(n, m, k, done, *(short[key] for key in MODEL_KEYS),
                                   symmetrize, 0.0, 0, 0)
    assert st_short == 0 and ll_short == loglik
    if store_history:
        assert (got["x_pred"][done:] == SENTINEL).all()
        assert not (got["x_pred"][:done] == SENTINEL).any()


def test_kf_fails_in_first_period():
    rng = np.random.default_rng(2)
    model = random_model(rng, 2, 2, 1, 5)
    model["R"] = -np.eye(2)
    model["P0"] = np.zeros((2, 2))
    model["Q"] = np.zeros((1, 1))
    status, done, loglik, got = compare_kf(2, 2, 1, 5, model, return_shocks=1)
    assert (status, done, loglik) == (-3, 0, 0.0)
    assert all((got[f] == SENTINEL).all() for f in KF_HISTORY_FIELDS)


# ---- argument handling of kf_hot_loop -------------------------------------------

def raw_kf(n, m, k, T, model=None, outputs=None, store_history=0, return_shocks=0):
    """kf_hot_loop with null pointers wherever `model`/`outputs` give none."""
    model = model or {}
    outputs = outputs or {}
    keep = {key: np.ascontiguousarray(model[key], dtype=np.float64) for key in model}
    inputs = KfInputs(n, m, k, T, *[ptr(keep.get(key)) for key in MODEL_KEYS], 1, 0.0,
                      return_shocks, store_history)
    loglik = np.array([SENTINEL])
    record = KfOutputs(*[ptr(outputs.get(f)) for f in KF_HISTORY_FIELDS], ptr(loglik))
    return nat.kf_hot_loop(ct.byref(inputs), ct.byref(record)), loglik[0]


@pytest.mark.parametrize("dims", [
    (-1, 1, 1), (1, -1, 1), (1, 1, -1), (-2**62, 1, 1),
    (2**31, 1, 1), (1, 2**31, 1), (2**62, 1, 1), (1, 1, 2**62), (2**28, 1, 1),
    (2**40, 2**40, 2**40), (3, 2**61, 0),
    # more shocks than any block could hold, though no region takes them
    (0, 0, 2**61),
])
@pytest.mark.parametrize("T", [1, 5])
def test_kf_rejects_unusable_dimensions(dims, T):
    assert raw_kf(*dims, T) == (-5, SENTINEL)


@pytest.mark.parametrize("store_history, return_shocks", [(1, 1), (0, 0)])
@pytest.mark.parametrize("T", [0, -1, -2**63])
def test_kf_empty_sample(T, store_history, return_shocks):
    model = random_model(np.random.default_rng(1), 3, 2, 2, 0)
    del model["y"]
    status, loglik = raw_kf(3, 2, 2, T, model, None, store_history, return_shocks)
    assert status == 0 and loglik == 0.0 and math.copysign(1.0, loglik) == 1.0


def test_kf_without_history_accepts_null_outputs():
    rng = np.random.default_rng(4)
    model = random_model(rng, 3, 2, 2, 6)
    status, loglik = raw_kf(3, 2, 2, 6, model, None, 0, 1)
    want_status, _, want = oracle_kf(3, 2, 2, 6, model, 1, 0.0, 1, 0)
    assert status == want_status == 0
    assert_same_bits(loglik, want["loglik"], "loglik")


@pytest.mark.parametrize("symmetrize", [0, 1])
def test_kf_gain_for_more_observables_than_vector_solves_take(symmetrize):
    # Past 64 observables the gain is solved row by row instead of in lanes.
    rng = np.random.default_rng(70 + symmetrize)
    n, m, k, T = 3, 70, 2, 2
    status, done, _, _ = compare_kf(n, m, k, T, random_model(rng, n, m, k, T), symmetrize,
                                    0.0, 1, 1)
    assert status == 0 and done == T
