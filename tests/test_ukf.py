"""Native unscented filter loop, checked against the NumPy reference in
ukf_oracle.py, against the linear filter on linear models, and for its
calling and failure contract."""

import ctypes as ct
import os
import pickle
import warnings

import numpy as np
import pytest
from numba import cfunc

import ukf_oracle
from _native import MEAS_FN, UKF_HISTORY_FIELDS, f64p, run_kf, run_ukf

MEAS_SIG = "void(CPointer(float64), CPointer(float64), CPointer(float64))"
SENTINEL = -777.25


# ---- measurement functions, native and Python twins -------------------------

@cfunc(MEAS_SIG)
def meas_linear(v, p, out):  # nv = 3, no = 2
    out[0] = 0.8 * v[0] - 0.3 * v[1] + 0.5 * v[2] + 0.1
    out[1] = 0.2 * v[0] + 1.1 * v[1] - 0.4 * v[2]


def py_linear(v, p):
    return np.array([0.8 * v[0] - 0.3 * v[1] + 0.5 * v[2] + 0.1,
                     0.2 * v[0] + 1.1 * v[1] - 0.4 * v[2]])


@cfunc(MEAS_SIG)
def meas_nonlinear(v, p, out):  # nv = 3, no = 3
    out[0] = np.exp(0.4 * v[0]) + v[2]
    out[1] = v[0] * v[1] + 0.5 * v[1]
    out[2] = np.sin(v[2]) + 0.3 * v[0] * v[0]


def py_nonlinear(v, p):
    return np.array([np.exp(0.4 * v[0]) + v[2], v[0] * v[1] + 0.5 * v[1],
                     np.sin(v[2]) + 0.3 * v[0] * v[0]])


@cfunc(MEAS_SIG)
def meas_params(v, p, out):
    # p = [nv, no, Z (no x nv), c (no), q (no)]: out = c + Z v + q (Z v)^2
    nv = int(p[0])
    no = int(p[1])
    for i in range(no):
        s = 0.0
        for j in range(nv):
            s += p[2 + i * nv + j] * v[j]
        out[i] = p[2 + no * nv + i] + s + p[2 + no * nv + no + i] * s * s


def py_params(v, p):
    nv, no = int(p[0]), int(p[1])
    s = p[2:2 + no * nv].reshape(no, nv) @ v
    return p[2 + no * nv:2 + no * nv + no] + s + p[2 + no * nv + no:] * s * s


def pack_params(Z, c, q):
    return np.concatenate([[Z.shape[1], Z.shape[0]], Z.ravel(), c, q])


class Recorder:
    """ctypes measurement callback that records (vars address, vars, params
    address, out address) per call and answers with fn(vars, call index)."""

    def __init__(self, fn, nv, no):
        self.calls = []

        def callback(v, p, out):
            x = np.ctypeslib.as_array(ct.cast(v, f64p), (nv,)).copy()
            y = np.asarray(fn(x, len(self.calls)), dtype=np.float64)
            self.calls.append((v, x, p, out))
            np.ctypeslib.as_array(ct.cast(out, f64p), (no,))[:] = y

        self.fn = MEAS_FN(callback)


# ---- random models ----------------------------------------------------------

def spd(rng, n, floor):
    A = rng.normal(size=(n, n))
    return A @ A.T / n + floor * np.eye(n)


def random_model(rng, ns, nc, ne, no, T, second_order=True):
    # Eigenvalues kept away from zero: x2 takes no process noise, so a nearly
    # singular hx would let its covariance collapse within a few periods.
    U = np.eye(ns) + 0.3 * rng.normal(size=(ns, ns))
    hx = U @ np.diag(rng.uniform(0.6, 0.95, ns) * rng.choice([-1, 1], ns)) @ np.linalg.inv(U)
    k = 0.2 if second_order else 0.0
    model = dict(
        hx=hx, gx=rng.normal(size=(nc, ns)) * 0.6, bx=rng.normal(size=(ns, ne)) * 0.5,
        hxx=rng.normal(size=(ns, ns, ns)) * k, gxx=rng.normal(size=(nc, ns, ns)) * k,
        hss=rng.normal(size=ns) * k, gss=rng.normal(size=nc) * k,
        steady_state=rng.normal(size=ns + nc) * 0.5, Q=spd(rng, ne, 0.2),
        R=spd(rng, no, 0.1) * 0.3, z0=rng.normal(size=2 * ns) * 0.2,
        P0=spd(rng, 2 * ns, 0.05) * 0.2, params=None)
    model["obs"] = rng.normal(size=(T, no)) * 0.5
    return model


def random_params(rng, nv, no, quadratic):
    return pack_params(rng.normal(size=(no, nv)), rng.normal(size=no) * 0.3,
                       rng.normal(size=no) * 0.2 if quadratic else np.zeros(no))


