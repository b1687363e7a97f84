"""The linear Kalman filter's log-likelihood as a PyTensor graph node, so that
PyMC samples state-space models with NUTS through the native filter and its
exact gradient (``kalman_loglik_grad``).

    import pytensor.tensor as pt
    from Orvanta.kalman_pytensor import kalman_loglik

    loglik = kalman_loglik(A, B, C, d, Q, R, y, init="stationary")
    pm.Potential("likelihood", loglik)

A, B, C, d, Q, R (and x0, P0 where the start reads them) are PyTensor
expressions of the model's parameters; y is data, a constant of the graph.
The map from the parameters to the matrices is the model's own PyTensor code,
so PyTensor applies the chain rule from the gradient in the matrices.

Importing this module imports PyTensor; ``Orvanta.kalman`` never does.
"""

from types import SimpleNamespace

import numpy as np
import pytensor.tensor as pt
from pytensor.gradient import grad_not_implemented
from pytensor.graph.basic import Apply
from pytensor.graph.op import Op
from pytensor.graph.rewriting.basic import node_rewriter
from pytensor.tensor.rewriting.basic import register_specialize

from Orvanta.kalman import kalman_loglik_batch, kalman_loglik_grad

__all__ = ["KalmanLoglik", "KalmanLoglikGrad", "kalman_loglik"]

# The model arrays in the order of kalman_loglik_grad's arguments, with their
# dimensions; x0 and P0 take part only where the caller gives them.
MODEL_ARRAYS = (("A", 2), ("B", 2), ("C", 2), ("d", 1), ("Q", 2), ("R", 2))
START_ARRAYS = (("x0", 1), ("P0", 2))


class _FilterSettings:
    """What both Ops share: the data and the filter's options. Two Ops are
    equal only when they are the same object, since y is an array (an Op's
    equality decides which nodes PyTensor merges)."""

    def __init__(self, y, start_names, init, symmetrize, jitter, diffuse_states,
                 invalid_point):
        self.y = np.array(y, dtype=np.float64, order="C")
        self.y.setflags(write=False)
        self.start_names = tuple(start_names)
        self.options = dict(symmetrize=bool(symmetrize), jitter=float(jitter), init=init)
        if diffuse_states is not None:
            self.options["diffuse_states"] = np.array(diffuse_states, dtype=bool)
        self.invalid_point = invalid_point

    def call_native(self, inputs):
        """kalman_loglik_grad's result; with invalid_point='-inf', a point where
        the filter cannot run gives -inf and a zero gradient instead."""
        model, start = inputs[:len(MODEL_ARRAYS)], inputs[len(MODEL_ARRAYS):]
        keywords = dict(zip(self.start_names, start), **self.options)
        try:
            return kalman_loglik_grad(*model, self.y, **keywords)
        except (ValueError, np.linalg.LinAlgError):
            if self.invalid_point == "raise" or not self._batch_reports_a_status(inputs):
                raise
        zeros = {"d" + name: np.zeros_like(value)
                 for name, value in zip(self.gradient_fields(), inputs)}
        return SimpleNamespace(loglik=-np.inf, **zeros)

    def _batch_reports_a_status(self, inputs):
        """Whether the point lies outside the model's domain: the batch entry,
        which filters as kalman_loglik_grad does, reports a status for it (a
        covariance that is not positive definite, a stationary start with a
        root on or outside the unit circle) where the single entries raise.
        Errors of the arguments themselves the batch raises as well; they
        propagate."""
        model, start = inputs[:len(MODEL_ARRAYS)], inputs[len(MODEL_ARRAYS):]
        arrays = [value[None] for value in model] + [value[None] for value in start]
        keywords = dict(zip(self.start_names, arrays[len(MODEL_ARRAYS):]),
                        symmetrize=self.options["symmetrize"], jitter=self.options["jitter"],
                        init=self.options["init"])
        return kalman_loglik_batch(*arrays[:len(MODEL_ARRAYS)], self.y, **keywords).status[0] != 0

    def gradient_fields(self):
        return [name for name, _ in MODEL_ARRAYS] + list(self.start_names)


