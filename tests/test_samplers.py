"""The library inside samplers that users run: emcee's ensemble, vectorised
over its walkers through kalman_loglik_batch, walks the same chain to the bit
as one kalman_filter call per walker."""

import numpy as np

from _examples import run_example
from _index_packages import index_package
from Orvanta.kalman import kalman_filter, kalman_loglik_batch
from test_kf_reference import nile_flow

emcee = index_package("emcee")

# The Nile local level model from a wide known prior; theta holds the log
# variances (log sigma2_eta, log sigma2_eps) under a flat prior.
MODEL = dict(A=[[1.0]], B=[[1.0]], C=[[1.0]], d=[0.0], y=nile_flow()[:, None], x0=[0.0],
             P0=[[1e7]])


def log_posterior_each(theta):
    Q, R = np.exp(theta).reshape(2, 1, 1)
    return kalman_filter(**MODEL, Q=Q, R=R).loglik


def log_posterior_batch(thetas):
    variances = np.exp(thetas).reshape(-1, 2, 1, 1)
    return kalman_loglik_batch(**MODEL, Q=variances[:, 0], R=variances[:, 1]).loglik


def run_chain(log_prob, vectorize, walkers=16, steps=25):
    start = np.log([1469.1, 15099.0]) + 0.1 * np.random.default_rng(3).standard_normal(
        (walkers, 2))
    sampler = emcee.EnsembleSampler(walkers, 2, log_prob, vectorize=vectorize)
    sampler.random_state = np.random.RandomState(4).get_state()
    sampler.run_mcmc(start, steps)
    return sampler.get_chain(), sampler.get_log_prob(), sampler.acceptance_fraction


def test_vectorised_ensemble_walks_the_per_walker_chain():
    chain, log_prob, accepted = run_chain(log_posterior_batch, vectorize=True)
    chain_each, log_prob_each, _ = run_chain(log_posterior_each, vectorize=False)
    assert np.array_equal(chain, chain_each)
    assert np.array_equal(log_prob, log_prob_each)
    # The walkers moved: the comparison is of two real chains.
    assert accepted.mean() > 0.1 and np.all(np.isfinite(log_prob))


def test_the_example_walks_the_factor_model_the_same_either_way():
    done = run_example("emcee_batch.py", "--walkers", "24", "--steps", "30", timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "the two chains are identical to the bit" in done.stdout
