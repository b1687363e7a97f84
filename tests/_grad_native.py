"""ctypes access to kf_loglik_grad, the native gradient of kf_filter's
log-likelihood, beside the declarations of tests/_native.py."""

import ctypes as ct

import numpy as np

from _native import KfInputs, f64p, i64, lib, ptr

INITS = {"known": 0, "stationary": 1, "diffuse": 2}
GRAD_FIELDS = ("dA", "dB", "dC", "dd", "dQ", "dR", "dx0", "dP0")


class KfFilterInputs(ct.Structure):
    _fields_ = [("model", KfInputs), ("init", ct.c_int), ("diffuse", f64p),
                ("steady_state_tol", ct.c_double)]


class KfGradOutputs(ct.Structure):
    _fields_ = ([("loglik", ct.c_double)] + [(name, f64p) for name in GRAD_FIELDS]
                + [("where", i64)])


kf_loglik_grad = lib.kf_loglik_grad
kf_loglik_grad.restype = ct.c_int
kf_loglik_grad.argtypes = [ct.POINTER(KfFilterInputs), ct.POINTER(KfGradOutputs)]


def loglik_grad(A, B, C, d, Q, R, y, x0=None, P0=None, symmetrize=True, jitter=0.0,
                init="known", diffuse_states=None, T=None):
    """Runs kf_loglik_grad; returns (status, loglik, grads) with grads a dict
    of the eight gradient arrays, shaped as their model arrays (dP0 NaN
    where it is not written). diffuse_states is the diagonal of P_inf (None:
    ones); T overrides the number of periods passed."""
    arrays = [None if a is None else np.ascontiguousarray(a, dtype=np.float64)
              for a in (A, B, C, d, Q, R, y, x0, P0)]
    A, B, C, d, Q, R, y, x0, P0 = arrays
    n, k, m = A.shape[0], B.shape[1], C.shape[0]
    periods = y.shape[0] if T is None else T
    model = KfInputs(n, m, k, periods, *[ptr(a) for a in arrays], int(symmetrize), jitter,
                     0, 0)
    diffuse = None if diffuse_states is None else np.ascontiguousarray(diffuse_states, float)
    inputs = KfFilterInputs(model, INITS.get(init, init), ptr(diffuse))
    shapes = {"dA": (n, n), "dB": (n, k), "dC": (m, n), "dd": (m,), "dQ": (k, k),
              "dR": (m, m), "dx0": (n,), "dP0": (n, n)}
    grads = {name: np.full(shape, np.nan) for name, shape in shapes.items()}
    out = KfGradOutputs(np.nan, *[ptr(grads[name]) for name in GRAD_FIELDS], -1)
    status = kf_loglik_grad(ct.byref(inputs), ct.byref(out))
    return status, out.loglik, grads