class KalmanLoglik(Op):
    """The log-likelihood (a float64 scalar) of the model arrays given as inputs.
    Its gradient is the node of KalmanLoglikGrad on the same inputs; where a
    graph holds both, the specialisation rewrite below reads the value from
    that node, so a value and its gradient cost one native call."""

    def __init__(self, settings):
        self.settings = settings

    def make_node(self, *inputs):
        return Apply(self, list(inputs), [pt.dscalar()])

    def perform(self, node, inputs, outputs):
        outputs[0][0] = np.asarray(self.settings.call_native(inputs).loglik)

    def pullback(self, inputs, outputs, output_grads):
        gradients = KalmanLoglikGrad(self.settings)(*inputs)[1:]
        return [output_grads[0] * gradient for gradient in gradients]


class KalmanLoglikGrad(Op):
    """The log-likelihood and its gradient in each input, from one call of
    kalman_loglik_grad. For Q, R and P0 the gradient is the symmetric one: right
    for every symmetric change, which is all a graph that builds them symmetric
    (diagonal, L @ L.T, ...) can make."""

    def __init__(self, settings):
        self.settings = settings

    def make_node(self, *inputs):
        outputs = [pt.dscalar()] + [variable.type() for variable in inputs]
        return Apply(self, list(inputs), outputs)

    def perform(self, node, inputs, outputs):
        result = self.settings.call_native(inputs)
        outputs[0][0] = np.asarray(result.loglik)
        for slot, name in zip(outputs[1:], self.settings.gradient_fields()):
            slot[0] = getattr(result, "d" + name)

    def pullback(self, inputs, outputs, output_grads):
        return [grad_not_implemented(self, position, variable,
                                     "the filter's second derivatives are not computed")
                for position, variable in enumerate(inputs)]


@register_specialize
@node_rewriter([KalmanLoglik])
def loglik_from_the_gradient_pass(fgraph, node):
    """Where the graph also computes the gradient on the same inputs (as NUTS
    does at every step), the value is that node's first output, whose bits are
    kalman_filter's: one native call instead of two."""
    for client, _ in fgraph.clients[node.inputs[0]]:
        if (isinstance(client.op, KalmanLoglikGrad) and client.op.settings is node.op.settings
                and all(a is b for a, b in zip(client.inputs, node.inputs))):
            return [client.outputs[0]]
    return None


def _float64_of_dimension(value, name, ndim):
    variable = pt.as_tensor_variable(value)
    if variable.ndim != ndim:
        raise ValueError(f"{name} must have {ndim} dimension(s), not {variable.ndim}")
    return pt.cast(variable, "float64")


def kalman_loglik(A, B, C, d, Q, R, y, x0=None, P0=None, symmetrize=True, jitter=0.0, *,
                  init="known", diffuse_states=None, invalid_point="raise"):
    """The log-likelihood of ``kalman_filter`` (same arguments and meaning) as a
    scalar PyTensor expression of A, B, C, d, Q, R and of x0, P0 when given;
    y and the options are constants. Differentiable once, with the gradient of
    ``kalman_loglik_grad``. Build Q, R and P0 symmetric in the graph: their
    gradient is the symmetric one.

    invalid_point: "raise" raises the native call's errors when the graph runs,
    as kalman_loglik_grad raises them. "-inf" (for a sampler, whose proposals
    may leave the model's domain) gives -inf and a zero gradient at a point
    where kalman_loglik_batch would report a status (see *Statuses and
    exceptions*: an innovation covariance that is not positive definite, a
    stationary start from a root on or outside the unit circle); other errors
    still raise. Not with init="diffuse", which the batch does not run."""
    if invalid_point not in ("raise", "-inf"):
        raise ValueError(f"invalid_point must be 'raise' or '-inf', not {invalid_point!r}")
    if invalid_point == "-inf" and init == "diffuse":
        raise ValueError("invalid_point='-inf' needs init='known' or 'stationary'")
    if init == "stationary" and P0 is not None:
        raise ValueError("init='stationary' solves for P0; do not pass one")
    if init == "known" and (x0 is None or P0 is None):
        raise ValueError("init='known' needs x0 and P0")
    given = dict(x0=x0, P0=P0)
    start = [(name, ndim) for name, ndim in START_ARRAYS if given[name] is not None]
    inputs = [_float64_of_dimension(value, name, ndim)
              for (name, ndim), value in zip(MODEL_ARRAYS, (A, B, C, d, Q, R))]
    inputs += [_float64_of_dimension(given[name], name, ndim) for name, ndim in start]
    settings = _FilterSettings(y, [name for name, _ in start], init, symmetrize, jitter,
                               diffuse_states, invalid_point)
    return KalmanLoglik(settings)(*inputs)
