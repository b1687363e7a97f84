"""kalman_filter, the linear filter for real data: agreement to the bit with
kalman_hot_loop where both apply, the arrays it accepts and how it converts
them, its named result, what missing entries do, and every error path."""

import inspect
import pydoc
import sys
import tracemalloc
import types

import numpy as np
import pytest

import Orvanta.kalman
import Orvanta._ckernels.kalman._kalman as K
from _threads import spinner_ticks
from test_kalman_entry import KEYS, model

kalman_filter = K.kalman_filter
MODEL_KEYS = ("A", "B", "C", "d", "Q", "R", "y")
FIELDS = ("loglik", "loglik_t", "nobs", "diffuse_periods", "x_pred", "x_filt", "P_pred",
          "P_filt", "y_pred", "y_filt", "innov", "std_innov", "S", "eps_hat")
HISTORY = FIELDS[4:]


def same_bits(a, b):
    a, b = np.asarray(a, np.float64), np.asarray(b, np.float64)
    return a.shape == b.shape and a.tobytes() == b.tobytes()


def run(mdl, **kw):
    return kalman_filter(*(mdl[key] for key in MODEL_KEYS), **kw)


def hot_loop(mdl, symmetrize=True, jitter=0.0, shocks=True, store=True):
    n, k = mdl["B"].shape
    T, m = mdl["y"].shape
    return K.kalman_hot_loop(T, (n, m, k), *(mdl[key] for key in KEYS), symmetrize, jitter,
                             shocks, store)[2]


# ---- agreement with kalman_hot_loop ------------------------------------------------------

# The loops specialised for small models (n <= 8, m <= min(n, 4)) and the
# general one (m > 4, or n > 8, or m > n).
SIZES = [(1, 1, 1), (2, 1, 2), (3, 2, 1), (4, 4, 3), (8, 3, 2), (8, 5, 3), (9, 2, 2),
         (2, 3, 2), (20, 5, 5)]


@pytest.mark.parametrize("n, m, k", SIZES)
@pytest.mark.parametrize("symmetrize, jitter", [(True, 0.0), (False, 0.0), (True, 0.05)])
def test_complete_data_known_start_is_bit_identical_to_kalman_hot_loop(n, m, k, symmetrize,
                                                                      jitter):
    mdl = model(n, m, k, 25, seed=n + m + k)
    want = hot_loop(mdl, symmetrize, jitter)
    got = run(mdl, x0=mdl["x0"], P0=mdl["P0"], symmetrize=symmetrize, jitter=jitter,
              return_shocks=True)
    assert same_bits(got.loglik, want[10])
    for name, array in zip(HISTORY, want[:10]):
        assert same_bits(getattr(got, name), array), name
    assert (got.nobs, got.diffuse_periods) == (25 * m, 0)
    # the total is the sum of the terms, in period order
    total = 0.0
    for term in got.loglik_t:
        total += term
    assert same_bits(total, got.loglik)
    # without history, the same log-likelihood and terms
    bare = run(mdl, x0=mdl["x0"], P0=mdl["P0"], symmetrize=symmetrize, jitter=jitter,
               store_history=False)
    assert same_bits(bare.loglik, got.loglik) and same_bits(bare.loglik_t, got.loglik_t)
    assert all(getattr(bare, name) is None for name in HISTORY)


def test_public_module_reexports_the_entries():
    names = ["kalman_filter", "kalman_hot_loop", "ukf_hot_loop", "KalmanFilterResult",
             "kalman_smoother", "KalmanSmootherResult", "kalman_loglik_batch",
             "KalmanLoglikBatchResult", "kalman_loglik_grad", "KalmanLoglikGradResult"]
    for name in names:
        assert getattr(Orvanta.kalman, name) is getattr(K, name)
    helpers = ["MeasurementFunction", "MEASUREMENT_SIGNATURE"]
    assert sorted(Orvanta.kalman.__all__) == sorted(names + helpers)


# ---- inputs ------------------------------------------------------------------------------

def counting_numpy(monkeypatch):
    """Replaces the module's np by a proxy that counts its conversions."""
    calls = []

    def asarray(obj, *args, **kw):
        calls.append(kw)
        return np.asarray(obj, *args, **kw)

    proxy = types.SimpleNamespace(zeros=np.zeros, float64=np.float64, asarray=asarray)
    monkeypatch.setattr(K, "np", proxy)
    return calls


