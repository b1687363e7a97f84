"""Native filter loops: the linear Kalman filter and a second-order pruned
unscented Kalman filter, each over a whole sample in one call.

Array arguments must be writable, C-contiguous float64 arrays of the stated
rank; they are read in place and never copied. ``None`` stands for an empty
array, which only makes sense where the corresponding size is 0.
"""

from collections.abc import Sequence
from typing import Literal, SupportsInt, TypeAlias

import numpy as np
from numpy.typing import NDArray

_F64: TypeAlias = NDArray[np.float64]
_Zeros: TypeAlias = tuple[float, float, float]

# (x_pred, x_filt, P_pred, P_filt, y_pred, y_filt, innov, std_innov, S,
#  eps_hat, loglik)
_KalmanHistory: TypeAlias = tuple[
    _F64, _F64, _F64, _F64, _F64, _F64, _F64, _F64, _F64, _F64, float
]

# (x1_pred, x2_pred, x1_filt, x2_filt, x_pred, x_filt, P_pred, P_filt,
#  y_pred, y_filt, innov, std_innov, S, loglik)
_UkfHistory: TypeAlias = tuple[
    _F64, _F64, _F64, _F64, _F64, _F64, _F64, _F64, _F64, _F64, _F64, _F64, _F64, float
]

def kalman_hot_loop(
    T: SupportsInt,
    nmk: Sequence[SupportsInt],
    A: _F64,
    B: _F64,
    C: _F64,
    d: _F64,
    Q: _F64,
    R: _F64,
    y: _F64,
    x0: _F64,
    P0: _F64,
    symmetrize: bool,
    jitter: float,
    return_shocks: bool = False,
    store_history: bool = True,
) -> tuple[Literal[0], _Zeros, _KalmanHistory]:
    """Linear Gaussian Kalman filter over T periods.

    x_t = A x_{t-1} + B eps_t (cov Q), y_t = C x_t + d + e_t (cov R), with
    (n, m, k) = nmk; x0, P0 belong to the period before the first
    observation. Raises numpy.linalg.LinAlgError when an innovation
    covariance is not positive definite.
    """

def ukf_hot_loop(
    meas_addr: int,
    hx: _F64,
    gx: _F64,
    bx: _F64,
    hxx: _F64,
    gxx: _F64,
    hss: _F64,
    gss: _F64 | None,
    steady_state: _F64,
    params: _F64 | None,
    Q: _F64 | None,
    R: _F64,
    obs: _F64,
    z0: _F64,
    P0: _F64,
    alpha: float,
    beta: float,
    kappa: float,
    jitter: float,
    symmetrize: bool = True,
    store_history: bool = True,
) -> tuple[Literal[0], _Zeros, _UkfHistory]:
    """Second-order pruned unscented Kalman filter over the rows of obs.

    meas_addr is the address of a native function
    ``void(double* vars, double* params, double* out)`` (vars: states then
    controls, in levels). Raises ValueError for inconsistent shapes,
    numpy.linalg.LinAlgError when a covariance is not positive definite.
    """
