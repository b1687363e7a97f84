"""The JAX peer of the linear filter's log-likelihood: the same recursion
(the prediction, S symmetrised and factored by Cholesky, the gain solved from
the factor, the Joseph form, the covariances symmetrised; known or
stationary start) in float64, compiled by `jax.jit` for one model and by
`jax.jit(jax.vmap(...))` for many draws of it at once, against
kalman_hot_loop and kalman_loglik_batch; bench/grad_peers.py takes its
gradient.

JAX comes from the package index (tools/requirements-index.txt); where it is
missing, `available()` says why and the benchmark leaves these peers out.
Compilation happens once per shape, before anything is timed. JAX may run
its work on more than one core; the benchmark reports the cores each
candidate used.
"""

import math

KEYS = ("A", "B", "C", "d", "Q", "R", "y", "x0", "P0")


def available():
    """None when JAX imports with float64 enabled, else the reason it does not."""
    try:
        jax = _jax()
    except ImportError as exc:
        return f"JAX not installed ({exc})"
    if jax.numpy.ones(1).dtype != jax.numpy.float64:
        return "JAX would not enable float64"
    return None


def _jax():
    """The jax module with float64 enabled (before any array is made: arrays
    made earlier stay float32)."""
    import jax

    jax.config.update("jax_enable_x64", True)
    return jax


def loglik_function(init="known"):
    """The log-likelihood of one model as a function of KEYS' arrays, in
    jax.numpy (not compiled); under init="stationary" P0 is not read but
    solved from P = A P A' + B Q B' by doubling."""
    jax = _jax()
    import jax.numpy as jnp
    from jax.scipy.linalg import cho_solve, solve_triangular

    log_2pi = math.log(2 * math.pi)

    def stationary_cov(A, W):
        # P = sum_j A^j W A^j', by doubling: 40 steps cover A^(2^40)
        def double(_, carry):
            P, Ak = carry
            return P + Ak @ P @ Ak.T, Ak @ Ak
        return jax.lax.fori_loop(0, 40, double, (W, A))[0]

    def loglik(A, B, C, d, Q, R, y, x0, P0):
        n, m = A.shape[0], C.shape[0]
        W = B @ Q @ B.T
        P_start = stationary_cov(A, W) if init == "stationary" else P0
        eye = jnp.eye(n)

        def period(carry, yt):
            x, P = carry
            xp = A @ x
            Pp = A @ P @ A.T + W
            Pp = 0.5 * (Pp + Pp.T)
            v = yt - C @ xp - d
            S = C @ Pp @ C.T + R
            S = 0.5 * (S + S.T)
            L = jnp.linalg.cholesky(S)
            w = solve_triangular(L, v, lower=True)
            K = cho_solve((L, True), C @ Pp).T
            IKC = eye - K @ C
            Pf = IKC @ Pp @ IKC.T + K @ R @ K.T
            term = -0.5 * (m * log_2pi + 2 * jnp.sum(jnp.log(jnp.diag(L))) + w @ w)
            return (xp + K @ v, 0.5 * (Pf + Pf.T)), term

        return jnp.sum(jax.lax.scan(period, (x0, P_start), y)[1])

    return loglik


class JaxFilter:
    """jax.jit of the log-likelihood for one model (bench/models.py's dict),
    compiled on construction; call() returns a float."""

    def __init__(self, model):
        jax = _jax()
        self.args = tuple(jax.device_put(model[key]) for key in KEYS)
        self.fn = jax.jit(loglik_function())
        self.call()

    def call(self):
        return float(self.fn(*self.args))


class JaxBatch:
    """jax.jit(jax.vmap(...)) of the log-likelihood over the draws of
    stacked arrays (bench/batch.py's batch_draws: y shared, the rest with a
    leading axis of draws), compiled on construction; call() waits for the
    results and returns them as a NumPy array."""

    def __init__(self, stacked):
        import numpy as np

        jax = _jax()
        axes = tuple(None if key == "y" else 0 for key in KEYS)
        self.args = tuple(jax.device_put(stacked[key]) for key in KEYS)
        self.fn = jax.jit(jax.vmap(loglik_function(), in_axes=axes))
        self._np = np
        self.call()

    def call(self):
        return self._np.asarray(self.fn(*self.args).block_until_ready())
