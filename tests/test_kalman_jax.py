"""The filter as a JAX function: its value and jax.grad agree with a Kalman
filter written in JAX and differentiated by JAX, under jit and vmap."""

import numpy as np
import pytest

from _index_packages import index_package

jax = index_package("jax")
jax.config.update("jax_enable_x64", True)
jnp = jax.numpy

from Orvanta.kalman_jax import kalman_loglik  # noqa: E402

Y = np.random.default_rng(8).standard_normal((15, 2))
# A small model, with Q, R and P0 built symmetric from factors.
POINT = dict(A=[[0.5, 0.1], [-0.2, 0.3]], B=[[1.0, 0.0], [0.4, 1.0]],
             C=[[1.0, 0.2], [0.0, 1.0]], d=[0.1, -0.3], LQ=[[0.8, 0.0], [0.3, 0.6]],
             LR=[[0.5, 0.0], [0.1, 0.7]], x0=[0.2, -0.1], LP0=[[1.0, 0.0], [0.2, 0.9]])


def jax_filter(A, B, C, d, Q, R, x0, P0):
    """The textbook filter from the filtered moments of the period before the
    first observation, in plain jax.numpy."""
    def step(carry, y):
        x, P = carry
        x, P = A @ x, A @ P @ A.T + B @ Q @ B.T
        S = C @ P @ C.T + R
        v = y - C @ x - d
        K = jnp.linalg.solve(S, C @ P).T
        term = -0.5 * (len(y) * jnp.log(2 * jnp.pi) + jnp.linalg.slogdet(S)[1]
                       + v @ jnp.linalg.solve(S, v))
        return (x + K @ v, P - K @ S @ K.T), term
    return jax.lax.scan(step, (x0, P0), Y)[1].sum()


def stationary_P0(A, B, Q):
    n = A.shape[0]
    vec = jnp.linalg.solve(jnp.eye(n * n) - jnp.kron(A, A), (B @ Q @ B.T).reshape(-1))
    return vec.reshape(n, n)


def both(init):
    """The native and the JAX log-likelihood as functions of the factors."""
    def arrays(A, B, C, d, LQ, LR, x0, LP0):
        return A, B, C, d, LQ @ LQ.T, LR @ LR.T, x0, LP0 @ LP0.T

    def native(*point):
        A, B, C, d, Q, R, x0, P0 = arrays(*point)
        start = dict(x0=x0, P0=P0) if init == "known" else dict(x0=jnp.zeros(2))
        return kalman_loglik(A, B, C, d, Q, R, Y, init=init, **start)

    def reference(*point):
        A, B, C, d, Q, R, x0, P0 = arrays(*point)
        if init == "stationary":
            # The first prediction A x0, A P0 A' + B Q B' from x0 = 0 and the
            # stationary P0 is the stationary distribution itself.
            x0, P0 = jnp.zeros(2), stationary_P0(A, B, Q)
        return jax_filter(A, B, C, d, Q, R, x0, P0)
    return native, reference


@pytest.mark.parametrize("init", ["known", "stationary"])
def test_value_and_gradient_agree_with_a_jax_filter(init):
    native, reference = both(init)
    point = [jnp.asarray(value, dtype=jnp.float64) for value in POINT.values()]
    arguments = tuple(range(len(point)))
    value, gradient = jax.jit(jax.value_and_grad(native, argnums=arguments))(*point)
    want_value, want_gradient = jax.value_and_grad(reference, argnums=arguments)(*point)
    np.testing.assert_allclose(value, want_value, rtol=1e-12)
    for name, got, want in zip(POINT, gradient, want_gradient):
        if init == "stationary" and name in ("x0", "LP0"):
            continue  # not arguments of the stationary start
        np.testing.assert_allclose(got, want, rtol=1e-8, atol=1e-10, err_msg=name)


def test_vmap_runs_each_point_and_outside_the_domain_is_minus_infinity_where_asked():
    def loglik(root, invalid_point="-inf"):
        A = jnp.diag(jnp.stack([root, 0.3]))
        return kalman_loglik(A, np.eye(2), np.eye(2), np.zeros(2), np.eye(2), np.eye(2), Y,
                             init="stationary", invalid_point=invalid_point)

    roots = jnp.array([0.2, 0.5, 1.0])
    values, gradients = jax.vmap(jax.value_and_grad(loglik))(roots)
    assert values[2] == -np.inf and gradients[2] == 0.0
    for root, value, gradient in zip(roots[:2], values, gradients):
        assert (value, gradient) == jax.value_and_grad(loglik)(root)
    with pytest.raises(Exception, match="unit circle"):
        jax.block_until_ready(loglik(1.0, invalid_point="raise"))
