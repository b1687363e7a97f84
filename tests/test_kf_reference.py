"""kf_hot_loop against independent Kalman filters, to a tolerance: a textbook
NumPy filter with explicit inverses, and statsmodels' state-space filter."""

import numpy as np
import pytest

from _native import run_kf
from test_bitexact import MODEL_KEYS, random_model


def textbook_filter(model, jitter=0.0):
    """Covariance form with np.linalg.inv; the jitter only enters the
    factorised S (log-likelihood, gain, standardised innovation, shocks)."""
    A, B, C, d, Q, R, y, x, P = (np.asarray(model[key], dtype=float) for key in MODEL_KEYS)
    n, m = A.shape[0], C.shape[0]
    BQBt = B @ Q @ B.T
    hist = {key: [] for key in ("x_pred", "x_filt", "P_pred", "P_filt", "y_pred",
                                "y_filt", "innov", "std_innov", "S", "eps_hat")}
    loglik = 0.0
    for yt in y:
        xp = A @ x
        Pp = A @ P @ A.T + BQBt
        Pp = (Pp + Pp.T) / 2
        S = C @ Pp @ C.T + R
        S = (S + S.T) / 2
        Sj = S + jitter * np.eye(m)
        Sinv = np.linalg.inv(Sj)
        v = yt - (C @ xp + d)
        K = Pp @ C.T @ Sinv
        x = xp + K @ v
        IKC = np.eye(n) - K @ C
        P = IKC @ Pp @ IKC.T + K @ R @ K.T
        P = (P + P.T) / 2
        loglik += -0.5 * (np.linalg.slogdet(Sj)[1] + m * np.log(2 * np.pi) + v @ Sinv @ v)
        for key, val in (("x_pred", xp), ("x_filt", x), ("P_pred", Pp), ("P_filt", P),
                         ("y_pred", C @ xp + d), ("y_filt", C @ x + d), ("innov", v),
                         ("std_innov", np.linalg.inv(np.linalg.cholesky(Sj)) @ v),
                         ("S", S), ("eps_hat", Q @ B.T @ C.T @ Sinv @ v)):
            hist[key].append(val)
    return loglik, {key: np.array(val) for key, val in hist.items()}


def assert_close(got, want, rtol, what):
    scale = max(np.abs(want).max(initial=0.0), 1.0)
    np.testing.assert_allclose(got, want, rtol=rtol, atol=rtol * scale, err_msg=what)


@pytest.mark.parametrize("jitter", [0.0, 1e-2])
@pytest.mark.parametrize("seed", range(6))
def test_matches_textbook_filter(seed, jitter):
    rng = np.random.default_rng(100 + seed)
    n, m, k = (int(v) for v in rng.integers(1, 7, 3))
    T = int(rng.integers(1, 16))
    model = random_model(rng, n, m, k, T)
    model["P0"] = (model["P0"] + model["P0"].T) / 2
    status, loglik, got = run_kf(n, m, k, T, *(model[key] for key in MODEL_KEYS),
                                 symmetrize=1, jitter=jitter, return_shocks=1)
    want_ll, want = textbook_filter(model, jitter)
    assert status == 0
    assert loglik == pytest.approx(want_ll, rel=1e-9)
    for key, val in want.items():
        assert_close(got[key], val.reshape(got[key].shape), 1e-9, key)