def test_c_contiguous_float64_arrays_are_read_in_place_even_read_only(monkeypatch):
    mdl = model(3, 2, 2, 10)
    want = run(mdl, x0=mdl["x0"], P0=mdl["P0"])
    for value in mdl.values():
        value.flags.writeable = False
    calls = counting_numpy(monkeypatch)
    got = run(mdl, x0=mdl["x0"], P0=mdl["P0"])
    assert calls == []  # nothing converted, nothing copied
    assert same_bits(got.loglik, want.loglik) and same_bits(got.P_filt, want.P_filt)


@pytest.mark.parametrize("how", ["fortran", "int", "int8", "list", "strided", "float32",
                                 "big-endian"])
def test_other_real_arrays_are_converted_once(monkeypatch, how):
    mdl = model(3, 2, 2, 10)
    mdl["C"] = np.round(mdl["C"])  # integer values, so that every form holds them exactly
    base = run(mdl, x0=mdl["x0"], P0=mdl["P0"])
    C = mdl["C"]
    mdl["C"] = {"fortran": np.asfortranarray(C), "int": C.astype(np.int64),
                "int8": C.astype(np.int8),
                "list": C.tolist(), "strided": np.repeat(C, 2, axis=1)[:, ::2],
                "float32": C.astype(np.float32), "big-endian": C.astype(">f8")}[how]
    calls = counting_numpy(monkeypatch)
    got = run(mdl, x0=mdl["x0"], P0=mdl["P0"])
    # a look at what it holds, then one conversion
    assert calls == [{}, {"dtype": np.float64, "order": "C"}]
    assert same_bits(got.loglik, base.loglik) and same_bits(got.x_filt, base.x_filt)


@pytest.mark.parametrize("value, error, message", [
    (np.ones((2, 3), complex), TypeError, "C must hold real numbers; got an array of dtype "
                                          "complex128."),
    (np.array([["a", "b", "c"]] * 2), TypeError, "C must hold real numbers"),
    ([[1.0, None, 2.0], [0.0, 1.0, 2.0]], TypeError, "C must hold real numbers; got an array "
                                                     "of dtype object."),
    ([[1.0, 2.0, 3.0], [1.0]], ValueError, "C could not be converted to a float64 array: "),
    (None, TypeError, "C must be a real array, not None."),
])
def test_arrays_that_are_not_real_are_refused_by_name(value, error, message):
    mdl = model(3, 2, 2, 5)
    mdl["C"] = value
    with pytest.raises(error) as info:
        run(mdl, x0=mdl["x0"], P0=mdl["P0"])
    assert str(info.value).startswith(message)


def test_masked_y_is_missing_where_masked_and_masked_model_arrays_are_refused():
    mdl = model(3, 2, 2, 12)
    start = dict(x0=mdl["x0"], P0=mdl["P0"])
    mask = np.zeros(mdl["y"].shape, bool)
    mask[2, 1] = mask[5] = True
    with_nan = dict(mdl, y=np.where(mask, np.nan, mdl["y"]))
    masked = dict(mdl, y=np.ma.masked_array(mdl["y"], mask))
    want = run(with_nan, **start)
    got = run(masked, **start)
    assert all(same_bits(getattr(got, f), getattr(want, f)) for f in FIELDS[:-1])
    batch = K.kalman_loglik_batch(*(masked[key] for key in MODEL_KEYS), **start)
    assert same_bits(batch.loglik, [want.loglik])
    for key in ("A", "R"):
        with pytest.raises(TypeError, match=f"{key} is a masked array; only y may"):
            run(dict(mdl, **{key: np.ma.masked_array(mdl[key])}), **start)


def test_pandas_missing_values_get_a_hint():
    pd = pytest.importorskip("pandas")
    mdl = model(1, 1, 1, 4)
    column = pd.Series(mdl["y"][:, 0], dtype="Float64")
    column[2] = pd.NA
    with pytest.raises(TypeError, match=r"dtype object\. If it holds pandas' missing values "
                                        r"\(pd\.NA\), pass \.to_numpy\(dtype=float, "
                                        r"na_value=np\.nan\)\.$"):
        run(dict(mdl, y=column.astype(object).to_numpy()[:, None]), x0=mdl["x0"], P0=mdl["P0"])


