"""Bayesian estimation of two state-space models with NUTS through the native
filter and its exact gradient, against the same posterior by other routes.

Models:
  - the Nile local level model (Durbin and Koopman), 100 years of flow,
    from a wide known start;
  - the demo's dynamic factor model of US growth and inflation (examples/demo.py),
    11 parameters, a stationary start, two quarters of consumption missing.

Routes, each sampling the same posterior (the same priors and likelihood):
  - PyMC's NUTS through Orvanta.kalman_pytensor (the native filter and gradient);
  - BlackJAX's NUTS through Orvanta.kalman_jax (the same, as a JAX function);
  - PyMC's NUTS through pymc-extras' statespace Kalman filter (PyTensor, the
    gradient by automatic differentiation);
  - BlackJAX's NUTS through dynamax's Kalman filter (JAX, differentiated by JAX);
  - emcee's ensemble, vectorised over its walkers through kalman_loglik_batch:
    the long gradient-free reference that the NUTS posteriors are checked against,
    mean and standard deviation of every parameter within Monte Carlo error.

For each route it prints the sampling seconds (two chains of as many tuning
steps as draws, tuning included, compilation not), the smallest bulk
effective sample size over the parameters (ArviZ's ess) and their ratio,
seconds per effective sample of the slowest parameter.

    python examples/bayes_nuts.py            # a few minutes
    python examples/bayes_nuts.py --quick    # a check of the machinery, seconds
"""

import argparse
import os
import sys
import time

import arviz_base
import arviz_stats
import blackjax
import emcee
import jax
import jax.numpy as jnp
import numpy as np
import pymc as pm
import pytensor.tensor as pt

# The filter runs in float64, and so do the JAX routes.
jax.config.update("jax_enable_x64", True)
# The demo first: it makes the checkout's in-place build importable.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from demo import NAMES as FACTOR_NAMES, load_us_macro, ragged_edge, starting_point  # noqa: E402
from emcee_batch import PRIOR_MEAN, PRIOR_SD, factor_model_arrays  # noqa: E402

from Orvanta.kalman import kalman_loglik_batch  # noqa: E402
from Orvanta.kalman_pytensor import kalman_loglik  # noqa: E402


def nile_flow():
    from statsmodels.datasets import nile
    return nile.load_pandas().data["volume"].to_numpy(dtype=float)[:, None]


class NileLocalLevel:
    """theta = (log sigma2_eps, log sigma2_eta); the level starts at 0 with
    variance 1e7, a known start wide enough to act as a diffuse one."""

    names = ("log sigma2_eps", "log sigma2_eta")
    prior_mean = np.array([8.0, 8.0])
    prior_sd = np.array([4.0, 4.0])
    init = "known"
    P0 = 1e7

    def __init__(self):
        self.y = nile_flow()

    def start(self):
        """Durbin and Koopman's maximum likelihood estimates."""
        return np.log([15099.0, 1469.1])

    def matrices(self, theta, xp):
        """The filter's arrays as expressions of theta in xp: pytensor.tensor
        or jax.numpy."""
        variance = xp.exp(theta)
        # A variable of its own for each array: pymc-extras' filter takes them
        # as separate inputs of its scan, which refuses one variable twice.
        A, B, C = (xp.ones((1, 1)) for _ in range(3))
        return dict(A=A, B=B, C=C, d=xp.zeros(1), Q=variance[1].reshape((1, 1)),
                    R=variance[0].reshape((1, 1)), x0=xp.zeros(1), P0=xp.full((1, 1), self.P0))

    def predicted_start(self, arrays, xp):
        """The mean and covariance of the first prediction (the start that
        pymc-extras takes): A x0 and A P0 A' + B Q B'."""
        return arrays["x0"], arrays["P0"] + arrays["Q"]

    def batch_matrices(self, thetas):
        """The filter's arrays for many theta at once, for kalman_loglik_batch."""
        variance = np.exp(thetas)[:, :, None, None]
        one = np.ones((1, 1))
        return dict(A=one, B=one, C=one, d=np.zeros(1), Q=variance[:, 1], R=variance[:, 0],
                    x0=np.zeros(1), P0=self.P0 * one)


