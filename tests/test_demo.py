"""The pieces of examples/demo.py: the bundled data, the exact second-order
coefficients of the growth model, the unscented filter on that model
against its exact likelihood, and the historical decomposition of the US
data, which adds up to the data."""

import importlib.util
import os
import types

import numpy as np
import pytest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
_spec = importlib.util.spec_from_file_location("orvanta_demo",
                                               os.path.join(ROOT, "examples", "demo.py"))
demo = importlib.util.module_from_spec(_spec)
_spec.loader.exec_module(demo)


def test_bundled_data_is_statsmodels_macrodata():
    macrodata = pytest.importorskip("statsmodels.datasets.macrodata")
    source = macrodata.load_pandas().data
    _, span, growth = demo.load_us_macro()
    assert span == "1959Q2-2009Q3" and growth.shape == (len(source) - 1, 3)
    levels = source[["realgdp", "realcons", "cpi"]].to_numpy()
    np.testing.assert_allclose(growth, 400 * np.diff(np.log(levels), axis=0), rtol=1e-12)


def test_growth_model_coefficients_match_the_exact_policy():
    model = demo.Growth()
    model.check_derivatives()  # raises on a wrong derivative

    class OffHessian(demo.Growth):
        def derivatives(self, s):
            grad, hess = super().derivatives(s)
            return grad, 1.01 * hess

    with pytest.raises(AssertionError):
        OffHessian().check_derivatives()


def test_unscented_filter_is_close_to_the_exact_likelihood():
    """In logs the model is linear, so the linear filter gives the exact
    likelihood; the second-order filter in levels comes close to it, and
    markedly closer than with the second-order terms left out."""
    model = demo.Growth()
    hx, gx, bx, hxx, gxx, hss, gss, steady_state, Q = model.second_order()
    R = model.noise_sd ** 2 * np.eye(2)
    meas = demo.measurement_function()

    def ukf(obs, hxx, gxx):
        return demo.ukf_hot_loop(meas.address, hx, gx, bx, hxx, gxx, hss, gss, steady_state,
                                 None, Q, R, obs, np.zeros(4), 1e-10 * np.eye(4),
                                 1.0, 2.0, 0.0, 1e-14)[2]

    second, first = [], []
    for seed in range(5):
        states, _, obs = model.simulate(200, np.random.default_rng(seed))
        exact = demo.exact_loglik(model, obs)[-1]
        out = ukf(obs, hxx, gxx)
        second.append(abs(out[-1] - exact))
        first.append(abs(ukf(obs, 0 * hxx, 0 * gxx)[-1] - exact))
        # Filtered states in levels track the simulated ones to about the noise.
        x_filt = out[5]
        assert np.sqrt(np.mean(np.log(x_filt[:, 0] / states[:, 0]) ** 2)) < model.noise_sd
        assert np.sqrt(np.mean((x_filt[:, 1] - states[:, 1]) ** 2)) < model.noise_sd
    assert np.mean(second) < 0.25 and np.mean(first) > 5 * np.mean(second)


def test_macro_likelihood_with_a_ragged_edge():
    """The stationary start of the factor model is the closed form
    diag(sd^2 / (1 - phi^2)); held-back values drop out of the likelihood and
    are nowcast by y_pred."""
    _, _, y = demo.load_us_macro()
    theta = np.array([3.1, 3.4, 3.8, 0.6, 1.7, 0.8, 0.9, -0.03, 0.7, 0.5, 0.6])
    A, B, C, d, Q, R = demo.state_space(theta)
    mu, phi, lam, sd_shock, sd_noise = demo.unpack(theta)
    P0 = np.diag(sd_shock ** 2 / (1.0 - phi ** 2))
    T = y.shape[0]
    full = demo.kalman_hot_loop(T, (2, 3, 2), A, B, C, d, Q, R, y, np.zeros(2), P0, True, 0.0)[2]
    assert demo.loglik_linear(theta, y).loglik == pytest.approx(full[-1], rel=1e-12)

    ragged = demo.ragged_edge(y)
    assert np.isnan(ragged[-demo.RAGGED_EDGE:, 1]).all() and np.isnan(ragged).sum() == 2
    out = demo.loglik_linear(theta, ragged, store_history=True)
    assert out.nobs == 3 * T - demo.RAGGED_EDGE
    # the terms of the complete periods are those of the complete sample
    head = demo.loglik_linear(theta, y, store_history=True)
    np.testing.assert_array_equal(out.loglik_t[:-demo.RAGGED_EDGE],
                                  head.loglik_t[:-demo.RAGGED_EDGE])
    edge = slice(T - demo.RAGGED_EDGE, T)
    np.testing.assert_allclose(out.y_pred[edge, 1],
                               d[1] + lam * out.x_pred[edge, 0], rtol=1e-12)


