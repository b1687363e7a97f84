"""Established peers: statsmodels' state-space Kalman filter for the linear
model and filterpy's UnscentedKalmanFilter for the pruned model."""

import numpy as np

from models import meas_quadratic_numpy


class StatsmodelsKF:
    """statsmodels' KalmanFilter on the model of kalman_hot_loop.

    Our x0, P0 belong to the period before the first observation; statsmodels
    starts from the predicted moments of period 0, so it is initialised with
    A x0 and A P0 A' + B Q B'. tolerance = 0 (the default here) keeps it from
    ever switching to the steady-state gain, so every period is fully
    updated, as ours are; tolerance=None leaves statsmodels' own default
    (1e-19 on the sum of squares of the change of the predicted covariance),
    with which it freezes the gain once that has settled. filter_method and
    inversion stay at their defaults.

    With likelihood_only, the filter keeps nothing but the running sum of
    the log-likelihood (conserve_memory = MEMORY_CONSERVE with the forecast
    means and standardised forecast errors dropped too, LIKELIHOOD_ONLY
    below), as an optimiser wants it; otherwise it stores every history
    array (conserve_memory = 0, the default)."""

    def __init__(self, model, T=None, likelihood_only=False, tolerance=0):
        from statsmodels.tsa.statespace import kalman_filter as smkf
        from statsmodels.tsa.statespace.kalman_filter import KalmanFilter

        A, B, C, d, Q, R = (model[key] for key in ("A", "B", "C", "d", "Q", "R"))
        y = model["y"] if T is None else model["y"][:T]
        settings = {} if tolerance is None else dict(tolerance=tolerance)
        kf = KalmanFilter(k_endog=C.shape[0], k_states=A.shape[0], k_posdef=B.shape[1],
                          **settings)
        kf.bind(np.array(y, dtype=float))
        for name, val in (("design", C), ("obs_intercept", d), ("obs_cov", R),
                          ("transition", A), ("selection", B), ("state_cov", Q)):
            kf[name] = val
        P0 = model["P0"]
        kf.initialize_known(A @ model["x0"], A @ P0 @ A.T + B @ Q @ B.T)
        self.conserve = (smkf.MEMORY_CONSERVE | smkf.MEMORY_NO_FORECAST_MEAN
                         | smkf.MEMORY_NO_STD_FORECAST) if likelihood_only else 0
        kf.set_conserve_memory(self.conserve)
        self.kf = kf

    def filter(self):
        """The public call: filters and builds a FilterResults object."""
        return self.kf.filter().llf

    def bare(self):
        """The filter alone: the Cython loop (with its history arrays unless
        likelihood_only), no results object."""
        kfilter = self.kf._filter()
        return float(np.sum(kfilter.loglikelihood))

    def loglike(self):
        """The public call for the log-likelihood, with this filter's memory
        setting (loglike() would otherwise pick its own, which keeps the
        per-period terms)."""
        return float(self.kf.loglike(conserve_memory=self.conserve))

    def converged(self):
        return bool(self.kf._filter().converged)

    def period_converged(self):
        """The period after which statsmodels froze the gain, or None."""
        kfilter = self.kf._filter()
        return int(kfilter.period_converged) if kfilter.converged else None


class FilterpyUKF:
    """filterpy's UnscentedKalmanFilter on the augmented state z = (x1, x2).

    fx is the pruned second-order transition, hx the quadratic measurement of
    the model variables, Q = bx Q bx' on the x1 block, Merwe sigma points.
    After predict() the sigma points are drawn afresh from the predicted mean
    and covariance, as our loop does (filterpy would otherwise reuse the
    propagated points); the log-likelihood is filterpy's own per-update
    log_likelihood."""

    def __init__(self, model, alpha, beta, kappa):
        from filterpy.kalman import MerweScaledSigmaPoints

        self.m = model
        ns = model["hx"].shape[0]
        self.ns, self.nz, self.no = ns, 2 * ns, model["obs"].shape[1]
        self.points = MerweScaledSigmaPoints(self.nz, alpha=alpha, beta=beta, kappa=kappa)
        bx, Q = model["bx"], model["Q"]
        self.Q = np.zeros((self.nz, self.nz))
        self.Q[:ns, :ns] = bx @ Q @ bx.T
        hx, hxx, hss = model["hx"], model["hxx"], model["hss"]
        gx, gxx, gss, ss, params = (model[key] for key in ("gx", "gxx", "gss",
                                                            "steady_state", "params"))

        def fx(z, dt):
            x1, x2 = z[:ns], z[ns:]
            return np.concatenate([hx @ x1, 0.5 * hss + hx @ x2 + 0.5 * (hxx @ x1) @ x1])

        def hfun(z):
            x1, x2 = z[:ns], z[ns:]
            ctrl = ss[ns:] + 0.5 * gss + gx @ (x1 + x2) + 0.5 * (gxx @ x1) @ x1
            return meas_quadratic_numpy(np.concatenate([ss[:ns] + x1 + x2, ctrl]), params)

        self.fx, self.hx = fx, hfun

    def run(self):
        from filterpy.kalman import UnscentedKalmanFilter

        ukf = UnscentedKalmanFilter(dim_x=self.nz, dim_z=self.no, dt=1.0, hx=self.hx,
                                    fx=self.fx, points=self.points)
        ukf.x = self.m["z0"].copy()
        ukf.P = self.m["P0"].copy()
        ukf.Q = self.Q
        ukf.R = self.m["R"]
        loglik = 0.0
        for yt in self.m["obs"]:
            ukf.predict()
            ukf.sigmas_f = self.points.sigma_points(ukf.x, ukf.P)
            ukf.update(yt)
            loglik += ukf.log_likelihood
        return loglik