class FactorModel:
    """examples/demo.py's model: theta = (means 3, atanh of the AR roots 2,
    consumption loading, log sd of the shocks 2, log sd of the noise 3)."""

    names = FACTOR_NAMES
    prior_mean, prior_sd = PRIOR_MEAN, PRIOR_SD
    init = "stationary"

    def __init__(self):
        self.y = ragged_edge(load_us_macro()[2])

    def start(self):
        """The demo's starting point for its maximum likelihood estimate."""
        return starting_point(self.y)

    def matrices(self, theta, xp):
        phi, lam = xp.tanh(theta[3:5]), theta[5]
        zero = 0.0 * lam
        one = zero + 1.0
        C = xp.stack([xp.stack([one, zero]), xp.stack([lam, zero]), xp.stack([zero, one])])
        return dict(A=xp.diag(phi), B=xp.eye(2), C=C, d=theta[0:3],
                    Q=xp.diag(xp.exp(theta[6:8]) ** 2), R=xp.diag(xp.exp(theta[8:11]) ** 2))

    def predicted_start(self, arrays, xp):
        """The stationary distribution, the first prediction's too: diagonal,
        each state's shock variance over 1 - phi**2."""
        phi = xp.diagonal(arrays["A"])
        return xp.zeros(2), xp.diag(xp.diagonal(arrays["Q"]) / (1.0 - phi ** 2))

    def batch_matrices(self, thetas):
        return factor_model_arrays(thetas)


# ---------------------------------------------------------------------------
# The routes
# ---------------------------------------------------------------------------

def orvanta_loglik(model, theta):
    return kalman_loglik(**model.matrices(theta, pt), y=model.y, init=model.init,
                         invalid_point="-inf")


def pymc_extras_loglik(model, theta):
    # Imported here: it loads matplotlib, which the quick run does without.
    from pymc_extras.statespace.filters import StandardFilter
    arrays = model.matrices(theta, pt)
    a0, P0 = model.predicted_start(arrays, pt)
    n = arrays["B"].shape[0]
    outputs = StandardFilter().build_graph(
        pt.as_tensor_variable(model.y), a0, P0, pt.zeros(n), arrays["d"], arrays["A"],
        arrays["C"], arrays["B"], arrays["R"], arrays["Q"])
    return outputs[-1].sum()


def orvanta_jax_loglik(model, theta):
    from Orvanta.kalman_jax import kalman_loglik as kalman_loglik_jax
    return kalman_loglik_jax(**model.matrices(theta, jnp), y=model.y, init=model.init,
                             invalid_point="-inf")


def dynamax_loglik(model, theta):
    """dynamax's filter, which takes the first prediction as its start and has no
    missing values: a missing entry is made an independent N(0, 1) value of 0
    (no loading, no mean, unit variance), which adds a constant to the
    log-likelihood and leaves the posterior as it is."""
    from dynamax.linear_gaussian_ssm.inference import (
        ParamsLGSSM, ParamsLGSSMDynamics, ParamsLGSSMEmissions, ParamsLGSSMInitial,
        lgssm_filter)
    arrays = model.matrices(theta, jnp)
    a0, P0 = model.predicted_start(arrays, jnp)
    n, m = a0.shape[0], model.y.shape[1]
    missing = np.isnan(model.y)
    C, d, R = arrays["C"], arrays["d"], arrays["R"]
    if missing.any():
        keep = ~missing
        C = jnp.where(keep[:, :, None], C, 0.0)
        d = jnp.where(keep, d, 0.0)
        R = R * (keep[:, :, None] & keep[:, None, :]) + missing[:, :, None] * np.eye(m)
    params = ParamsLGSSM(
        initial=ParamsLGSSMInitial(mean=a0, cov=P0),
        dynamics=ParamsLGSSMDynamics(weights=arrays["A"], bias=jnp.zeros(n),
                                     input_weights=jnp.zeros((n, 0)),
                                     cov=arrays["B"] @ arrays["Q"] @ arrays["B"].T),
        emissions=ParamsLGSSMEmissions(weights=C, bias=d, input_weights=jnp.zeros((m, 0)),
                                       cov=R))
    return lgssm_filter(params, jnp.asarray(np.nan_to_num(model.y))).marginal_loglik