def test_historical_decomposition_adds_up_to_the_data():
    """The contributions of the smoothed shocks, the initial state, the mean
    and the measurement errors sum to each observed series; built from the
    filtered shocks instead, they do not."""
    _, _, y = demo.load_us_macro()
    y = demo.ragged_edge(y)
    theta = np.array([3.1, 3.4, 3.8, 0.6, 1.7, 0.8, 0.9, -0.03, 0.7, 0.5, 0.6])
    A, B, C, d, Q, R = demo.state_space(theta)
    smoothed = demo.kalman_smoother(A, B, C, d, Q, R, y, init="stationary", return_shocks=True)
    for series in range(3):
        parts = demo.historical_decomposition(theta, smoothed, series)
        assert set(parts) == {"mean", "initial state", "measurement error", *demo.SHOCK_NAMES}
        total = sum(parts.values())
        observed = ~np.isnan(y[:, series])
        np.testing.assert_allclose(total[observed], y[observed, series], rtol=0, atol=1e-10)
        assert np.all(np.isnan(total[~observed]))
        # the shock the series does not load on contributes nothing
        if series < 2:
            assert np.all(parts["inflation shock"] == 0.0)
    filtered = types.SimpleNamespace(x0_smooth=smoothed.x0_smooth, eps_smooth=smoothed.eps_hat,
                                     x_smooth=smoothed.x_smooth, e_smooth=smoothed.e_smooth)
    wrong = sum(demo.historical_decomposition(theta, filtered, 0).values())
    assert np.abs(wrong - y[:, 0]).max() > 0.1


def test_gradient_in_the_parameters_by_the_chain_rule():
    """The demo's map from the matrices' gradient to theta's agrees with
    central differences of the likelihood in theta, and both optimisers
    reach the same optimum, the exact gradient in far fewer evaluations."""
    _, _, y = demo.load_us_macro()
    y = demo.ragged_edge(y)
    theta = np.array([3.1, 3.4, 3.8, 0.6, 1.7, 0.8, 0.9, -0.03, 0.7, 0.5, 0.6])
    value, gradient = demo.loglik_and_gradient(theta, y)
    assert value == demo.loglik_linear(theta, y).loglik
    h = 1e-6
    numeric = [(demo.loglik_linear(theta + h * e, y).loglik
                - demo.loglik_linear(theta - h * e, y).loglik) / (2 * h) for e in np.eye(11)]
    np.testing.assert_allclose(gradient, numeric, rtol=0, atol=1e-5 * np.abs(gradient).max())

    start = demo.starting_point(y)
    exact, with_gradient, _ = demo.maximise(y, start, with_gradient=True, repeats=1)
    numerical, without, _ = demo.maximise(y, start, with_gradient=False, repeats=1)
    assert exact.success and abs(exact.fun - numerical.fun) < 1e-3
    assert 5 * with_gradient < without


def test_demo_build_asks_the_registry_for_this_processors_variant(tmp_path):
    """The demonstration's build compiles one variant: the one a small program
    built from the registry says this processor takes. It must name a variant
    the registry lists, and refuse the native tests, which need them all."""
    import re
    import shutil
    import subprocess

    if shutil.which("cmake") is None or shutil.which("ninja") is None:
        pytest.skip("CMake and Ninja are needed to configure the build")
    configure = ["cmake", "-S", ROOT, "-G", "Ninja", "-DORVANTA_HOST_VARIANT_ONLY=ON",
                 f"-DORVANTA_MODULE_DIR={tmp_path / 'module'}"]
    # The compiler must not inherit the sanitized run's preloaded runtime.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    done = subprocess.run(configure + ["-B", str(tmp_path / "host")],
                          capture_output=True, text=True, timeout=300, env=env)
    assert done.returncode == 0, done.stderr
    chosen = re.search(r"Building the (\w+) variant alone", done.stdout)
    registry = open(os.path.join(ROOT, "Orvanta", "_ckernels", "_common",
                                 "orv_cpu_variants.h")).read()
    listed = re.findall(r"X\(arg, ([a-z0-9_]+), ", registry)
    assert chosen and chosen.group(1) in listed, (done.stdout, listed)

    refused = subprocess.run(configure + ["-B", str(tmp_path / "tests"),
                                          "-DORVANTA_BUILD_TESTS=ON"],
                             capture_output=True, text=True, timeout=300, env=env)
    assert refused.returncode != 0 and "exclude each other" in refused.stderr
