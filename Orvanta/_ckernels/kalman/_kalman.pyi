# The typing stub of Orvanta._ckernels.kalman._kalman, written by
# tools/gen_kalman_stub.py from the entries' declarations: change those and
# rerun it rather than editing this file.
#
# Entries:
# - kalman_hot_loop
# - ukf_hot_loop
# - kalman_filter
# - kalman_smoother
# - kalman_loglik_batch
# - kalman_loglik_grad
"""Tarnel shim for the linear Kalman filter hot loop.

Allocates the history output arrays, marshals the NumPy buffers into the C
kf_inputs/kf_outputs structs, runs kf_hot_loop under nogil, and translates the
status code back into the exceptions KalmanFilter.run already handles. The
public signature and return shape match the numba `_kalman_hot_loop` so the two
are interchangeable at the call site.
"""

from collections.abc import Sequence
from typing import Any, ClassVar, Final, Literal, SupportsInt, TypeAlias, final

import numpy as np
from numpy.typing import ArrayLike, NDArray

_F64: TypeAlias = NDArray[np.float64]
_Zeros: TypeAlias = tuple[float, float, float]

# (x_pred, x_filt, P_pred, P_filt, y_pred, y_filt, innov, std_innov, S, eps_hat, loglik)
_KalmanHistory: TypeAlias = tuple[
    _F64, _F64, _F64, _F64, _F64, _F64, _F64, _F64, _F64, _F64, float
]

# (x1_pred, x2_pred, x1_filt, x2_filt, x_pred, x_filt, P_pred, P_filt, y_pred, y_filt, innov,
# std_innov, S, loglik)
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
    """Run the linear Kalman filter; mirrors numba `_kalman_hot_loop`.

    Returns ``(KF_OK, (0.0, 0.0, 0.0), out)`` where ``out`` is the history tuple
    + loglik. Raises ``numpy.linalg.LinAlgError`` on a non-PD innovation
    covariance (so KalmanFilter.run's existing ``except`` maps it to
    ``MatrixConditionError``).
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
    """Run the native second-order UKF hot loop.

    ``meas_addr`` is a real-valued measurement ``@cfunc`` address with signature
    ``void(double* vars, double* params, double* out)``.
    """

@final
class KalmanFilterResult(tuple[Any, ...]):
    """The result of kalman_filter: a named tuple of the log-likelihood, its terms, the
    counts of observed entries and diffuse periods, and the filtering history (None
    without store_history; eps_hat None without return_shocks).
    """

    n_fields: ClassVar[int]
    n_sequence_fields: ClassVar[int]
    n_unnamed_fields: ClassVar[int]
    __match_args__: Final = (
        "loglik", "loglik_t", "nobs", "diffuse_periods", "x_pred", "x_filt", "P_pred", "P_filt",
        "y_pred", "y_filt", "innov", "std_innov", "S", "eps_hat",
    )
    _fields: ClassVar[tuple[str, ...]]

    def _asdict(self) -> dict[str, Any]:
        """A new dict of the fields and their values, in field order."""

    @property
    def loglik(self) -> float:
        """float: the log-likelihood, the sum of loglik_t taken in period order"""

    @property
    def loglik_t(self) -> _F64:
        """(T,) array: each period's term (0.0 for a period with nothing observed)"""

    @property
    def nobs(self) -> int:
        """int: the number of observed (not NaN) entries of y"""

    @property
    def diffuse_periods(self) -> int:
        """int: the periods filtered by the exact diffuse recursions"""

    @property
    def x_pred(self) -> _F64 | None:
        """(T, n) array or None: the predicted states"""

    @property
    def x_filt(self) -> _F64 | None:
        """(T, n) array or None: the filtered states"""

    @property
    def P_pred(self) -> _F64 | None:
        """(T, n, n) array or None: the predicted state covariances (in a diffuse period their
        finite part)
        """

    @property
    def P_filt(self) -> _F64 | None:
        """(T, n, n) array or None: the filtered state covariances (in a diffuse period their finite
        part)
        """

    @property
    def y_pred(self) -> _F64 | None:
        """(T, m) array or None: C x_pred + d, for every observable, observed or not (the nowcast of
        a missing value)
        """

    @property
    def y_filt(self) -> _F64 | None:
        """(T, m) array or None: C x_filt + d, for every observable"""

    @property
    def innov(self) -> _F64 | None:
        """(T, m) array or None: y - y_pred, NaN where y is missing"""

    @property
    def std_innov(self) -> _F64 | None:
        """(T, m) array or None: the innovations standardised by the Cholesky factor of the observed
        block of S; NaN where y is missing and in diffuse periods
        """

    @property
    def S(self) -> _F64 | None:
        """(T, m, m) array or None: C P_pred C^T + R over every observable"""

    @property
    def eps_hat(self) -> _F64 | None:
        """(T, k) array or None: the filtered shock estimates E[eps_t | y up to t], with
        return_shocks
        """

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
    init: Literal["known", "stationary", "diffuse"] = 'known',
    diffuse_states: ArrayLike | None = None,
    steady_state_tol: float = 0.0,
) -> KalmanFilterResult:
    """Run the linear Kalman filter on data with missing values, from a known, a
    stationary or an exact diffuse start.

        x_t = A x_{t-1} + B eps_t (Var eps = Q),  y_t = C x_t + d + e_t (Var e = R);
        n, k, T and m come from A (n, n), B (n, k) and y (T, m). Any real array-likes
        are accepted; C-contiguous float64 arrays are read in place, others are
        converted once. A NaN in y is a missing value; an infinity is an error.

        init='known': x0, P0 are the filtered moments of the period before the first
        observation (both required). init='stationary': P0 solves
        P = A P A' + B Q B' (x0 defaults to zeros). init='diffuse': the first
        prediction has mean x0 (default zeros) and covariance kappa P_inf + P0
        (default zeros), kappa -> infinity, P_inf = diag(diffuse_states) (default:
        every state); the exact diffuse recursions of Durbin and Koopman run until
        P_inf vanishes.

        steady_state_tol > 0: once a fully observed period's predicted covariance
        differs from the period before's by less than steady_state_tol in every
        entry, that period's gain, factor of S and log det S are frozen, and the
        fully observed periods after it run the state recursion alone (their
        P_pred, P_filt and S are the frozen ones); a period with a missing value
        leaves the steady state. 0 (the default): the full recursion throughout.

        Returns a KalmanFilterResult: loglik, loglik_t, nobs, diffuse_periods, x_pred,
        x_filt, P_pred, P_filt, y_pred, y_filt, innov, std_innov, S, eps_hat (see
        help(KalmanFilterResult)). Raises numpy.linalg.LinAlgError when an
        innovation covariance is not positive definite.
    
    """