def sample_blackjax(model, loglik, draws, tune, seed):
    """BlackJAX's NUTS with its window adaptation, two chains one after the
    other, each compiled once beforehand; returns the draws (chain, draw,
    parameter), the seconds (compilation not included) and the divergences."""
    prior_mean, prior_sd = jnp.asarray(model.prior_mean), jnp.asarray(model.prior_sd)

    def log_density(theta):
        z = (theta - prior_mean) / prior_sd
        return -0.5 * z @ z + loglik(model, theta)

    @jax.jit
    def one_chain(key, position):
        warm_key, sample_key = jax.random.split(key)
        warmup = blackjax.window_adaptation(blackjax.nuts, log_density)
        (state, parameters), _ = warmup.run(warm_key, position, num_steps=tune)
        kernel = blackjax.nuts(log_density, **parameters)

        def step(state, key):
            state, info = kernel.step(key, state)
            return state, (state.position, info.is_divergent)

        _, (positions, divergent) = jax.lax.scan(step, state,
                                                 jax.random.split(sample_key, draws))
        return positions, divergent.sum()

    keys = jax.random.split(jax.random.key(seed), 2)
    start = jnp.asarray(model.start())
    compiled = one_chain.lower(keys[0], start).compile()
    began = time.perf_counter()
    chains = jax.block_until_ready([compiled(key, start) for key in keys])
    seconds = time.perf_counter() - began
    return (np.stack([np.asarray(positions) for positions, _ in chains]), seconds,
            int(sum(divergent for _, divergent in chains)))


def sample_nuts(model, loglik, draws, tune, seed):
    """PyMC's NUTS on the model's posterior with the log-likelihood graph
    `loglik`; returns the draws (chain, draw, parameter) and the seconds."""
    with pm.Model():
        theta = pm.Normal("theta", mu=model.prior_mean, sigma=model.prior_sd,
                          shape=len(model.names))
        pm.Potential("loglik", loglik(model, theta))
        start = {"theta": model.start()}
        idata = pm.sample(draws, tune=tune, chains=2, cores=1, random_seed=seed,
                          initvals=start, progressbar=False, compute_convergence_checks=False)
    return (idata.posterior["theta"].to_numpy(), idata.sample_stats.attrs["sampling_time"],
            int(idata.sample_stats["diverging"].sum()))


def log_prior(model, thetas):
    z = (thetas - model.prior_mean) / model.prior_sd
    return -0.5 * np.sum(z * z, axis=1)


def log_posterior_batch(model, thetas):
    """The walkers' log-posteriors in one native call; a draw the filter
    cannot run (a root rounded to 1) gets -inf from the batch's status."""
    lik = kalman_loglik_batch(**model.batch_matrices(thetas), y=model.y, init=model.init)
    return np.where(lik.status == 0, lik.loglik, -np.inf) + log_prior(model, thetas)


