"""The entries beyond the two hot loops never report a non-finite
log-likelihood as a result: a model value that is not finite is refused by
name (or, for a draw of its own in the batch, gets that draw a status), a
log-likelihood that overflows from finite values raises (or gets its status),
and a jitter below zero or not finite is refused."""

import numpy as np
import pytest

import Orvanta._ckernels.kalman._kalman as K
from test_kalman_loglik_grad import GRAD_KEYS, INITS, start_model

# The entries called once per model, and the starts the batch takes.
SINGLE = (K.kalman_filter, K.kalman_smoother, K.kalman_loglik_grad)
BATCH_INITS = ("known", "stationary")


def entries_for(init):
    return SINGLE + ((K.kalman_loglik_batch,) if init in BATCH_INITS else ())


@pytest.mark.parametrize("value", [np.nan, np.inf, -np.inf])
def test_non_finite_model_arrays_are_refused_by_name(value):
    for init in INITS:
        mdl = start_model(np.random.default_rng(1), init)
        for key in GRAD_KEYS:
            if mdl[key] is None:
                continue
            bad = np.array(mdl[key], dtype=float)
            bad.flat[bad.size - 1] = value
            index = ", ".join(str(i) for i in np.unravel_index(bad.size - 1, bad.shape))
            for entry in entries_for(init):
                with pytest.raises(ValueError) as info:
                    entry(**dict(mdl, **{key: bad}), init=init)
                assert str(info.value).startswith(f"{key}[{index}] is {value}; "), info.value


@pytest.mark.parametrize("jitter", [-1e-12, np.nan, np.inf])
def test_jitter_below_zero_or_not_finite_is_refused(jitter):
    mdl = start_model(np.random.default_rng(2), "known")
    for entry in entries_for("known"):
        with pytest.raises(ValueError, match=r"^jitter must be a finite number of at least 0; "):
            entry(**mdl, jitter=jitter)


@pytest.mark.parametrize("init", INITS)
def test_a_non_finite_loglik_from_finite_inputs_raises(init):
    # S = R is positive definite, but the innovation overflows its quadratic
    # form; under the stationary start it is not mistaken for an unstable A
    one = np.ones((1, 1))
    R = np.array([[1.0, 0.9], [0.9, 1.0]]) * 1e-200
    args = (0.5 * one, one, np.zeros((2, 1)), np.zeros(2), one, R, np.array([[1e150, 5e149]]))
    start = dict(x0=np.zeros(1), P0=None if init == "stationary" else one, init=init)
    for entry in SINGLE:
        with pytest.raises(ValueError, match=f"^{entry.__name__}: the log-likelihood is not "
                                             r"finite \(.+\) though every input is"):
            entry(*args, **start)
    if init in BATCH_INITS:
        result = K.kalman_loglik_batch(*args, **start)
        assert result.status.tolist() == [K_ERR_LOGLIK_NOT_FINITE]
        assert result.loglik.tolist() == [-np.inf]


# The batch's statuses for what only the whole draw tells (kalman.h).
K_ERR_LOGLIK_NOT_FINITE, K_ERR_MODEL_NOT_FINITE = -8, -9


def test_a_draw_with_values_of_its_own_not_finite_gets_its_status_alone():
    mdl = start_model(np.random.default_rng(3), "known")
    draws = {key: np.stack([mdl[key]] * 4) for key in ("Q", "P0")}
    draws["Q"][1, 0, 1] = np.nan
    draws["P0"][2, 1, 1] = np.inf
    result = K.kalman_loglik_batch(**dict(mdl, **draws))
    want = K.kalman_filter(**mdl, store_history=False).loglik
    assert result.status.tolist() == [0, K_ERR_MODEL_NOT_FINITE, K_ERR_MODEL_NOT_FINITE, 0]
    assert result.loglik.tolist() == [want, -np.inf, -np.inf, want]
