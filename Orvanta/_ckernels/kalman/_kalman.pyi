"""Native filter loops: the linear Kalman filter and a second-order pruned
unscented Kalman filter, each over a whole sample in one call.

Array arguments of kalman_hot_loop and ukf_hot_loop must be writable,
C-contiguous float64 arrays of the stated rank; they are read in place and
never copied. ``None`` stands for an empty array, which only makes sense
where the corresponding size is 0. kalman_filter takes any real array-likes
(read in place when C-contiguous float64, converted once otherwise).
"""

from collections.abc import Sequence
from typing import Any, ClassVar, Final, Literal, SupportsInt, TypeAlias, final

from numpy.typing import ArrayLike

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

@final
class KalmanFilterResult(tuple[Any, ...]):
    """The result of kalman_filter, a named tuple of 14 fields.

    The history fields are None without store_history (eps_hat also without
    return_shocks). Where y is missing, innov and std_innov are NaN, while
    y_pred, y_filt and S cover every observable. In the diffuse periods
    P_pred, P_filt and S hold the finite parts and std_innov is NaN.
    """

    n_fields: ClassVar[int]
    n_sequence_fields: ClassVar[int]
    n_unnamed_fields: ClassVar[int]
    __match_args__: Final = (
        "loglik", "loglik_t", "nobs", "diffuse_periods", "x_pred", "x_filt", "P_pred",
        "P_filt", "y_pred", "y_filt", "innov", "std_innov", "S", "eps_hat",
    )

    @property
    def loglik(self) -> float:
        """The log-likelihood: the sum of loglik_t taken in period order."""
    @property
    def loglik_t(self) -> _F64:
        """(T,): each period's log-likelihood term (0.0 when nothing is observed)."""
    @property
    def nobs(self) -> int:
        """The number of observed (not NaN) entries of y."""
    @property
    def diffuse_periods(self) -> int:
        """The periods filtered by the exact diffuse recursions."""
    @property
    def x_pred(self) -> _F64 | None:
        """(T, n): the predicted states."""
    @property
    def x_filt(self) -> _F64 | None:
        """(T, n): the filtered states."""
    @property
    def P_pred(self) -> _F64 | None:
        """(T, n, n): the predicted state covariances."""
    @property
    def P_filt(self) -> _F64 | None:
        """(T, n, n): the filtered state covariances."""
    @property
    def y_pred(self) -> _F64 | None:
        """(T, m): C x_pred + d for every observable (nowcasts of missing values)."""
    @property
    def y_filt(self) -> _F64 | None:
        """(T, m): C x_filt + d for every observable."""
    @property
    def innov(self) -> _F64 | None:
        """(T, m): y - y_pred, NaN where y is missing."""
    @property
    def std_innov(self) -> _F64 | None:
        """(T, m): standardised innovations, NaN where y is missing."""
    @property
    def S(self) -> _F64 | None:
        """(T, m, m): C P_pred C^T + R over every observable."""
    @property
    def eps_hat(self) -> _F64 | None:
        """(T, k): the filtered shock estimates E[eps_t | y up to t], with
        return_shocks. A historical decomposition needs kalman_smoother's
        eps_smooth instead."""

def kalman_filter(
    A: ArrayLike,
    B: ArrayLike,
    C: ArrayLike,
    d: ArrayLike,
    Q: ArrayLike,
    R: ArrayLike,
    y: ArrayLike,
    x0: ArrayLike | None = None,
    P0: ArrayLike | None = None,
    symmetrize: bool = True,
    jitter: float = 0.0,
    return_shocks: bool = False,
    store_history: bool = True,
    *,
    init: Literal["known", "stationary", "diffuse"] = "known",
    diffuse_states: ArrayLike | None = None,
) -> KalmanFilterResult:
    """Linear Gaussian Kalman filter on data with missing values (NaN in y).

    x_t = A x_{t-1} + B eps_t (cov Q), y_t = C x_t + d + e_t (cov R); the
    sizes come from A (n, n), B (n, k) and y (T, m). init='known' needs x0,
    P0 of the period before the first observation; 'stationary' solves P0
    from P = A P A' + B Q B'; 'diffuse' runs the exact diffuse recursions
    from a first prediction with mean x0 and covariance kappa
    diag(diffuse_states) + P0, kappa -> infinity. Raises ValueError for
    shapes, infinities in y or an unstable A under 'stationary', and
    numpy.linalg.LinAlgError when an innovation covariance is not positive
    definite.
    """

