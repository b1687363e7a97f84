"""The filter as a PyTensor node: its gradient agrees with finite differences
of the graph from every start, a value with its gradient costs one native call,
and PyMC's NUTS samples a sane posterior through it."""

import numpy as np
import pytest

from _examples import run_example
from _index_packages import index_package
from Orvanta.kalman import kalman_filter
from test_readme import blocks

pytensor = index_package("pytensor")
# Bound to no name here: pytest would look up attributes of the module while
# collecting, and pymc answers some by importing its plots (matplotlib).
index_package("pymc")
pt = pytensor.tensor

from Orvanta.kalman_pytensor import KalmanLoglik, KalmanLoglikGrad, kalman_loglik  # noqa: E402

RNG = np.random.default_rng(11)
Y = RNG.standard_normal((12, 2))
Y[3, 1] = np.nan  # a missing entry: the gradient skips it as the filter does

# A small model with 2 states, 2 shocks and 2 series, as the arrays that
# verify_grad perturbs; Q, R and P0 are built symmetric from a factor.
POINT = dict(A=[[0.5, 0.1], [-0.2, 0.3]], B=[[1.0, 0.0], [0.4, 1.0]],
             C=[[1.0, 0.2], [0.0, 1.0]], d=[0.1, -0.3], LQ=[[0.8, 0.0], [0.3, 0.6]],
             LR=[[0.5, 0.0], [0.1, 0.7]], x0=[0.2, -0.1], LP0=[[1.0, 0.0], [0.2, 0.9]])


def loglik_graph(init, with_x0, with_P0):
    def graph(A, B, C, d, LQ, LR, x0, LP0):
        start = dict(x0=x0 if with_x0 else None, P0=LP0 @ LP0.T if with_P0 else None)
        return kalman_loglik(A, B, C, d, LQ @ LQ.T, LR @ LR.T, Y, init=init, **start)
    return graph


@pytest.mark.parametrize("init, with_x0, with_P0", [
    ("known", True, True), ("stationary", True, False), ("stationary", False, False),
    ("diffuse", True, True), ("diffuse", False, False)])
def test_gradient_agrees_with_finite_differences(init, with_x0, with_P0):
    point = [np.array(value, dtype=float) for value in POINT.values()]
    # verify_grad asks for every input to reach the cost: an unused x0 or P0
    # enters through a zero-weight term.
    graph = loglik_graph(init, with_x0, with_P0)

    def cost(*arrays):
        return graph(*arrays) + 0.0 * (arrays[-2].sum() + arrays[-1].sum())

    pytensor.gradient.verify_grad(cost, point, rng=np.random.default_rng(5), eps=1e-7,
                                  abs_tol=1e-5, rel_tol=1e-5)


def test_value_and_gradient_run_one_native_call_with_the_filters_bits():
    arrays = {name: pt.as_tensor_variable(np.array(value)) for name, value in POINT.items()}
    mu = pt.dvector("mu")
    loglik = kalman_loglik(arrays["A"], arrays["B"], arrays["C"], mu, np.diag([0.7, 0.5]),
                           np.eye(2), Y, init="stationary")
    value_and_gradient = pytensor.function([mu], [loglik, pytensor.grad(loglik, mu)])
    ops = [type(node.op) for node in value_and_gradient.maker.fgraph.apply_nodes]
    assert KalmanLoglikGrad in ops and KalmanLoglik not in ops
    value, _ = value_and_gradient([0.1, -0.3])
    expected = kalman_filter(POINT["A"], POINT["B"], POINT["C"], [0.1, -0.3], np.diag([0.7, 0.5]),
                             np.eye(2), Y, init="stationary", store_history=False).loglik
    assert value == expected
    with pytest.raises(ValueError):
        kalman_loglik(*(arrays[name] for name in ("A", "B", "C", "d")), np.eye(2), np.eye(2), Y,
                      P0=np.eye(2), init="stationary")


def test_nuts_samples_the_nile_local_level_posterior_as_the_readme_shows():
    """The README's PyMC example (its `py` block through the node), as written."""
    example, = [code for _, code in blocks("py") if "kalman_loglik(" in code]
    namespace = {}
    exec(compile(example, "README.md", "exec"), namespace)
    idata = namespace["idata"]
    mean = idata.posterior["log_var"].mean(("chain", "draw")).to_numpy()
    # The maximum likelihood estimates (Durbin and Koopman) are 15099 and
    # 1469.1; the posterior of the log-variances centres within a few of
    # their standard deviations (about 0.15 and 0.6).
    assert abs(mean[0] - np.log(15099.0)) < 0.5 and abs(mean[1] - np.log(1469.1)) < 1.5
    assert idata.sample_stats["diverging"].sum() < 50


def test_a_point_outside_the_domain_is_minus_infinity_only_where_asked():
    root = pt.dscalar("root")
    A = pt.stack([pt.stack([root, 0.0]), pt.stack([0.0, 0.3])])

    def value_and_gradient(invalid_point, C=np.eye(2)):
        loglik = kalman_loglik(A, np.eye(2), C, np.zeros(2), np.eye(2), np.eye(2), Y,
                               init="stationary", invalid_point=invalid_point)
        return pytensor.function([root], [loglik, pytensor.grad(loglik, root)])

    assert np.isfinite(value_and_gradient("-inf")(0.5)[0])
    assert value_and_gradient("-inf")(1.0) == [-np.inf, 0.0]
    with pytest.raises(ValueError, match="unit circle"):
        value_and_gradient("raise")(1.0)
    # An argument that is wrong at every point is an error, not -inf.
    with pytest.raises(ValueError):
        value_and_gradient("-inf", C=np.eye(3))(1.0)


def test_the_bayesian_example_agrees_with_emcee_in_its_quick_form():
    done = run_example("bayes_nuts.py", "--quick", timeout=600)
    # It exits 1 when any NUTS posterior strays from emcee's.
    assert done.returncode == 0, done.stdout + done.stderr
    assert "every NUTS posterior agrees with emcee's" in done.stdout
