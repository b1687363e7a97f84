"""Two uses of the native filter loops, end to end.

1. Maximum-likelihood estimation of a linear state-space model of US
   quarterly data (examples/data/us_macro.csv): real GDP growth and real
   consumption growth load on one AR(1) growth factor, CPI inflation follows
   an AR(1) of its own, and every series carries measurement noise. The
   sample has a ragged edge, as when series are released with different
   lags: the last quarters of consumption growth are missing. The
   likelihood comes from `kalman_filter` (stationary start, missing values
   skipped); scipy.optimize maximises it twice, with a numerical gradient and
   with the exact one of `kalman_loglik_grad` (carried from the model's
   matrices to its parameters by the chain rule), and the filter's predictions
   nowcast the missing quarters. `kalman_smoother` then gives the growth
   factor given the whole sample, and the smoothed shocks decompose GDP
   growth into what each shock, the initial state and the measurement error
   contributed (a historical decomposition, which adds up to the data).

2. The unscented filter `ukf_hot_loop` on the stochastic growth model with
   log utility and full depreciation, whose policy is known in closed form.
   The second-order coefficients are derived below from that policy, the
   model is simulated with the exact nonlinear policy, and output and
   consumption are observed with a little measurement error through a
   measurement function compiled with numba.

A figure of the filtered against the true states, the standardised
innovations, the smoothed factor and the historical decomposition goes to
build/demo/demo.png (or to the folder given as the only argument).

    bash tools/env.sh python3 examples/demo.py [OUTPUT_FOLDER]
"""

import math
import os
import sys
import time

import numpy as np
from scipy.optimize import minimize

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
try:
    from Orvanta.kalman import (kalman_filter, kalman_hot_loop, kalman_loglik_grad,
                                kalman_smoother, ukf_hot_loop)
except ImportError:  # run from a checkout with the in-place build
    sys.path.insert(0, ROOT)
    from Orvanta.kalman import (kalman_filter, kalman_hot_loop, kalman_loglik_grad,
                                kalman_smoother, ukf_hot_loop)

LN_2PI = math.log(2.0 * math.pi)


# ---------------------------------------------------------------------------
# 1. A dynamic factor model of US growth and inflation
# ---------------------------------------------------------------------------

def load_us_macro(path=os.path.join(HERE, "data", "us_macro.csv")):
    """Quarterly growth rates in percent at an annual rate, 1959Q2-2009Q3:
    columns real GDP growth, real consumption growth, CPI inflation."""
    with open(path) as f:
        lines = [line for line in f if not line.startswith("#")]
    table = np.genfromtxt(lines, delimiter=",", names=True)
    levels = np.column_stack([table["realgdp"], table["realcons"], table["cpi"]])
    growth = 400.0 * np.diff(np.log(levels), axis=0)
    year, quarter = table["year"][1:].astype(int), table["quarter"][1:].astype(int)
    span = f"{year[0]}Q{quarter[0]}-{year[-1]}Q{quarter[-1]}"
    return year + (quarter - 1) / 4.0, span, np.ascontiguousarray(growth)


# State x_t = (f_t, p_t): the growth factor and the inflation deviation.
#   f_t = phi_f f_{t-1} + u_t,   p_t = phi_p p_{t-1} + v_t
#   gdp_t = mu_1 + f_t + e1_t,   cons_t = mu_2 + lam f_t + e2_t,
#   infl_t = mu_3 + p_t + e3_t
# The unconstrained vector theta maps to the parameters so that every
# variance is positive (exp) and both AR roots lie inside the unit circle
# (tanh).
NAMES = ("mean GDP growth", "mean consumption growth", "mean inflation",
         "AR factor", "AR inflation", "consumption loading",
         "sd factor shock", "sd inflation shock",
         "sd noise GDP", "sd noise consumption", "sd noise inflation")


def unpack(theta):
    mu = theta[0:3]
    phi = np.tanh(theta[3:5])
    lam = theta[5]
    sd_shock = np.exp(theta[6:8])
    sd_noise = np.exp(theta[8:11])
    return mu, phi, lam, sd_shock, sd_noise


