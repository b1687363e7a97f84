"""The log-likelihood and its gradient at one point of a model, as the
automatic-differentiation wrappers (Orvanta.kalman_pytensor,
Orvanta.kalman_jax) call it: the data and the filter's options fixed, the
model arrays given in kalman_loglik_grad's order. No framework imported here."""

from types import SimpleNamespace

import numpy as np

from Orvanta.kalman import kalman_filter, kalman_loglik_batch, kalman_loglik_grad

# The model arrays in the order of kalman_loglik_grad's arguments, with their
# dimensions; x0 and P0 take part only where the caller gives them.
MODEL_ARRAYS = (("A", 2), ("B", 2), ("C", 2), ("d", 1), ("Q", 2), ("R", 2))
START_ARRAYS = (("x0", 1), ("P0", 2))
INVALID_POINT_CHOICES = ("raise", "-inf")


def start_arrays_given(init, x0, P0, invalid_point):
    """The (name, dimensions) of the start arrays the call passes, after the
    checks that do not wait for values."""
    if invalid_point not in INVALID_POINT_CHOICES:
        raise ValueError(f"invalid_point must be 'raise' or '-inf', not {invalid_point!r}")
    if invalid_point == "-inf" and init == "diffuse":
        raise ValueError("invalid_point='-inf' needs init='known' or 'stationary'")
    if init == "stationary" and P0 is not None:
        raise ValueError("init='stationary' solves for P0; do not pass one")
    if init == "known" and (x0 is None or P0 is None):
        raise ValueError("init='known' needs x0 and P0")
    given = dict(x0=x0, P0=P0)
    return [(name, ndim) for name, ndim in START_ARRAYS if given[name] is not None]


class FilterAtAPoint:
    """The data, the start arrays passed and the options; called with the
    arrays' values. Equal only to itself: y is an array."""

    def __init__(self, y, start_names, init, symmetrize, jitter, diffuse_states,
                 invalid_point):
        self.y = np.array(y, dtype=np.float64, order="C")
        self.y.setflags(write=False)
        self.start_names = tuple(start_names)
        self.options = dict(symmetrize=bool(symmetrize), jitter=float(jitter), init=init)
        if diffuse_states is not None:
            self.options["diffuse_states"] = np.array(diffuse_states, dtype=bool)
        self.invalid_point = invalid_point

    def gradient_fields(self):
        return [name for name, _ in MODEL_ARRAYS] + list(self.start_names)

    def _arguments(self, arrays):
        model, start = arrays[:len(MODEL_ARRAYS)], arrays[len(MODEL_ARRAYS):]
        return list(model) + [self.y], dict(zip(self.start_names, start), **self.options)

    def loglik(self, arrays):
        """The log-likelihood alone (kalman_filter's, the same bits)."""
        positional, keywords = self._arguments(arrays)
        try:
            return kalman_filter(*positional, store_history=False, **keywords).loglik
        except (ValueError, np.linalg.LinAlgError):
            if self.invalid_point == "raise" or not self._batch_reports_a_status(arrays):
                raise
        return -np.inf

    def loglik_and_gradient(self, arrays):
        """kalman_loglik_grad's result; with invalid_point='-inf', a point where
        the filter cannot run gives -inf and a zero gradient instead."""
        positional, keywords = self._arguments(arrays)
        try:
            return kalman_loglik_grad(*positional, **keywords)
        except (ValueError, np.linalg.LinAlgError):
            if self.invalid_point == "raise" or not self._batch_reports_a_status(arrays):
                raise
        zeros = {"d" + name: np.zeros_like(value)
                 for name, value in zip(self.gradient_fields(), arrays)}
        return SimpleNamespace(loglik=-np.inf, **zeros)

    def _batch_reports_a_status(self, arrays):
        """Whether the point lies outside the model's domain: the batch entry,
        which filters as the single entries do, reports a status for it (a
        covariance that is not positive definite, a stationary start with a
        root on or outside the unit circle) where those raise. Errors of the
        arguments themselves the batch raises as well; they propagate."""
        positional, keywords = self._arguments([np.asarray(value)[None] for value in arrays])
        keywords.pop("diffuse_states", None)
        return kalman_loglik_batch(*positional, **keywords).status[0] != 0