def test_shape_errors_name_the_likely_culprit():
    mdl = model(3, 2, 2, 5)
    start = dict(x0=mdl["x0"], P0=mdl["P0"])
    cases = [
        (dict(mdl, y=mdl["y"].T), "y must have shape (T, m) with m = 2, the rows of C; got "
                                  "(2, 5), which looks transposed: pass y.T."),
        (dict(mdl, C=np.ones((4, 3))), "C and y disagree on the number of observables m: C "
                                       "(m, n) has 4 rows, y (T, m) has 2 columns."),
    ]
    for args, message in cases:
        with pytest.raises(ValueError) as info:
            run(args, **start)
        assert str(info.value) == message
    # d left out, x0 and P0 given by position: each argument moves up one place
    shifted = [mdl[key] for key in ("A", "B", "C", "Q", "R", "y")] + [mdl["x0"], mdl["P0"]]
    with pytest.raises(ValueError, match=r"got \(3,\)\. The positional arguments look "
                                         r"shifted: d \(m,\) comes between C and Q\.$"):
        kalman_filter(*shifted)


@pytest.mark.parametrize("key, value, message", [
    ("A", np.ones((3, 4)), "A must have shape (n, n); got (3, 4)."),
    ("A", np.ones(3), "A must have shape (n, n); got (3,)."),
    ("B", np.ones((2, 2)), "A and B disagree on the number of states n: A (n, n) has 3 rows, "
                           "B (n, k) has 2 rows."),
    ("y", np.ones(5), "y must have shape (T, m); got (5,). One series is a column: y[:, None]."),
    ("y", np.ones((5, 2, 1)), "y must have shape (T, m); got (5, 2, 1)."),
    ("C", np.ones((3, 2)), "C must have shape (m, n) = (2, 3); got (3, 2)."),
    ("d", np.ones((2, 1)), "d must have shape (m,) = (2,); got (2, 1)."),
    ("d", 1.5, "d must have shape (m,) = (2,); got ()."),
    ("Q", np.ones((2, 3)), "Q must have shape (k, k) = (2, 2); got (2, 3)."),
    ("R", np.ones(()), "R must have shape (m, m) = (2, 2); got ()."),
    ("x0", np.ones(4), "A and x0 disagree on the number of states n: A (n, n) has 3 rows, "
                       "x0 (n,) has 4 entries."),
    ("P0", np.ones((1, 3, 3, 1)), "P0 must have shape (n, n) = (3, 3); got an array of 4 "
                                  "dimensions."),
])
def test_shape_errors_name_the_argument_and_the_expected_shape(key, value, message):
    mdl = dict(model(3, 2, 2, 5))
    mdl[key] = value
    with pytest.raises(ValueError) as info:
        kalman_filter(*(mdl[k] for k in MODEL_KEYS), x0=mdl["x0"], P0=mdl["P0"])
    assert str(info.value) == message


def test_infinity_in_y_is_an_error_of_the_data():
    mdl = model(3, 2, 2, 6)
    mdl["y"][4, 1] = -np.inf
    mdl["y"][0, 0] = np.nan
    with pytest.raises(ValueError) as info:
        run(mdl, x0=mdl["x0"], P0=mdl["P0"])
    assert str(info.value) == ("y[4, 1] is infinite; y may hold finite values, and NaN where a "
                               "value is missing.")


# ---- the starts and their arguments -------------------------------------------------------

@pytest.mark.parametrize("A", [np.eye(2), np.array([[1.01, 0.0], [0.0, 0.5]]),
                               np.array([[0.0, -1.0], [1.0, 0.0]]),  # a rotation
                               np.array([[0.5, 1.0], [0.0, -1.0]]),
                               # rotations whose modulus is 1 but for rounding
                               np.array([[0.6, -0.8], [0.8, 0.6]]),
                               np.array([[np.cos(0.3), -np.sin(0.3)],
                                         [np.sin(0.3), np.cos(0.3)]])])
def test_stationary_start_refuses_a_without_all_roots_inside_the_unit_circle(A):
    mdl = dict(model(2, 1, 1, 4), A=A)
    with pytest.raises(ValueError) as info:
        run(mdl, init="stationary")
    assert str(info.value) == ("init='stationary' needs every eigenvalue of A strictly inside "
                               "the unit circle; A has one on or outside it.")