def close(actual, expected, rtol):
    """Equal up to rtol times the largest magnitude of the expected array."""
    actual, expected = np.asarray(actual), np.asarray(expected)
    assert actual.shape == expected.shape
    assert np.all(np.isfinite(actual))
    bound = rtol * max(np.abs(expected).max(initial=0.0), 1e-300)
    return np.abs(actual - expected).max(initial=0.0) <= bound


def untouched(outputs):
    return all(np.all(a == SENTINEL) for a in outputs.values())


# ---- agreement with the reference -------------------------------------------

ORACLE_CASES = [
    # measurement, ns, nc, ne, no, (alpha, beta, kappa), jitter
    ("nonlinear", 2, 1, 2, 3, (1.0, 2.0, 0.0), 0.0),
    ("linear", 2, 1, 1, 2, (0.8, 2.0, 1.0), 1e-9),
    ("params", 3, 2, 2, 2, (0.9, 1.0, 0.5), 0.0),
    ("params", 1, 0, 1, 1, (1.0, 2.0, 0.0), 1e-7),   # no controls: null gx, gxx, gss
    ("params", 2, 1, 0, 2, (1.2, 0.0, -1.0), 0.0),   # no shocks: null bx, Q
    ("params", 4, 3, 2, 3, (1.0, 2.0, 0.0), 0.0),    # the largest loop fixed at compile time
    ("params", 5, 2, 2, 3, (1.0, 2.0, 0.0), 0.0),    # just past it: the general loop
    # 25 sigma points leave one over after tiles of 4 or 8; 11 controls run
    # past a full vector of outputs
    ("params", 6, 11, 3, 2, (1.0, 2.0, 0.0), 0.0),
]
MEAS = {"nonlinear": (meas_nonlinear, py_nonlinear), "linear": (meas_linear, py_linear),
        "params": (meas_params, py_params)}


@pytest.mark.parametrize("symmetrize", [0, 1])
@pytest.mark.parametrize("case", range(len(ORACLE_CASES)))
def test_matches_reference(case, symmetrize):
    name, ns, nc, ne, no, (alpha, beta, kappa), jitter = ORACLE_CASES[case]
    rng = np.random.default_rng(100 + case)
    m = random_model(rng, ns, nc, ne, no, T=12)
    if name == "params":
        m["params"] = random_params(rng, ns + nc, no, quadratic=True)
    if nc == 0:
        m.update(gx=None, gxx=None, gss=None)
    if ne == 0:
        m.update(bx=None, Q=None)
    native_meas, py_meas = MEAS[name]
    settings = dict(alpha=alpha, beta=beta, kappa=kappa, jitter=jitter, symmetrize=symmetrize)

    status, loglik, out = run_ukf(native_meas, **m, **settings)
    ref_status, ref_loglik, ref = ukf_oracle.ukf(py_meas, **m, **settings)

    assert status == ref_status == 0
    assert loglik == pytest.approx(ref_loglik, rel=1e-10)
    for field in UKF_HISTORY_FIELDS:
        assert close(out[field], ref[field], 1e-10), field
    if symmetrize:
        for field in ("P_pred", "P_filt", "S"):
            assert np.all(out[field] == np.swapaxes(out[field], 1, 2)), field


@pytest.mark.parametrize("symmetrize", [0, 1])
def test_linear_model_reproduces_linear_filter(symmetrize):
    """With no second-order terms, no jitter and a linear measurement the
    sigma-point sums are exact for the stacked linear system."""
    for seed in range(25):
        rng = np.random.default_rng(seed)
        ns, nc, ne, no = rng.integers(1, 4), rng.integers(0, 3), rng.integers(0, 3), rng.integers(1, 4)
        nz, T = 2 * ns, 10
        m = random_model(rng, ns, nc, ne, no, T, second_order=False)
        params = random_params(rng, ns + nc, no, quadratic=False)
        m["params"] = params
        Z, c = params[2:2 + no * (ns + nc)].reshape(no, ns + nc), params[2 + no * (ns + nc):][:no]
        alpha, kappa = rng.uniform(0.5, 1.5), rng.uniform(-0.5, 2.0)
        status, loglik, out = run_ukf(meas_params, **m, alpha=alpha, beta=2.0, kappa=kappa,
                                      symmetrize=symmetrize)

        vars_map = np.block([[np.eye(ns), np.eye(ns)], [m["gx"], m["gx"]]])
        A = np.kron(np.eye(2), m["hx"])
        B = np.vstack([m["bx"], np.zeros((ns, ne))])
        kf_status, kf_loglik, kf = run_kf(nz, no, ne, T, A, B, Z @ vars_map,
                                          Z @ m["steady_state"] + c, m["Q"], m["R"], m["obs"],
                                          m["z0"], m["P0"], symmetrize=symmetrize)
        assert status == kf_status == 0
        assert loglik == pytest.approx(kf_loglik, rel=1e-9)
        z_pred = np.hstack([out["x1_pred"], out["x2_pred"]])
        z_filt = np.hstack([out["x1_filt"], out["x2_filt"]])
        for mine, theirs in ((z_pred, kf["x_pred"]), (z_filt, kf["x_filt"]),
                             (out["P_pred"], kf["P_pred"]), (out["S"], kf["S"]),
                             (out["P_filt"], kf["P_filt"]), (out["y_pred"], kf["y_pred"])):
            assert close(mine, theirs, 1e-9), seed