@final
class KalmanSmootherResult(tuple[Any, ...]):
    """The result of kalman_smoother, a named tuple of 21 fields: those of
    KalmanFilterResult, then the smoothed moments given all of y.

    The filter's history is always present (eps_hat only with return_shocks).
    The shocks are those of x_t = A x_{t-1} + B eps_t, eps_0 included except
    under init='diffuse', where the first period's state is given by its
    prior as a whole: there eps_smooth[0] is NaN and x0_smooth, P0_smooth
    are None.
    """

    n_fields: ClassVar[int]
    n_sequence_fields: ClassVar[int]
    n_unnamed_fields: ClassVar[int]
    __match_args__: Final = (
        "loglik", "loglik_t", "nobs", "diffuse_periods", "x_pred", "x_filt", "P_pred",
        "P_filt", "y_pred", "y_filt", "innov", "std_innov", "S", "eps_hat", "x_smooth",
        "P_smooth", "eps_smooth", "eps_smooth_cov", "e_smooth", "x0_smooth", "P0_smooth",
    )

    @property
    def loglik(self) -> float:
        """The log-likelihood: the sum of loglik_t taken in period order."""
    @property
    def loglik_t(self) -> _F64:
        """(T,): each period's log-likelihood term (0.0 when nothing is observed)."""
    @property
    def nobs(self) -> int:
        """The number of observed (not NaN) entries of y."""
    @property
    def diffuse_periods(self) -> int:
        """The periods filtered by the exact diffuse recursions."""
    @property
    def x_pred(self) -> _F64:
        """(T, n): the predicted states."""
    @property
    def x_filt(self) -> _F64:
        """(T, n): the filtered states."""
    @property
    def P_pred(self) -> _F64:
        """(T, n, n): the predicted state covariances (finite parts in diffuse periods)."""
    @property
    def P_filt(self) -> _F64:
        """(T, n, n): the filtered state covariances (finite parts in diffuse periods)."""
    @property
    def y_pred(self) -> _F64:
        """(T, m): C x_pred + d for every observable."""
    @property
    def y_filt(self) -> _F64:
        """(T, m): C x_filt + d for every observable."""
    @property
    def innov(self) -> _F64:
        """(T, m): y - y_pred, NaN where y is missing."""
    @property
    def std_innov(self) -> _F64:
        """(T, m): standardised innovations, NaN where y is missing and in diffuse periods."""
    @property
    def S(self) -> _F64:
        """(T, m, m): C P_pred C^T + R over every observable."""
    @property
    def eps_hat(self) -> _F64 | None:
        """(T, k): the filtered shock estimates E[eps_t | y up to t], with return_shocks.
        A historical decomposition needs eps_smooth instead."""
    @property
    def x_smooth(self) -> _F64:
        """(T, n): the smoothed states, E[x_t | all of y]."""
    @property
    def P_smooth(self) -> _F64:
        """(T, n, n): their covariances."""
    @property
    def eps_smooth(self) -> _F64:
        """(T, k): the smoothed shocks, E[eps_t | all of y] (row 0 NaN under init='diffuse')."""
    @property
    def eps_smooth_cov(self) -> _F64:
        """(T, k, k): their covariances."""
    @property
    def e_smooth(self) -> _F64:
        """(T, m): the smoothed measurement errors, NaN where y is missing."""
    @property
    def x0_smooth(self) -> _F64 | None:
        """(n,): the smoothed state of the period before the first observation
        (None under init='diffuse')."""
    @property
    def P0_smooth(self) -> _F64 | None:
        """(n, n): its covariance (None under init='diffuse')."""

def kalman_smoother(
    A: ArrayLike,
    B: ArrayLike,
    C: ArrayLike,
    d: ArrayLike,
    Q: ArrayLike,
    R: ArrayLike,
    y: ArrayLike,
    x0: ArrayLike | None = None,
    P0: ArrayLike | None = None,
    symmetrize: bool = True,
    jitter: float = 0.0,
    return_shocks: bool = False,
    store_history: bool = True,
    *,
    init: Literal["known", "stationary", "diffuse"] = "known",
    diffuse_states: ArrayLike | None = None,
) -> KalmanSmootherResult:
    """kalman_filter, then the fixed-interval smoother of Durbin and Koopman.

    The parameters are kalman_filter's, with store_history true (ValueError
    otherwise); under init='diffuse' the diffuse periods take the exact
    initial smoother of Durbin and Koopman. Returns the filter's fields and
    the smoothed states, shocks and measurement errors. Raises what
    kalman_filter raises, and ValueError when a smoothed value is not
    finite.
    """

@final
class KalmanLoglikBatchResult(tuple[Any, ...]):
    """The result of kalman_loglik_batch, a named tuple of 2 fields, each an
    array with one value per draw."""

    n_fields: ClassVar[int]
    n_sequence_fields: ClassVar[int]
    n_unnamed_fields: ClassVar[int]
    __match_args__: Final = ("loglik", "status")

    @property
    def loglik(self) -> _F64:
        """(N,): each draw's log-likelihood; -inf where its status is not 0."""
    @property
    def status(self) -> NDArray[np.int64]:
        """(N,): 0, or -3 (an innovation covariance not positive definite), or -4
        (A not stable under init='stationary')."""

def kalman_loglik_batch(
    A: ArrayLike,
    B: ArrayLike,
    C: ArrayLike,
    d: ArrayLike,
    Q: ArrayLike,
    R: ArrayLike,
    y: ArrayLike,
    x0: ArrayLike | None = None,
    P0: ArrayLike | None = None,
    symmetrize: bool = True,
    jitter: float = 0.0,
    *,
    init: Literal["known", "stationary"] = "known",
    threads: int = 1,
) -> KalmanLoglikBatchResult:
    """The log-likelihood of kalman_filter for N parameter draws at once.

    Any of A ... P0 may carry a leading axis of N draws (y: (N, T, m)); the
    others are shared. Each draw's log-likelihood has the bits kalman_filter
    gives for that draw alone; a draw that fails gets -inf and its status,
    and nothing is raised for it. The draws run in vector lanes on `threads`
    native threads (the caller's included), without the interpreter lock.
    Raises ValueError for shapes, a mismatched number of draws, an infinity
    in y, threads < 1 or an unknown init.
    """