@pytest.mark.parametrize("kw, error, message", [
    (dict(init="exact"), ValueError, "init must be 'known', 'stationary' or 'diffuse'; got "
                                     "'exact'."),
    (dict(init=2), TypeError, "init must be 'known', 'stationary' or 'diffuse'; got 2."),
    (dict(P0=None), TypeError, "init='known' needs x0 and P0, the filtered state and its "
                               "covariance in the period before the first observation; P0 is "
                               "missing."),
    (dict(x0=None, P0=None), TypeError, "both are missing."),
    (dict(x0=None), TypeError, "x0 is missing."),
    (dict(init="stationary"), ValueError, "P0 must be None with init='stationary'"),
    (dict(diffuse_states=[1, 0, 1]), ValueError, "diffuse_states is used only with "
                                                 "init='diffuse'."),
    (dict(init="diffuse", diffuse_states=[1, 0]), ValueError,
     "A and diffuse_states disagree on the number of states n: A (n, n) has 3 rows, "
     "diffuse_states (n,) has 2 entries."),
    (dict(init="diffuse", diffuse_states=[1, 2, 0]), ValueError,
     "diffuse_states must hold 0/1 or booleans, one per state; got 2 at index 1."),
    (dict(init="diffuse", diffuse_states=[0.5, 1, 0]), ValueError, "got 0.5 at index 0."),
    (dict(init="diffuse", diffuse_states=[1j, 1, 0]), TypeError, "diffuse_states must hold "
                                                                 "real numbers"),
])
def test_start_arguments_are_checked(kw, error, message):
    mdl = model(3, 2, 2, 5)
    kw = {"x0": mdl["x0"], "P0": mdl["P0"], **kw}
    with pytest.raises(error) as info:
        run(mdl, **kw)
    assert message in str(info.value)


def test_not_positive_definite_names_the_period(monkeypatch):
    mdl = dict(model(2, 1, 1, 4), C=np.zeros((1, 2)), R=np.array([[-1.0]]))
    mdl["y"][0] = np.nan  # the first period only predicts; the second fails
    with pytest.raises(np.linalg.LinAlgError) as info:
        run(mdl, x0=mdl["x0"], P0=mdl["P0"])
    assert str(info.value) == "Innovation covariance is not positive definite (period 1)."
    mine = type("Mine", (Exception,), {})
    monkeypatch.setattr(K, "LinAlgError", mine)  # looked up when raised, as for hot_loop
    with pytest.raises(mine):
        run(mdl, x0=mdl["x0"], P0=mdl["P0"])


def test_diffuse_states_accept_booleans_and_default_to_every_state():
    mdl = model(3, 2, 2, 12)
    every = run(mdl, init="diffuse")
    assert every.diffuse_periods >= 2  # m = 2 observables for 3 diffuse states
    assert same_bits(run(mdl, init="diffuse", diffuse_states=[True] * 3).loglik_t,
                     every.loglik_t)
    assert same_bits(run(mdl, init="diffuse", diffuse_states=np.ones(3, np.int32)).x_filt,
                     every.x_filt)
    # no diffuse state: the first prediction is (x0, P0) itself, no diffuse period
    none = run(mdl, x0=mdl["x0"], P0=mdl["P0"], init="diffuse", diffuse_states=[0, 0, 0])
    A, B, Q = mdl["A"], mdl["B"], mdl["Q"]
    assert none.diffuse_periods == 0
    assert same_bits(none.x_pred[0], mdl["x0"])
    np.testing.assert_allclose(none.x_pred[1], A @ none.x_filt[0], rtol=1e-14)
    np.testing.assert_allclose(none.P_pred[1], A @ none.P_filt[0] @ A.T + B @ Q @ B.T,
                               rtol=1e-12)


def test_diffuse_periods_report_finite_parts_and_no_standardised_innovation():
    mdl = model(3, 2, 2, 12)
    result = run(mdl, init="diffuse", return_shocks=True)
    d = result.diffuse_periods
    assert np.isnan(result.std_innov[:d]).all() and not np.isnan(result.std_innov[d:]).any()
    C, R = mdl["C"], mdl["R"]
    for t in range(d):  # S is the finite part C P_* C^T + R
        np.testing.assert_allclose(result.S[t], C @ result.P_pred[t] @ C.T + R, rtol=1e-12,
                                   atol=1e-12)
    assert np.isfinite(result.eps_hat).all() and np.isfinite(result.loglik)


# ---- missing observations ------------------------------------------------------------------