def test_history_projection_adds_expected_second_order_term():
    rng = np.random.default_rng(7)
    ns, nc, no, T = 2, 2, 2, 6
    m = random_model(rng, ns, nc, 2, no, T)
    m["gxx"] *= 5
    model = ukf_oracle.Model(m["hx"], m["gx"], m["bx"], m["hxx"], m["gxx"], m["hss"],
                             m["gss"], m["steady_state"])
    Z = rng.normal(size=(no, ns + nc))
    rec = Recorder(lambda v, k: Z @ v, ns + nc, no)
    status, _, out = run_ukf(rec.fn, **m)
    assert status == 0
    n_sig = 4 * ns + 1

    def expected_term(P):
        return np.concatenate([np.zeros(ns), 0.5 * np.einsum("cjk,jk->c", m["gxx"], P[:ns, :ns])])

    for t in range(T):
        # The first sigma point of the measurement pass is z_pred itself.
        centre = rec.calls[t * (n_sig + 1)][1]
        term = expected_term(out["P_pred"][t])
        assert np.abs(term).max() > 1e-3
        assert np.allclose(out["x_pred"][t] - centre, term, rtol=1e-10, atol=1e-13)
        z_filt = np.concatenate([out["x1_filt"][t], out["x2_filt"][t]])
        assert np.allclose(out["x_filt"][t] - model.project(z_filt),
                           expected_term(out["P_filt"][t]), rtol=1e-10, atol=1e-13)


# ---- calls of the measurement function ---------------------------------------

@pytest.mark.parametrize("with_params", [True, False])
def test_measurement_calls(with_params):
    rng = np.random.default_rng(3)
    ns, nc, no, T = 2, 1, 3, 4
    n_sig, nv = 4 * ns + 1, ns + nc
    m = random_model(rng, ns, nc, 2, no, T)
    params = np.array([0.5, -1.0]) if with_params else None
    m["params"] = params
    Z = rng.normal(size=(no, nv))
    recs, runs = [], []
    for store in (1, 0):
        rec = Recorder(lambda v, k: Z @ v + 0.1 * np.sin(v).sum(), nv, no)
        runs.append(run_ukf(rec.fn, **m, store_history=store, null_history=not store))
        recs.append(rec)
    (status, loglik, out), (status_off, loglik_off, _) = runs
    on, off = recs[0].calls, recs[1].calls
    assert status == status_off == 0
    assert loglik == loglik_off
    assert len(on) == T * (n_sig + 1) and len(off) == T * n_sig

    expected_params = params.ctypes.data if with_params else None
    assert all(call[2] == expected_params for call in on + off)
    sigma_calls = [c for i, c in enumerate(on) if i % (n_sig + 1) != n_sig]
    assert len({c[0] for c in sigma_calls}) == 1
    assert len({c[0] for c in off}) == 1
    for a, b in zip(sigma_calls, off):  # same calls whether the history is stored or not
        assert np.array_equal(a[1], b[1])

    model = ukf_oracle.Model(m["hx"], m["gx"], m["bx"], m["hxx"], m["gxx"], m["hss"],
                             m["gss"], m["steady_state"])
    gamma = np.sqrt(2 * ns)
    for t in range(T):
        period = on[t * (n_sig + 1):(t + 1) * (n_sig + 1)]
        z_pred = np.concatenate([out["x1_pred"][t], out["x2_pred"][t]])
        sig = ukf_oracle.sigma_points(z_pred, np.linalg.cholesky(out["P_pred"][t]), gamma)
        for r in range(n_sig):
            assert np.allclose(period[r][1], model.project(sig[r]), rtol=1e-12, atol=1e-12)
        vars_addr, x, _, out_addr = period[n_sig]
        assert vars_addr == out["x_filt"].ctypes.data + 8 * t * nv
        assert out_addr == out["y_filt"].ctypes.data + 8 * t * no
        assert np.array_equal(x, out["x_filt"][t])
        assert np.allclose(out["y_filt"][t], Z @ x + 0.1 * np.sin(x).sum(), rtol=1e-14)


