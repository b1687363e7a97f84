import numpy as np

from _native import run_kf


def test_scalar_model_matches_closed_form():
    status, loglik, out = run_kf(1, 1, 1, 1, [[0.5]], [[1.0]], [[2.0]], [0.1], [[0.3]],
                                 [[0.2]], [[1.0]], [0.4], [[1.5]])
    assert status == 0
    P = 0.25 * 1.5 + 0.3
    S = 4.0 * P + 0.2
    v = 1.0 - (2.0 * 0.2 + 0.1)
    expected = -0.5 * (np.log(S) + np.log(2 * np.pi) + v * v / S)
    assert np.isclose(loglik, expected, rtol=1e-14)
    assert np.isclose(out["S"][0, 0, 0], S, rtol=1e-15)