# Quarters of consumption growth not yet released at the end of the sample.
RAGGED_EDGE = 2


def ragged_edge(y, quarters=RAGGED_EDGE):
    """y with the last `quarters` of consumption growth missing (NaN)."""
    y = y.copy()
    y[-quarters:, 1] = np.nan
    return y


def state_space(theta):
    """The arrays of kalman_filter for parameter vector theta."""
    mu, phi, lam, sd_shock, sd_noise = unpack(theta)
    A = np.diag(phi)
    B = np.eye(2)
    C = np.array([[1.0, 0.0], [lam, 0.0], [0.0, 1.0]])
    d = np.array(mu)
    Q = np.diag(sd_shock ** 2)
    R = np.diag(sd_noise ** 2)
    return A, B, C, d, Q, R


def loglik_linear(theta, y, store_history=False):
    """The filter from the stationary distribution of the state, whose
    covariance kalman_filter solves itself; NaN entries of y are skipped."""
    A, B, C, d, Q, R = state_space(theta)
    return kalman_filter(A, B, C, d, Q, R, y, store_history=store_history, init="stationary")


def loglik_and_gradient(theta, y):
    """The log-likelihood of loglik_linear and its gradient in theta: the
    exact gradient in the matrices (kalman_loglik_grad), carried to theta by
    the chain rule through what each parameter fills."""
    mu, phi, lam, sd_shock, sd_noise = unpack(theta)
    A, B, C, d, Q, R = state_space(theta)
    g = kalman_loglik_grad(A, B, C, d, Q, R, y, init="stationary")
    return g.loglik, np.concatenate([
        g.dd,                                  # d = mu
        np.diag(g.dA) * (1.0 - phi ** 2),      # A = diag(tanh(theta))
        [g.dC[1, 0]],                          # C[1, 0] = lam
        2.0 * np.diag(g.dQ) * sd_shock ** 2,   # Q = diag(exp(theta) ** 2)
        2.0 * np.diag(g.dR) * sd_noise ** 2,   # R = diag(exp(theta) ** 2)
    ])


def starting_point(y):
    """theta from the data's means and spreads, with moderate AR roots."""
    sd = np.nanstd(y, axis=0)
    return np.concatenate([np.nanmean(y, axis=0), np.arctanh([0.5, 0.8]), [1.0],
                           np.log([sd[0] / 2, sd[2] / 2]), np.log(sd / 2)])


def maximise(y, start, with_gradient, repeats=5):
    """L-BFGS-B on -loglik from `start`, with the exact gradient or by
    finite differences (scipy's default); returns the result, the number of
    likelihood evaluations of one run and the seconds to the optimum, the
    best of `repeats` identical runs (a run takes a few milliseconds, so a
    single one would time the machine's other work as much as its own)."""
    evaluations = 0

    def objective(theta):
        nonlocal evaluations
        evaluations += 1
        try:
            if with_gradient:
                value, gradient = loglik_and_gradient(theta, y)
                return -value, -gradient
            return -loglik_linear(theta, y).loglik
        except ValueError:  # an AR root rounded to 1: no stationary start there
            return (np.inf, np.zeros_like(theta)) if with_gradient else np.inf

    seconds = math.inf
    for _ in range(repeats):
        evaluations = 0
        began = time.perf_counter()
        result = minimize(objective, start, jac=with_gradient, method="L-BFGS-B")
        seconds = min(seconds, time.perf_counter() - began)
    return result, evaluations, seconds


SHOCK_NAMES = ("growth-factor shock", "inflation shock")