# ---- failures and degenerate sizes -------------------------------------------

def small_model(T=5, seed=11):
    rng = np.random.default_rng(seed)
    return random_model(rng, 2, 1, 2, 2, T)


def test_initial_covariance_not_positive_definite():
    m = small_model()
    m["P0"] = m["P0"] - 2.0 * np.eye(4) * np.abs(m["P0"]).max()
    rec = Recorder(py_linear, 3, 2)
    status, loglik, out = run_ukf(rec.fn, **m, fill=SENTINEL)
    assert status == -3 and loglik == 0.0
    assert untouched(out) and not rec.calls


def test_innovation_covariance_failing_in_a_later_period():
    m = small_model(T=5)
    n_sig, fail_at = 9, 2
    first = fail_at * (n_sig + 1)

    def meas(v, k):
        # From period 2 on only the centre image moves; with a negative centre
        # covariance weight (beta = -1, alpha = 1, kappa = 0) S turns indefinite.
        if k < first:
            return py_linear(v, None)
        return np.array([1.0 + 1e3 * (k == first), 2.0])

    rec = Recorder(meas, 3, 2)
    status, loglik, out = run_ukf(rec.fn, **m, beta=-1.0, fill=SENTINEL)
    ref_status, ref_loglik, ref = ukf_oracle.ukf(py_linear, **{**m, "obs": m["obs"][:fail_at]},
                                                 beta=-1.0)
    assert status == -3 and ref_status == 0
    assert loglik == pytest.approx(ref_loglik, rel=1e-10)
    assert len(rec.calls) == fail_at * (n_sig + 1) + n_sig  # no y_filt call in the failing period
    for field in UKF_HISTORY_FIELDS:
        assert close(out[field][:fail_at], ref[field], 1e-10), field
        assert np.all(out[field][fail_at:] == SENTINEL), field


@pytest.mark.parametrize("unscented", [dict(alpha=0.0), dict(kappa=-4.0), dict(kappa=-5.0),
                                       dict(alpha=np.inf), dict(alpha=np.nan)])
def test_unusable_sigma_point_scale(unscented):
    rec = Recorder(py_linear, 3, 2)
    status, loglik, out = run_ukf(rec.fn, **small_model(), **unscented, fill=SENTINEL)
    assert status == -3 and loglik == SENTINEL
    assert untouched(out) and not rec.calls


@pytest.mark.parametrize("bad", [dict(meas=None), dict(n_state=0), dict(n_state=-1),
                                 dict(n_obs=0), dict(n_obs=-2), dict(n_ctrl=-1),
                                 dict(n_exog=-1), dict(n_ctrl=-1, T=0)])
def test_invalid_inputs(bad):
    rec = Recorder(py_linear, 3, 2)
    bad = dict(bad)
    meas = bad.pop("meas", rec.fn)
    status, loglik, out = run_ukf(meas, **small_model(), **bad, fill=SENTINEL)
    assert status == -2 and loglik == SENTINEL
    assert untouched(out) and not rec.calls


@pytest.mark.parametrize("T", [0, -3])
def test_no_periods(T):
    rec = Recorder(py_linear, 3, 2)
    m = small_model()
    status, loglik, out = run_ukf(rec.fn, **{**m, "obs": None}, T=T, fill=SENTINEL)
    assert status == 0 and loglik == 0.0
    assert untouched(out) and not rec.calls


def in_child(fn):
    """Runs fn in a forked process so that a native crash fails one test
    instead of the run; returns fn's (picklable) result."""
    read_end, write_end = os.pipe()
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork with BLAS threads
        pid = os.fork()
    if pid == 0:
        try:
            os.close(read_end)
            os.write(write_end, pickle.dumps(fn()))
        finally:
            os._exit(0)
    os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        data = pipe.read()
    _, wait_status = os.waitpid(pid, 0)
    assert os.WIFEXITED(wait_status), f"native call died: wait status {wait_status}"
    return pickle.loads(data)


@pytest.mark.parametrize("dims", [dict(n_state=2**31), dict(n_state=2**62),
                                  dict(n_obs=2**32), dict(n_exog=2**62),
                                  dict(n_ctrl=2**63 - 1), dict(n_exog=2**61),
                                  dict(n_state=2**40, n_obs=2**40, n_ctrl=2**40)])
def test_scratch_size_overflow(dims):
    def call():
        rec = Recorder(py_linear, 3, 2)
        status, loglik, out = run_ukf(rec.fn, **small_model(), **dims, fill=SENTINEL)
        return status, loglik, untouched(out), len(rec.calls)

    assert in_child(call) == (-5, SENTINEL, True, 0)
