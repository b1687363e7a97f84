"""Kalman filters of Orvanta, from the native extension.

Every entry of the extension module, each re-exported here:

- ``kalman_filter``: the linear Gaussian filter on data with missing values
  (NaN), from a known, a stationary or an exact diffuse start, returning a
  ``KalmanFilterResult`` (a named tuple of the log-likelihood, its terms and
  the filtering history).
- ``kalman_smoother``: the same filter followed by the fixed-interval
  smoother, returning a ``KalmanSmootherResult`` (the filter's fields and the
  smoothed states, shocks and measurement errors).
- ``kalman_hot_loop``: the same linear filter with the argument list and
  result tuple of the package's numba loop (complete data, known start).
- ``kalman_loglik_batch``: the log-likelihood of the same filter for many
  parameter draws at once, side by side in vector lanes and on native
  threads, returning a ``KalmanLoglikBatchResult`` (each draw's
  log-likelihood and status).
- ``kalman_loglik_grad``: the log-likelihood of the same filter and its exact
  gradient with respect to every model array (one forward and one backward
  pass), returning a ``KalmanLoglikGradResult``, for optimisers and samplers
  that need the score.
- ``ukf_hot_loop``: a second-order pruned unscented filter with a native
  measurement function.

Beside them:

- ``MeasurementFunction``: names that measurement function by a shared
  library and symbol, or by a Python function for numba to compile, so that it
  pickles and resolves its address in every process it is sent to.
"""

from Orvanta._ckernels.kalman._kalman import (
    KalmanFilterResult,
    KalmanLoglikBatchResult,
    KalmanLoglikGradResult,
    KalmanSmootherResult,
    kalman_filter,
    kalman_smoother,
    kalman_hot_loop,
    kalman_loglik_batch,
    kalman_loglik_grad,
    ukf_hot_loop,
)
from Orvanta._measurement import MEASUREMENT_SIGNATURE, MeasurementFunction

__all__ = [
    "KalmanFilterResult",
    "KalmanLoglikBatchResult",
    "KalmanLoglikGradResult",
    "KalmanSmootherResult",
    "MEASUREMENT_SIGNATURE",
    "MeasurementFunction",
    "kalman_filter",
    "kalman_hot_loop",
    "kalman_loglik_batch",
    "kalman_loglik_grad",
    "kalman_smoother",
    "ukf_hot_loop",
]