def historical_decomposition(theta, smoothed, series):
    """Observable `series` of the model at theta, period by period, as the
    sum of its mean, the part of the smoothed state of the period before the
    sample (x0_smooth) that is still there, one part per smoothed shock, and
    the smoothed measurement error:
        y_t = d + C A^(t+1) x0 + sum_j sum_{s<=t} C A^(t-s) B[:, j] eps_s[j] + e_t,
    which holds exactly for the smoothed means (x_t = A x_{t-1} + B eps_t and
    y_t = C x_t + d + e_t). A decomposition built from the filtered shocks
    eps_hat would not add up: they are estimates from different information
    sets, period by period. Returns name -> (T,) array; NaN where y is."""
    A, B, C, d, Q, R = state_space(theta)
    T = smoothed.x_smooth.shape[0]
    parts = {"mean": np.full(T, d[series])}
    initial = smoothed.x0_smooth.copy()
    from_shock = np.zeros((B.shape[1], A.shape[0]))
    path_initial = np.empty(T)
    path_shock = np.empty((B.shape[1], T))
    for t in range(T):
        initial = A @ initial
        path_initial[t] = C[series] @ initial
        for j in range(B.shape[1]):
            from_shock[j] = A @ from_shock[j] + B[:, j] * smoothed.eps_smooth[t, j]
            path_shock[j, t] = C[series] @ from_shock[j]
    parts["initial state"] = path_initial
    for j, name in enumerate(SHOCK_NAMES):
        parts[name] = path_shock[j]
    parts["measurement error"] = smoothed.e_smooth[:, series]
    return parts


def estimate_us_macro():
    dates, span, released = load_us_macro()
    y = ragged_edge(released)
    T = y.shape[0]
    start = starting_point(y)
    numerical, evaluations, seconds = maximise(y, start, with_gradient=False)
    result, grad_evaluations, grad_seconds = maximise(y, start, with_gradient=True)

    mu, phi, lam, sd_shock, sd_noise = unpack(result.x)
    print(f"US quarterly data {span}, T = {T}: GDP growth, consumption growth, "
          f"CPI inflation (% a year); the last {RAGGED_EDGE} quarters of consumption "
          "growth held back")
    print("dynamic factor model, maximum likelihood (scipy L-BFGS-B, exact gradient):")
    for name, value in zip(NAMES, np.concatenate([mu, phi, [lam], sd_shock, sd_noise])):
        print(f"  {name:26s} {value:9.4f}")
    print(f"  log-likelihood             {-result.fun:9.3f}   ({result.message})")
    print(f"  with the exact gradient    {grad_evaluations:6d} evaluations of "
          f"kalman_loglik_grad, {grad_seconds:.4f} s to the optimum")
    print(f"  with a numerical gradient  {evaluations:6d} evaluations of kalman_filter, "
          f"{seconds:.4f} s to the optimum ({seconds / grad_seconds:.1f}x the time)")
    # Both reach the same optimum, to the accuracy of finite differences.
    gap = np.abs(numerical.x - result.x).max()
    print(f"  the two optima: log-likelihoods {-result.fun:.4f} and {-numerical.fun:.4f}, "
          f"parameters within {gap:.1e}")
    assert abs(result.fun - numerical.fun) < 1e-3 and gap < 1e-2, (result, numerical)

    # The filter alone, without the optimiser around it.
    calls = 5000
    began = time.perf_counter()
    for _ in range(calls):
        loglik_linear(result.x, y)
    seconds = time.perf_counter() - began
    print(f"  kalman_filter alone        {calls / seconds:,.0f} likelihoods per second "
          f"(model arrays rebuilt each time; {1e6 * seconds / calls:.1f} us each)")

    # The nowcast of the quarters held back: the filter's prediction of each
    # missing value, with its standard deviation, against the released one.
    out = loglik_linear(result.x, y, store_history=True)
    print(f"  nowcast of consumption growth from the {out.nobs} observed values "
          "(y_pred +- 1 sd, and as released):")
    for t in range(T - RAGGED_EDGE, T):
        quarter = f"{int(dates[t])}Q{int(round(4 * (dates[t] % 1))) + 1}"
        print(f"    {quarter}  {out.y_pred[t, 1]:6.2f} +- {math.sqrt(out.S[t, 1, 1]):4.2f}"
              f"   released {released[t, 1]:6.2f}")

    # The factor given the whole sample, and what moved GDP growth.
    A, B, C, d, Q, R = state_space(result.x)
    smoothed = kalman_smoother(A, B, C, d, Q, R, y, init="stationary")
    parts = historical_decomposition(result.x, smoothed, series=0)
    rebuilt = sum(parts.values())
    revision = np.abs(smoothed.x_smooth[:, 0] - smoothed.x_filt[:, 0])
    print(f"  smoothed growth factor: revised from the filtered one by {revision.mean():.2f} "
          f"points on average (at most {revision.max():.2f})")
    share = {name: np.mean(np.abs(part)) for name, part in parts.items() if name != "mean"}
    print("  historical decomposition of GDP growth, mean absolute contribution: "
          + ", ".join(f"{name} {value:.2f}" for name, value in share.items())
          + f"; the parts add up to the data within {np.abs(rebuilt - y[:, 0]).max():.1e}")
    return dates, y, result.x, out.x_filt, out.std_innov, smoothed, parts