def test_fully_missing_period_only_predicts():
    mdl = model(3, 2, 2, 8)
    mdl["y"][[0, 3, 7]] = np.nan
    r = run(mdl, x0=mdl["x0"], P0=mdl["P0"], return_shocks=True)
    A, B, C, d, Q, R = (mdl[key] for key in ("A", "B", "C", "d", "Q", "R"))
    for t in (0, 3, 7):
        assert same_bits(r.x_filt[t], r.x_pred[t]) and same_bits(r.P_filt[t], r.P_pred[t])
        assert r.loglik_t[t] == 0.0 and (r.eps_hat[t] == 0.0).all()
        assert np.isnan(r.innov[t]).all() and np.isnan(r.std_innov[t]).all()
        np.testing.assert_allclose(r.y_pred[t], C @ r.x_pred[t] + d, rtol=1e-13, atol=1e-13)
        assert same_bits(r.y_filt[t], r.y_pred[t])
        np.testing.assert_allclose(r.S[t], C @ r.P_pred[t] @ C.T + R, rtol=1e-13, atol=1e-13)
    np.testing.assert_allclose(r.P_pred[4], A @ r.P_filt[3] @ A.T + B @ Q @ B.T, rtol=1e-12)
    assert r.nobs == 10


@pytest.mark.parametrize("n, m, k", [(3, 3, 2), (4, 4, 2), (6, 5, 3), (2, 4, 2)])
def test_partly_observed_period_runs_the_full_steps_on_its_observed_rows(n, m, k):
    """Period t with entries missing filters exactly as kalman_hot_loop does
    for one period of the model reduced to the observed rows, from the
    filtered moments of period t - 1."""
    mdl = model(n, m, k, 6, seed=n * m)
    observed = np.arange(m) % 2 == 0
    mdl["y"][3, ~observed] = np.nan
    r = run(mdl, x0=mdl["x0"], P0=mdl["P0"], return_shocks=True)
    rows = np.flatnonzero(observed)
    reduced = dict(A=mdl["A"], B=mdl["B"], C=np.ascontiguousarray(mdl["C"][rows]),
                   d=mdl["d"][rows], Q=mdl["Q"], R=np.ascontiguousarray(mdl["R"][np.ix_(rows, rows)]),
                   y=np.ascontiguousarray(mdl["y"][3:4, rows]),
                   x0=r.x_filt[2].copy(), P0=r.P_filt[2].copy())
    one = hot_loop(reduced)
    for name in ("x_pred", "x_filt", "P_pred", "P_filt", "eps_hat"):
        assert same_bits(getattr(r, name)[3], one[HISTORY.index(name)][0]), name
    assert same_bits(r.loglik_t[3], one[10])
    assert same_bits(r.innov[3, rows], one[6][0]) and np.isnan(r.innov[3, ~observed]).all()
    assert same_bits(r.std_innov[3, rows], one[7][0])
    assert same_bits(r.y_pred[3, rows], one[4][0])  # the nowcast agrees where observed
    np.testing.assert_allclose(r.S[3], mdl["C"] @ r.P_pred[3] @ mdl["C"].T + mdl["R"],
                               rtol=1e-12)
    assert r.nobs == 6 * m - int((~observed).sum())


# ---- the result, the signature and the lock ------------------------------------------------

def test_result_is_a_named_tuple_of_documented_fields():
    mdl = model(3, 2, 2, 7)
    r = run(mdl, x0=mdl["x0"], P0=mdl["P0"])
    assert type(r) is K.KalmanFilterResult and isinstance(r, tuple)
    assert type(r).n_fields == len(r) == 14 and type(r).__match_args__ == FIELDS
    assert all(r[i] is getattr(r, name) for i, name in enumerate(FIELDS))
    loglik, loglik_t, nobs, diffuse, *history = r
    assert type(loglik) is float and type(nobs) is int and type(diffuse) is int
    assert loglik_t.shape == (7,) and history[-1] is None  # no shocks asked for
    assert [a.shape for a in history[:-1]] == [(7, 3), (7, 3), (7, 3, 3), (7, 3, 3), (7, 2),
                                               (7, 2), (7, 2), (7, 2), (7, 2, 2)]
    text = pydoc.render_doc(K.KalmanFilterResult, renderer=pydoc.plaintext)
    assert all(name in text for name in FIELDS) and "nowcast" in text
    empty = kalman_filter(mdl["A"], mdl["B"], mdl["C"], mdl["d"], mdl["Q"], mdl["R"],
                          np.zeros((0, 2)), mdl["x0"], mdl["P0"])
    assert empty.loglik == 0.0 and empty.loglik_t.shape == (0,) and empty.x_filt.shape == (0, 3)


