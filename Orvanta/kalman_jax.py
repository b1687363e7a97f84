"""The linear Kalman filter's log-likelihood as a JAX function with the native
gradient, for NumPyro's and BlackJAX's NUTS.

    import jax
    jax.config.update("jax_enable_x64", True)
    from Orvanta.kalman_jax import kalman_loglik

    def log_density(theta):
        A, B, C, d, Q, R = model_arrays(theta)      # jax.numpy code
        return kalman_loglik(A, B, C, d, Q, R, y, init="stationary")

``jax.grad``, ``jax.jit`` and ``jax.vmap`` (one native call per point) all work:
the value and the gradient come from the native filter through
``jax.pure_callback``, the gradient by ``jax.custom_vjp`` from one
``kalman_loglik_grad`` call, and JAX's chain rule runs from the gradient in the
matrices back to theta. y and the options are constants. The filter runs in
float64, so JAX must have 64-bit values enabled.

Importing this module imports JAX; ``Orvanta.kalman`` never does.
"""

import jax
import jax.numpy as jnp
import numpy as np

from Orvanta._loglik_point import MODEL_ARRAYS, FilterAtAPoint, start_arrays_given

__all__ = ["kalman_loglik"]

_SCALAR = jax.ShapeDtypeStruct((), np.float64)


def _shapes_of(arrays):
    return [jax.ShapeDtypeStruct(np.shape(value), np.float64) for value in arrays]


def _native_function(point):
    """f(*arrays) -> loglik, differentiable once through custom_vjp."""

    def value(*arrays):
        return np.float64(point.loglik([np.asarray(a) for a in arrays]))

    def value_and_gradient(*arrays):
        result = point.loglik_and_gradient([np.asarray(a) for a in arrays])
        return (np.float64(result.loglik),
                *(np.asarray(getattr(result, "d" + name), dtype=np.float64)
                  for name in point.gradient_fields()))

    @jax.custom_vjp
    def loglik(*arrays):
        return jax.pure_callback(value, _SCALAR, *arrays, vmap_method="sequential")

    def forward(*arrays):
        outputs = jax.pure_callback(value_and_gradient, (_SCALAR, *_shapes_of(arrays)),
                                    *arrays, vmap_method="sequential")
        return outputs[0], outputs[1:]

    def backward(gradients, cotangent):
        return tuple(cotangent * gradient for gradient in gradients)

    loglik.defvjp(forward, backward)
    return loglik


def kalman_loglik(A, B, C, d, Q, R, y, x0=None, P0=None, symmetrize=True, jitter=0.0, *,
                  init="known", diffuse_states=None, invalid_point="raise"):
    """The log-likelihood of ``kalman_filter`` (same arguments and meaning) as a
    JAX scalar of A, B, C, d, Q, R and of x0, P0 when given; y and the options
    are constants. Differentiable once (reverse mode), with the gradient of
    ``kalman_loglik_grad``; for Q, R and P0 it is the symmetric gradient, so
    build them symmetric. ``invalid_point`` is as for
    ``Orvanta.kalman_pytensor.kalman_loglik``: "-inf" gives -inf and a zero
    gradient at a point outside the model's domain, for a sampler."""
    if not jax.config.jax_enable_x64:
        raise RuntimeError("the filter runs in float64: enable JAX's 64-bit values "
                           "(jax.config.update('jax_enable_x64', True))")
    start = start_arrays_given(init, x0, P0, invalid_point)
    given = dict(x0=x0, P0=P0)
    arrays = [jnp.asarray(value, dtype=jnp.float64) for value in (A, B, C, d, Q, R)]
    arrays += [jnp.asarray(given[name], dtype=jnp.float64) for name, _ in start]
    for (name, ndim), value in zip(MODEL_ARRAYS + tuple(start), arrays):
        if value.ndim != ndim:
            raise ValueError(f"{name} must have {ndim} dimension(s), not {value.ndim}")
    point = FilterAtAPoint(y, [name for name, _ in start], init, symmetrize, jitter,
                           diffuse_states, invalid_point)
    return _native_function(point)(*arrays)