# ---------------------------------------------------------------------------
# 2. Stochastic growth model: exact policy, second-order coefficients, UKF
# ---------------------------------------------------------------------------
#
# With log utility, Cobb-Douglas output exp(a) k^alpha and full depreciation
# the optimal policy saves the constant share alpha*beta of output:
#   k' = alpha beta exp(a) k^alpha,   c = (1 - alpha beta) exp(a) k^alpha,
#   y = exp(a) k^alpha,               a' = rho a + sigma eps'.
# The filter works with the state x = (k, a): capital in LEVELS and log
# productivity a (whose level is its log), and with the controls (c, y) in
# levels, so vars = (k, a, c, y). In logs the policy would be linear and
# every second-order coefficient zero; in levels k', c and y are curved in
# (k, a), which is what the second-order filter is for.
#
# Every policy function has the form f(k, a) = s exp(a) k^alpha for a
# constant s. At the steady state (k_ss, 0), with f0 = s k_ss^alpha:
#   f_k = alpha f0 / k_ss,                f_a = f0,
#   f_kk = alpha (alpha - 1) f0 / k_ss^2, f_ka = alpha f0 / k_ss,  f_aa = f0.
# The policy does not depend on the size of the shocks (the saving rate is
# the same with and without uncertainty), so hss = gss = 0 exactly. a' is
# linear in a, so its second derivatives are zero too.

