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

import numpy as np
import pytensor.tensor as pt
from pytensor.gradient import grad_not_implemented
from pytensor.graph.basic import Apply
from pytensor.graph.op import Op
from pytensor.graph.rewriting.basic import node_rewriter
from pytensor.tensor.rewriting.basic import register_specialize

from Orvanta._loglik_point import MODEL_ARRAYS, FilterAtAPoint, start_arrays_given

__all__ = ["KalmanLoglik", "KalmanLoglikGrad", "kalman_loglik"]


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
        outputs[0][0] = np.asarray(self.settings.loglik(inputs))

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
        result = self.settings.loglik_and_gradient(inputs)
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
    start = start_arrays_given(init, x0, P0, invalid_point)
    given = dict(x0=x0, P0=P0)
    inputs = [_float64_of_dimension(value, name, ndim)
              for (name, ndim), value in zip(MODEL_ARRAYS, (A, B, C, d, Q, R))]
    inputs += [_float64_of_dimension(given[name], name, ndim) for name, ndim in start]
    settings = FilterAtAPoint(y, [name for name, _ in start], init, symmetrize, jitter,
                              diffuse_states, invalid_point)
    return KalmanLoglik(settings)(*inputs)