def sample_emcee(model, walkers, steps, seed):
    """emcee's ensemble, vectorised through the batch; the first half of the
    run is dropped. Returns draws (walker, draw, parameter) and the seconds."""
    rng = np.random.default_rng(seed)
    start = model.start() + 1e-3 * rng.standard_normal((walkers, len(model.names)))
    sampler = emcee.EnsembleSampler(walkers, len(model.names),
                                    lambda thetas: log_posterior_batch(model, thetas),
                                    vectorize=True)
    sampler.random_state = np.random.RandomState(seed).get_state()
    began = time.perf_counter()
    sampler.run_mcmc(start, steps)
    seconds = time.perf_counter() - began
    return np.swapaxes(sampler.get_chain(discard=steps // 2), 0, 1), seconds


# ---------------------------------------------------------------------------
# Diagnostics
# ---------------------------------------------------------------------------

def summary(chain):
    """Mean, sd, their Monte Carlo standard errors and the bulk ess, per parameter."""
    tree = arviz_base.from_dict({"posterior": {"theta": chain}})
    values = lambda statistic: statistic["theta"].to_numpy()  # noqa: E731
    return dict(mean=chain.mean(axis=(0, 1)), sd=chain.std(axis=(0, 1)),
                mcse_mean=values(arviz_stats.mcse(tree, method="mean")),
                mcse_sd=values(arviz_stats.mcse(tree, method="sd")),
                ess=values(arviz_stats.ess(tree, method="bulk")))


def disagreements(model, reference, other, bound=4.0):
    """The parameters whose mean or sd differ from the reference by more than
    `bound` combined Monte Carlo standard errors."""
    found = []
    for statistic in ("mean", "sd"):
        error = np.hypot(reference["mcse_" + statistic], other["mcse_" + statistic])
        z = np.abs(reference[statistic] - other[statistic]) / error
        found += [f"{name} {statistic} ({z_i:.1f} standard errors)"
                  for name, z_i in zip(model.names, z) if z_i > bound]
    return found


def report(label, stats, seconds, divergences=None):
    worst = int(np.argmin(stats["ess"]))
    per_sample = seconds / stats["ess"][worst]
    extra = "" if divergences is None else f", {divergences} divergences"
    print(f"  {label:<38} {seconds:8.2f} s  min ess {stats['ess'][worst]:7.0f} "
          f"({stats['names'][worst]})  {1e3 * per_sample:8.3f} ms per effective sample{extra}")
    return per_sample


ORVANTA_ROUTES = (("PyMC NUTS, Orvanta node", sample_nuts, orvanta_loglik),
                  ("BlackJAX NUTS, Orvanta JAX function", sample_blackjax, orvanta_jax_loglik))
PEER_ROUTES = (("PyMC NUTS, pymc-extras filter", sample_nuts, pymc_extras_loglik),
               ("BlackJAX NUTS, dynamax filter", sample_blackjax, dynamax_loglik))


def run(model, label, draws, tune, walkers, steps, with_peers, seed=1):
    print(f"{label}: {len(model.names)} parameters, T = {len(model.y)}")
    reference_chain, reference_seconds = sample_emcee(model, walkers, steps, seed)
    reference = summary(reference_chain) | {"names": model.names}
    report(f"emcee, {walkers} walkers through the batch", reference, reference_seconds)
    routes = ORVANTA_ROUTES + (PEER_ROUTES if with_peers else ())
    per_sample, failures = {}, []
    for name, sampler, loglik in routes:
        chain, seconds, divergences = sampler(model, loglik, draws, tune, seed)
        stats = summary(chain) | {"names": model.names}
        per_sample[name] = report(name, stats, seconds, divergences)
        off = disagreements(model, reference, stats)
        print(f"    against emcee: {'agrees' if not off else 'differs at ' + ', '.join(off)}")
        failures += [f"{label}, {name}: {item}" for item in off]
    if with_peers:
        ours = min(per_sample[name] for name, _, _ in ORVANTA_ROUTES)
        theirs = min(per_sample[name] for name, _, _ in PEER_ROUTES)
        print(f"  seconds per effective sample, the faster peer over the faster Orvanta "
              f"route: {theirs / ours:.1f}x")
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="short runs, the Orvanta routes only: checks the machinery")
    args = parser.parse_args()
    if args.quick:
        settings = dict(draws=300, tune=300, walkers=32, steps=2000, with_peers=False)
    else:
        settings = dict(draws=1000, tune=1000, walkers=64, steps=20000, with_peers=True)
    failures = run(NileLocalLevel(), "Nile local level", **settings)
    failures += run(FactorModel(), "Dynamic factor model (examples/demo.py)", **settings)
    if failures:
        print("posteriors disagree: " + "; ".join(failures))
        return 1
    print("every NUTS posterior agrees with emcee's within Monte Carlo error")
    return 0


if __name__ == "__main__":
    sys.exit(main())