def statsmodels_filter(model, T):
    """statsmodels filter with the same model; its initial predicted moments are
    those of our period 0, A x0 and A P0 A' + B Q B'."""
    ssm = pytest.importorskip("statsmodels.tsa.statespace.kalman_filter")
    A, B, C, d, Q, R, y, x0, P0 = (np.asarray(model[key], dtype=float) for key in MODEL_KEYS)
    kf = ssm.KalmanFilter(k_endog=C.shape[0], k_states=A.shape[0], k_posdef=B.shape[1])
    kf.bind(np.array(y[:T], dtype=float))
    for name, val in (("design", C), ("obs_intercept", d), ("obs_cov", R),
                      ("transition", A), ("selection", B), ("state_cov", Q)):
        kf[name] = val
    kf.initialize_known(A @ x0, A @ P0 @ A.T + B @ Q @ B.T)
    res = kf.filter()
    return res.llf_obs, {
        "x_pred": res.predicted_state[:, :-1].T, "x_filt": res.filtered_state.T,
        "P_pred": res.predicted_state_cov[:, :, :-1].transpose(2, 0, 1),
        "P_filt": res.filtered_state_cov.transpose(2, 0, 1),
        "y_pred": res.forecasts.T, "innov": res.forecasts_error.T,
        "S": res.forecasts_error_cov.transpose(2, 0, 1)}


def nile_flow():
    try:
        from statsmodels.datasets import nile
        return nile.load_pandas().data["volume"].to_numpy(dtype=float)
    except Exception:  # the bundled data set is missing: same 100 values
        return np.array([
            1120, 1160, 963, 1210, 1160, 1160, 813, 1230, 1370, 1140, 995, 935, 1110, 994,
            1020, 960, 1180, 799, 958, 1140, 1100, 1210, 1150, 1250, 1260, 1220, 1030, 1100,
            774, 840, 874, 694, 940, 833, 701, 916, 692, 1020, 1050, 969, 831, 726,
            456, 824, 702, 1120, 1100, 832, 764, 821, 768, 845, 864, 862, 698, 845,
            744, 796, 1040, 759, 781, 865, 845, 944, 984, 897, 822, 1010, 771, 676,
            649, 846, 812, 742, 801, 1040, 860, 874, 848, 890, 744, 749, 838, 1050,
            918, 986, 797, 923, 975, 815, 1020, 906, 901, 1170, 912, 746, 919, 718,
            714, 740], dtype=float)


def local_level(P0, x0=0.0):
    y = nile_flow()
    return dict(A=[[1.0]], B=[[1.0]], C=[[1.0]], d=[0.0], Q=[[1469.1]], R=[[15099.0]],
                y=y.reshape(-1, 1), x0=[x0], P0=[[P0]]), len(y)


def run_model(model, T, **kw):
    dims = (len(model["x0"]), len(model["d"]), np.shape(model["Q"])[0], T)
    return run_kf(*dims, *(model[key] for key in MODEL_KEYS), **kw)


@pytest.mark.parametrize("P0, x0", [(1e7, 0.0), (1e4, 1100.0), (0.0, 900.0)])
def test_nile_local_level_matches_statsmodels(P0, x0):
    model, T = local_level(P0, x0)
    assert T == 100
    status, loglik, got = run_model(model, T)
    llf_obs, want = statsmodels_filter(model, T)
    assert status == 0
    assert loglik == pytest.approx(llf_obs.sum(), rel=1e-11)
    for key, val in want.items():
        assert_close(got[key], val.reshape(got[key].shape), 1e-10, key)


def test_nile_diffuse_loglik_of_the_literature():
    # Durbin and Koopman report a diffuse log-likelihood of -632.54 at these
    # variances; a large P0 and dropping the first period's term reproduce it.
    model, T = local_level(1e7)
    status, loglik, _ = run_model(model, T)
    first_status, first, _ = run_model(model, 1)
    assert status == first_status == 0
    assert round(loglik - first, 2) == -632.54


@pytest.mark.parametrize("seed", range(3))
def test_random_model_matches_statsmodels(seed):
    rng = np.random.default_rng(200 + seed)
    n, m, k, T = 4, 3, 2, 12
    model = random_model(rng, n, m, k, T)
    model["P0"] = (model["P0"] + model["P0"].T) / 2
    status, loglik, got = run_model(model, T)
    llf_obs, want = statsmodels_filter(model, T)
    assert status == 0
    assert loglik == pytest.approx(llf_obs.sum(), rel=1e-9)
    for key, val in want.items():
        assert_close(got[key], val.reshape(got[key].shape), 1e-9, key)