class Growth:
    def __init__(self, capital_share=0.33, discount=0.96, rho=0.9, sigma=0.03,
                 noise_sd=0.015):
        self.alpha, self.beta, self.rho, self.sigma = capital_share, discount, rho, sigma
        self.noise_sd = noise_sd
        ab = capital_share * discount
        self.k_ss = ab ** (1.0 / (1.0 - capital_share))
        self.y_ss = self.k_ss ** capital_share
        self.c_ss = (1.0 - ab) * self.y_ss
        # Shares s of output in k', c and y.
        self.shares = (ab, 1.0 - ab, 1.0)

    def policy(self, k, a):
        """Exact (k', c, y) at state (k, a)."""
        y = np.exp(a) * k ** self.alpha
        return tuple(s * y for s in self.shares)

    def derivatives(self, s):
        """Gradient (2,) and Hessian (2, 2) in (k, a) of s exp(a) k^alpha at
        the steady state."""
        al, k = self.alpha, self.k_ss
        f0 = s * k ** al
        grad = np.array([al * f0 / k, f0])
        hess = np.array([[al * (al - 1.0) * f0 / k ** 2, al * f0 / k],
                         [al * f0 / k, f0]])
        return grad, hess

    def second_order(self):
        """hx, gx, bx, hxx, gxx, hss, gss, steady_state, Q for ukf_hot_loop."""
        (gk, Hk), (gc, Hc), (gy, Hy) = (self.derivatives(s) for s in self.shares)
        hx = np.array([gk, [0.0, self.rho]])
        gx = np.array([gc, gy])
        bx = np.array([[0.0], [self.sigma]])
        hxx = np.array([Hk, np.zeros((2, 2))])
        gxx = np.array([Hc, Hy])
        hss = np.zeros(2)
        gss = np.zeros(2)
        steady_state = np.array([self.k_ss, 0.0, self.c_ss, self.y_ss])
        Q = np.eye(1)
        return hx, gx, bx, hxx, gxx, hss, gss, steady_state, Q

    def check_derivatives(self):
        """Central differences of the exact policy agree with the closed form."""
        hx, gx, _, hxx, gxx, *_ = self.second_order()

        def f(x):
            kp, c, y = self.policy(self.k_ss + x[0], x[1])
            return np.array([kp, self.rho * x[1], c, y])

        jac = np.vstack([hx, gx])
        hess = np.concatenate([hxx, gxx])
        h = 1e-4 * np.array([self.k_ss, 1.0])
        for j in range(2):
            e = np.zeros(2)
            e[j] = h[j]
            fd = (f(e) - f(-e)) / (2 * h[j])
            assert np.allclose(fd, jac[:, j], rtol=1e-6, atol=1e-9), (j, fd, jac[:, j])
            for i in range(2):
                u = np.zeros(2)
                u[i] = h[i]
                fd2 = (f(e + u) - f(e - u) - f(u - e) + f(-e - u)) / (4 * h[i] * h[j])
                assert np.allclose(fd2, hess[:, i, j], rtol=1e-5, atol=1e-6), (i, j)

    def simulate(self, T, rng):
        """States (k_t, a_t) and observations (log y_t, log c_t) + noise for
        t = 1..T, from the steady state at t = 0, by the exact policy."""
        eps = rng.standard_normal(T)
        k, a = self.k_ss, 0.0
        states = np.empty((T, 2))
        controls = np.empty((T, 2))
        for t in range(T):
            k, _, _ = self.policy(k, a)    # chosen last period from last period's state
            a = self.rho * a + self.sigma * eps[t]
            _, c, y = self.policy(k, a)
            states[t] = k, a
            controls[t] = c, y
        obs = np.log(controls[:, ::-1]) + self.noise_sd * rng.standard_normal((T, 2))
        return states, controls, np.ascontiguousarray(obs)


def measurement_function():
    """Native measurement: (log y, log c) from vars = (k, a, c, y) in levels."""
    from numba import cfunc

    @cfunc("void(CPointer(float64), CPointer(float64), CPointer(float64))")
    def log_output_consumption(vars_, params, out):
        out[0] = math.log(vars_[3])
        out[1] = math.log(vars_[2])

    return log_output_consumption


def exact_loglik(model, obs):
    """In logs the model is linear and Gaussian: the linear filter gives the
    exact likelihood of the simulated observations. State (log k - log k_ss, a)."""
    al = model.alpha
    A = np.array([[al, 1.0], [0.0, model.rho]])
    B = np.array([[0.0], [model.sigma]])
    C = np.array([[al, 1.0], [al, 1.0]])
    d = np.log([model.y_ss, model.c_ss])
    R = model.noise_sd ** 2 * np.eye(2)
    T = obs.shape[0]
    # The state before the first observation is the known steady state.
    _, _, out = kalman_hot_loop(T, (2, 2, 1), A, B, C, d, np.eye(1), R, obs,
                                np.zeros(2), np.zeros((2, 2)), True, 0.0)
    return out