@final
class KalmanSmootherResult(tuple[Any, ...]):
    """The result of kalman_smoother: the fields of KalmanFilterResult, then the smoothed
    states, shocks and measurement errors and the smoothed state of the period before
    the first observation.
    """

    n_fields: ClassVar[int]
    n_sequence_fields: ClassVar[int]
    n_unnamed_fields: ClassVar[int]
    __match_args__: Final = (
        "loglik", "loglik_t", "nobs", "diffuse_periods", "x_pred", "x_filt", "P_pred", "P_filt",
        "y_pred", "y_filt", "innov", "std_innov", "S", "eps_hat", "x_smooth", "P_smooth",
        "eps_smooth", "eps_smooth_cov", "e_smooth", "x0_smooth", "P0_smooth",
    )
    _fields: ClassVar[tuple[str, ...]]

    def _asdict(self) -> dict[str, Any]:
        """A new dict of the fields and their values, in field order."""

    @property
    def loglik(self) -> float:
        """float: the log-likelihood, the sum of loglik_t taken in period order"""

    @property
    def loglik_t(self) -> _F64:
        """(T,) array: each period's term (0.0 for a period with nothing observed)"""

    @property
    def nobs(self) -> int:
        """int: the number of observed (not NaN) entries of y"""

    @property
    def diffuse_periods(self) -> int:
        """int: the periods filtered by the exact diffuse recursions"""

    @property
    def x_pred(self) -> _F64:
        """(T, n) array or None: the predicted states"""

    @property
    def x_filt(self) -> _F64:
        """(T, n) array or None: the filtered states"""

    @property
    def P_pred(self) -> _F64:
        """(T, n, n) array or None: the predicted state covariances (in a diffuse period their
        finite part)
        """

    @property
    def P_filt(self) -> _F64:
        """(T, n, n) array or None: the filtered state covariances (in a diffuse period their finite
        part)
        """

    @property
    def y_pred(self) -> _F64:
        """(T, m) array or None: C x_pred + d, for every observable, observed or not (the nowcast of
        a missing value)
        """

    @property
    def y_filt(self) -> _F64:
        """(T, m) array or None: C x_filt + d, for every observable"""

    @property
    def innov(self) -> _F64:
        """(T, m) array or None: y - y_pred, NaN where y is missing"""

    @property
    def std_innov(self) -> _F64:
        """(T, m) array or None: the innovations standardised by the Cholesky factor of the observed
        block of S; NaN where y is missing and in diffuse periods
        """

    @property
    def S(self) -> _F64:
        """(T, m, m) array or None: C P_pred C^T + R over every observable"""

    @property
    def eps_hat(self) -> _F64 | None:
        """(T, k) array or None: the filtered shock estimates E[eps_t | y up to t], with
        return_shocks
        """

    @property
    def x_smooth(self) -> _F64:
        """(T, n) array: the smoothed states, E[x_t | all of y]"""

    @property
    def P_smooth(self) -> _F64:
        """(T, n, n) array: their covariances"""

    @property
    def eps_smooth(self) -> _F64:
        """(T, k) array: the smoothed shocks, E[eps_t | all of y] (row 0 NaN under init='diffuse',
        where eps_0 is no part of the model)
        """

    @property
    def eps_smooth_cov(self) -> _F64:
        """(T, k, k) array: their covariances"""

    @property
    def e_smooth(self) -> _F64:
        """(T, m) array: the smoothed measurement errors, NaN where y is missing"""

    @property
    def x0_smooth(self) -> _F64 | None:
        """(n,) array or None: the smoothed state of the period before the first observation (None
        under init='diffuse')
        """

    @property
    def P0_smooth(self) -> _F64 | None:
        """(n, n) array or None: its covariance"""

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
    init: Literal["known", "stationary", "diffuse"] = 'known',
    diffuse_states: ArrayLike | None = None,
) -> KalmanSmootherResult:
    """Run kalman_filter and then the fixed-interval smoother of Durbin and Koopman.

    The parameters are kalman_filter's, with store_history true. The smoothed
    moments condition on every observation of y (missing entries left out, as
    the filter leaves them out); under init='diffuse' the diffuse periods take
    the exact initial smoother of Durbin and Koopman.

    Returns a KalmanSmootherResult: kalman_filter's fields, then x_smooth,
    P_smooth, eps_smooth, eps_smooth_cov (the shocks eps_t of
    x_t = A x_{t-1} + B eps_t, eps_0 included), e_smooth (NaN where y is
    missing), x0_smooth and P0_smooth (the period before the first
    observation; None under init='diffuse', where eps_smooth[0] is NaN: the
    first period's state is given by its prior as a whole). Raises
    numpy.linalg.LinAlgError when an innovation covariance is not positive
    definite, ValueError when a smoothed value is not finite.
    """