def test_signature_has_keyword_only_start_arguments():
    sig = inspect.signature(kalman_filter)
    kinds = [p.kind for p in sig.parameters.values()]
    assert list(sig.parameters) == list(MODEL_KEYS) + [
        "x0", "P0", "symmetrize", "jitter", "return_shocks", "store_history", "init",
        "diffuse_states", "steady_state_tol"]
    assert kinds == [inspect.Parameter.POSITIONAL_OR_KEYWORD] * 13 + [
        inspect.Parameter.KEYWORD_ONLY] * 3
    assert kalman_filter.__defaults__ == (None, None, True, 0.0, False, True)
    assert kalman_filter.__kwdefaults__ == {"init": "known", "diffuse_states": None,
                                            "steady_state_tol": 0.0}
    assert K.kalman_hot_loop.__kwdefaults__ is None
    mdl = model(3, 2, 2, 5)
    args = [mdl[key] for key in MODEL_KEYS] + [mdl["x0"], mdl["P0"], True, 0.0, False, True]
    with pytest.raises(TypeError) as info:
        kalman_filter(*args, "known")
    assert str(info.value) == "kalman_filter() takes at most 13 positional arguments (14 given)"
    with pytest.raises(TypeError, match=r"takes at least 7 positional arguments \(6 given\)"):
        kalman_filter(*args[:6])
    with pytest.raises(TypeError, match="unexpected keyword argument 'T'"):
        kalman_filter(*args, T=5)
    assert same_bits(kalman_filter(*args).loglik,
                     kalman_filter(*args[:7], P0=mdl["P0"], x0=mdl["x0"], init="known").loglik)


def test_interpreter_lock_is_released_for_the_whole_filter():
    # the diffuse start on a large model with gaps: start and loop both native
    n, m, k, T = 24, 6, 4, 3000
    mdl = model(n, m, k, T)
    mdl["y"][::3, 1] = np.nan
    during, alone, elapsed = spinner_ticks(
        lambda: run(mdl, init="diffuse", store_history=False))
    assert during > 0.2 * alone, (during, alone, elapsed)


@pytest.mark.parametrize("path", ["read in place", "converted", "conversion", "dtype",
                                  "shape", "start", "infinity", "unstable", "linalg"])
def test_repeated_calls_leak_nothing(path):
    mdl = model(3, 2, 2, 20)
    good = dict(x0=mdl["x0"], P0=mdl["P0"])
    bad_y = mdl["y"].copy()
    bad_y[5, 0] = np.inf
    call = {  # the successes, and each kind of refusal
        "read in place": lambda: run(mdl, **good, return_shocks=True),
        "converted": lambda: kalman_filter(*(mdl[key].tolist() for key in MODEL_KEYS),
                                           init="diffuse"),
        "conversion": lambda: run(dict(mdl, C=[[1.0, 2.0], [3.0]]), **good),
        "dtype": lambda: run(dict(mdl, C=np.ones((3, 2), complex)), **good),
        "shape": lambda: run(dict(mdl, Q=np.ones(3)), **good),
        "start": lambda: run(mdl, init="stationary", **good),
        "infinity": lambda: run(dict(mdl, y=bad_y), **good),
        "unstable": lambda: run(dict(mdl, A=np.eye(3)), init="stationary"),
        "linalg": lambda: run(dict(mdl, R=-np.eye(2)), **good),
    }[path]

    def repeat(times):
        for _ in range(times):
            try:
                call()
            except (TypeError, ValueError, np.linalg.LinAlgError):
                pass

    repeat(20)
    counts = [sys.getrefcount(mdl[key]) for key in MODEL_KEYS]
    tracemalloc.start()
    try:
        # long enough for the bounded caches of the interpreter and NumPy to
        # fill (the error messages format dtypes, for instance)
        repeat(1000)
        start = tracemalloc.get_traced_memory()[0]
        repeat(1000)
        grown = tracemalloc.get_traced_memory()[0] - start
    finally:
        tracemalloc.stop()
    assert [sys.getrefcount(mdl[key]) for key in MODEL_KEYS] == counts  # buffers released
    assert grown < 16 * 1024  # one float leaked per call would be 24 KiB