def run_growth_ukf(T=200, seed=7):
    model = Growth()
    model.check_derivatives()
    hx, gx, bx, hxx, gxx, hss, gss, steady_state, Q = model.second_order()
    states, _, obs = model.simulate(T, np.random.default_rng(seed))

    meas = measurement_function()
    params = np.zeros(0)                   # the measurement function needs none
    R = model.noise_sd ** 2 * np.eye(2)
    z0 = np.zeros(4)                       # (x1, x2) at the steady state
    # The state before the first observation is known (a tiny variance). The
    # x2 block receives no process noise and the productivity entry of x2
    # only decays, so its variance shrinks towards zero: without the small
    # jitter a factorisation of the state covariance fails.
    P0 = 1e-10 * np.eye(4)
    jitter = 1e-14
    ukf_args = (meas.address, hx, gx, bx, hxx, gxx, hss, gss, steady_state, params, Q, R,
                obs, z0, P0, 1.0, 2.0, 0.0, jitter)

    _, _, out = ukf_hot_loop(*ukf_args)
    x_filt, P_filt, std_innov, loglik = out[5], out[7], out[11], out[13]

    calls = 500
    began = time.perf_counter()
    for _ in range(calls):
        ukf_hot_loop(*ukf_args, store_history=False)
    seconds = time.perf_counter() - began

    exact = exact_loglik(model, obs)
    k_err = np.log(x_filt[:, 0] / states[:, 0])
    k_err_exact = exact[1][:, 0] + math.log(model.k_ss) - np.log(states[:, 0])
    a_err = x_filt[:, 1] - states[:, 1]
    a_err_exact = exact[1][:, 1] - states[:, 1]
    rms = lambda e: 100 * math.sqrt(np.mean(e ** 2))

    print(f"\nstochastic growth model, log utility, full depreciation: alpha = {model.alpha}, "
          f"beta = {model.beta}, rho = {model.rho}, sigma = {model.sigma}")
    print(f"  simulated T = {T} with the exact policy; observed log output and log "
          f"consumption with noise sd {model.noise_sd}")
    print(f"  second-order coefficients in levels: hxx[k] = "
          f"{np.array2string(hxx[0].ravel(), precision=4)}, hss = gss = 0")
    print(f"  log-likelihood, unscented filter (2nd order, levels)  {loglik:10.3f}")
    print(f"  log-likelihood, exact (linear filter in logs)         {exact[-1]:10.3f}")
    print(f"  RMS error of filtered log capital  {rms(k_err):.3f}% "
          f"(exact filter {rms(k_err_exact):.3f}%)")
    print(f"  RMS error of filtered TFP          {rms(a_err):.3f}% "
          f"(exact filter {rms(a_err_exact):.3f}%)")
    print(f"  standardised innovations: mean {std_innov.mean():+.3f}, sd {std_innov.std():.3f} "
          f"(exact filter {exact[7].mean():+.3f}, {exact[7].std():.3f})")
    print(f"  ukf_hot_loop: {calls} likelihoods in {seconds:.3f} s, "
          f"{1e6 * seconds / calls:.0f} us each, {calls * T / seconds:,.0f} periods per second")
    return model, states, x_filt, P_filt, std_innov


# ---------------------------------------------------------------------------
# Figure
# ---------------------------------------------------------------------------