@final
class KalmanLoglikBatchResult(tuple[Any, ...]):
    """The result of kalman_loglik_batch: a named tuple of the draws' log-likelihoods
    and statuses.
    """

    n_fields: ClassVar[int]
    n_sequence_fields: ClassVar[int]
    n_unnamed_fields: ClassVar[int]
    __match_args__: Final = (
        "loglik", "status",
    )
    _fields: ClassVar[tuple[str, ...]]

    def _asdict(self) -> dict[str, Any]:
        """A new dict of the fields and their values, in field order."""

    @property
    def loglik(self) -> _F64:
        """(N,) float64 array: each draw's log-likelihood, -inf where it failed"""

    @property
    def status(self) -> NDArray[np.int64]:
        """(N,) int64 array: 0 for a draw filtered to the end, -3 when one of its innovation
        covariances was not positive definite, -4 when its A is not stable under
        init='stationary'
        """

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
    init: Literal["known", "stationary"] = 'known',
    threads: int = 1,
    steady_state_tol: float = 0.0,
) -> KalmanLoglikBatchResult:
    """Log-likelihood of the linear Kalman filter for many parameter draws at once.

    x_t = A x_{t-1} + B eps_t (Var eps = Q),  y_t = C x_t + d + e_t (Var e = R),
    as for kalman_filter. Any of A, B, C, d, Q, R, y, x0, P0 may carry a leading
    axis of N draws, one model (or sample) per draw; the others are shared by
    every draw. A NaN in y is a missing value.

    init='known': x0, P0 are the filtered moments of the period before the first
    observation (both required). init='stationary': each draw's P0 solves
    P = A P A' + B Q B' (x0 defaults to zeros).

    Each draw's log-likelihood has the bits kalman_filter gives for it alone.
    Draws run side by side in vector lanes, on `threads` threads (the caller's
    among them), without the interpreter lock; the results do not depend on
    `threads`. steady_state_tol as for kalman_filter, each draw's log-likelihood
    then kalman_filter's with it.

    Returns a KalmanLoglikBatchResult (loglik, status), arrays of N values. A draw
    whose innovation covariance is not positive definite (status -3), or whose A
    is not stable under init='stationary' (status -4), gets loglik -inf; the
    others are unaffected and nothing is raised.
    """

@final
class KalmanLoglikGradResult(tuple[Any, ...]):
    """The result of kalman_loglik_grad: a named tuple of the log-likelihood and its
    gradient with respect to each model array, each of that array's shape (dP0 None
    under init='stationary').
    """

    n_fields: ClassVar[int]
    n_sequence_fields: ClassVar[int]
    n_unnamed_fields: ClassVar[int]
    __match_args__: Final = (
        "loglik", "dA", "dB", "dC", "dd", "dQ", "dR", "dx0", "dP0",
    )
    _fields: ClassVar[tuple[str, ...]]

    def _asdict(self) -> dict[str, Any]:
        """A new dict of the fields and their values, in field order."""

    @property
    def loglik(self) -> float:
        """float: the log-likelihood, with the bits of kalman_filter's for the same call"""

    @property
    def dA(self) -> _F64:
        """(n, n) array: d loglik / d A[i, j]"""

    @property
    def dB(self) -> _F64:
        """(n, k) array: d loglik / d B[i, j]"""

    @property
    def dC(self) -> _F64:
        """(m, n) array: d loglik / d C[i, j]"""

    @property
    def dd(self) -> _F64:
        """(m,) array: d loglik / d d[i]"""

    @property
    def dQ(self) -> _F64:
        """(k, k) array: the symmetric gradient in Q: a symmetric change D of Q moves loglik by
        sum(dQ * D) to first order
        """

    @property
    def dR(self) -> _F64:
        """(m, m) array: the symmetric gradient in R"""

    @property
    def dx0(self) -> _F64:
        """(n,) array: d loglik / d x0[i] (under init='diffuse', the finite part)"""

    @property
    def dP0(self) -> _F64 | None:
        """(n, n) array or None: the symmetric gradient in P0 (under init='diffuse', its finite
        part); None under init='stationary', where P0 is solved for
        """

def kalman_loglik_grad(
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
    init: Literal["known", "stationary", "diffuse"] = 'known',
    diffuse_states: ArrayLike | None = None,
) -> KalmanLoglikGradResult:
    """The log-likelihood of kalman_filter and its exact gradient with respect to every
    model array, from one forward and one backward (adjoint) pass.

        The model, its arguments, conversions, starts and errors are kalman_filter's;
        the log-likelihood has the bits kalman_filter(..., store_history=False) gives.
        Each dX has the shape of X and holds d loglik / d X[i, j], the entries taken as
        free variables; for the symmetric Q, R and P0 it is the symmetric gradient:
        dQ equals its transpose, and a symmetric change D of Q moves loglik by
        sum(dQ * D) to first order (an off-diagonal pair moved together by 2 dQ[i, j]).
        For Q = L L', the gradient in L is 2 dQ L.

        init='stationary': P0 solves P = A P A' + B Q B', and its adjoint flows into
        dA, dB and dQ; dP0 is None. init='diffuse': the gradient of the exact diffuse
        log-likelihood; dx0 and dP0 are the derivatives in the finite parts x0, P0.

        Returns a KalmanLoglikGradResult (loglik, dA, dB, dC, dd, dQ, dR, dx0, dP0).
        Raises ValueError for a model array that is not finite, for a jitter that is
        negative or not finite, and for a log-likelihood that comes out non-finite;
        numpy.linalg.LinAlgError when an innovation covariance is not positive
        definite.
    
    """