def figure(path, macro, growth):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    dates, y, theta, f_filt, macro_std, smoothed, parts = macro
    model, states, x_filt, P_filt, std_innov = growth
    T = states.shape[0]
    t = np.arange(1, T + 1)
    fig, ax = plt.subplots(4, 2, figsize=(12, 13), constrained_layout=True)

    sd_k = np.sqrt(P_filt[:, 0, 0] + P_filt[:, 2, 2] + 2 * P_filt[:, 0, 2])
    ax[0, 0].plot(t, states[:, 0], color="k", lw=1.2, label="true (exact policy)")
    ax[0, 0].plot(t, x_filt[:, 0], color="C3", lw=1, label="filtered, UKF")
    ax[0, 0].fill_between(t, x_filt[:, 0] - 2 * sd_k, x_filt[:, 0] + 2 * sd_k,
                          color="C3", alpha=0.2, lw=0, label="±2 sd")
    ax[0, 0].axhline(model.k_ss, color="grey", lw=0.6, ls=":")
    ax[0, 0].set_title("Growth model: capital stock k (level)")
    ax[0, 0].legend(loc="upper left", fontsize=8)

    sd_a = np.sqrt(P_filt[:, 1, 1] + P_filt[:, 3, 3] + 2 * P_filt[:, 1, 3])
    ax[0, 1].plot(t, states[:, 1], color="k", lw=1.2, label="true")
    ax[0, 1].plot(t, x_filt[:, 1], color="C3", lw=1, label="filtered, UKF")
    ax[0, 1].fill_between(t, x_filt[:, 1] - 2 * sd_a, x_filt[:, 1] + 2 * sd_a,
                          color="C3", alpha=0.2, lw=0, label="±2 sd")
    ax[0, 1].axhline(0.0, color="grey", lw=0.6, ls=":")
    ax[0, 1].set_title("Growth model: log productivity a")
    ax[0, 1].legend(loc="upper left", fontsize=8)

    for j, name in enumerate(("log output", "log consumption")):
        ax[1, 0].plot(t, std_innov[:, j], lw=0.8, label=name, color=f"C{j}")
    ax[1, 0].set_title("Growth model: standardised innovations (UKF)")
    ax[1, 0].set_xlabel("period")

    ax[1, 1].hist(std_innov.ravel(), bins=30, density=True, color="C0", alpha=0.6,
                  label="standardised innovations")
    grid = np.linspace(-4, 4, 200)
    ax[1, 1].plot(grid, np.exp(-grid ** 2 / 2) / math.sqrt(2 * math.pi), color="k",
                  lw=1, label="N(0, 1)")
    ax[1, 1].set_title("Growth model: innovations against N(0, 1)")
    ax[1, 1].legend(fontsize=8)

    mu, phi, lam, *_ = unpack(theta)
    ax[2, 0].plot(dates, y[:, 0], color="C0", lw=0.6, alpha=0.7, label="GDP growth")
    ax[2, 0].plot(dates, y[:, 1], color="C1", lw=0.6, alpha=0.7, label="consumption growth")
    ax[2, 0].plot(dates, mu[0] + f_filt[:, 0], color="k", lw=1.2,
                  label="filtered mean + growth factor")
    ax[2, 0].set_title("US data: real growth (% a year) and the filtered factor")

    names = ("GDP growth", "consumption growth", "inflation")
    for j, name in enumerate(names):
        ax[2, 1].plot(dates, macro_std[:, j], lw=0.7, label=name, color=f"C{j}")
    ax[2, 1].set_title("US data: standardised innovations, dynamic factor model")

    f_smooth = smoothed.x_smooth[:, 0]
    sd_f = np.sqrt(smoothed.P_smooth[:, 0, 0])
    ax[3, 0].plot(dates, f_filt[:, 0], color="C3", lw=0.8, label="filtered")
    ax[3, 0].plot(dates, f_smooth, color="k", lw=1.2, label="smoothed (whole sample)")
    ax[3, 0].fill_between(dates, f_smooth - 2 * sd_f, f_smooth + 2 * sd_f, color="k",
                          alpha=0.15, lw=0, label="smoothed ±2 sd")
    ax[3, 0].set_title("US data: the growth factor, filtered and smoothed")

    # Stacked bars: positive parts above zero, negative ones below.
    names = [name for name in parts if name != "mean"]
    above, below = np.zeros(len(dates)), np.zeros(len(dates))
    width = 0.25
    for i, name in enumerate(names):
        part = np.nan_to_num(parts[name])
        base = np.where(part >= 0, above, below)
        ax[3, 1].bar(dates, part, width, bottom=base, color=f"C{i}", label=name, lw=0)
        above, below = above + np.maximum(part, 0), below + np.minimum(part, 0)
    ax[3, 1].plot(dates, y[:, 0] - parts["mean"], color="k", lw=0.7,
                  label="GDP growth minus its mean")
    ax[3, 1].set_title("US data: historical decomposition of GDP growth (smoothed shocks)")

    for a in (ax[1, 0], ax[2, 0], ax[2, 1], ax[3, 0], ax[3, 1]):
        a.axhline(0.0, color="grey", lw=0.6)
        a.legend(loc="lower left", fontsize=8, ncol=3)
    fig.savefig(path, dpi=100)
    plt.close(fig)


def main():
    began = time.perf_counter()
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build", "demo")
    os.makedirs(folder, exist_ok=True)
    macro = estimate_us_macro()
    growth = run_growth_ukf()
    path = os.path.join(folder, "demo.png")
    figure(path, macro, growth)
    print(f"\nfigure written to {os.path.relpath(path)}")
    print(f"demo finished in {time.perf_counter() - began:.1f} s")


if __name__ == "__main__":
    main()
