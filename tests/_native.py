"""ctypes access to the kernels and loops exported by the extension's shared
object, for tests that call the native code directly: every function, record
and callback type as the exported headers declare it (_c_header.py)."""

import ctypes as ct
import glob
import os

import numpy as np

import Orvanta._ckernels.kalman as _kalman_pkg
from _c_header import Interface

f64p = ct.POINTER(ct.c_double)
i64 = ct.c_int64
f64 = ct.c_double


def shared_object_path():
    folder = os.path.dirname(_kalman_pkg.__file__)
    found = glob.glob(os.path.join(folder, "_kalman*.so"))
    if len(found) != 1:
        raise RuntimeError(f"expected one built _kalman shared object in {folder}, found {found}")
    return found[0]


lib = ct.CDLL(shared_object_path())

# The declarations of the exported headers, every exported function bound
# with its declared signature under its own name in this module.
interface = Interface()
globals().update(interface.bind(lib))

KfInputs = interface.structs["kf_inputs"]
KfOutputs = interface.structs["kf_outputs"]
# every pointer of kf_outputs but loglik, in the record's order
KF_HISTORY_FIELDS = tuple(name for name, _ in KfOutputs._fields_ if name != "loglik")


def ptr(array):
    """Pointer to the data of a C-contiguous float64 array (None for None)."""
    if array is None:
        return None
    assert array.dtype == np.float64 and array.flags.c_contiguous
    return array.ctypes.data_as(f64p)


def run_kf(n, m, k, T, A, B, C, d, Q, R, y, x0, P0, symmetrize=1, jitter=0.0,
           return_shocks=0, store_history=1, fill=np.nan):
    """Runs kf_hot_loop on fresh output arrays pre-filled with `fill`.

    Returns (status, loglik, outputs) with outputs a dict of the ten history
    arrays (each with the full T rows, whether written or not)."""
    arrays = [np.ascontiguousarray(a, dtype=np.float64) if a is not None else None
              for a in (A, B, C, d, Q, R, y, x0, P0)]
    inputs = KfInputs(n, m, k, T, *[ptr(a) for a in arrays], symmetrize, jitter,
                      return_shocks, store_history)
    rows = max(T, 0)
    shapes = {"x_pred": (rows, n), "x_filt": (rows, n), "P_pred": (rows, n, n),
              "P_filt": (rows, n, n), "y_pred": (rows, m), "y_filt": (rows, m),
              "innov": (rows, m), "std_innov": (rows, m), "S": (rows, m, m),
              "eps_hat": (rows, k)}
    outputs = {name: np.full(shapes[name], fill) for name in KF_HISTORY_FIELDS}
    loglik = np.array([fill])
    record = KfOutputs(*[ptr(outputs[name]) for name in KF_HISTORY_FIELDS], ptr(loglik))
    status = kf_hot_loop(ct.byref(inputs), ct.byref(record))
    return status, loglik[0], outputs


# ---- unscented filter -------------------------------------------------------

UkfInputs = interface.structs["ukf_inputs"]
UkfOutputs = interface.structs["ukf_outputs"]
UKF_HISTORY_FIELDS = tuple(name for name, _ in UkfOutputs._fields_ if name != "loglik")

# The measurement callback type, for callers that want to build one with
# ctypes; its pointers arrive as addresses.
MEAS_FN = interface.callback_type("meas_fn")


def meas_address(meas):
    """Address of a measurement function given as an integer, a numba cfunc,
    a ctypes function object or None (null)."""
    if meas is None or isinstance(meas, int):
        return meas
    if hasattr(meas, "address"):
        return meas.address
    return ct.cast(meas, ct.c_void_p).value


def ukf_history_shapes(T, ns, nc, no):
    nz, nv, rows = 2 * ns, ns + nc, max(T, 0)
    return {"x1_pred": (rows, ns), "x2_pred": (rows, ns), "x1_filt": (rows, ns),
            "x2_filt": (rows, ns), "x_pred": (rows, nv), "x_filt": (rows, nv),
            "P_pred": (rows, nz, nz), "P_filt": (rows, nz, nz), "y_pred": (rows, no),
            "y_filt": (rows, no), "innov": (rows, no), "std_innov": (rows, no),
            "S": (rows, no, no)}


def run_ukf(meas, hx, gx, bx, hxx, gxx, hss, gss, steady_state, params, Q, R, obs, z0, P0,
            alpha=1.0, beta=2.0, kappa=0.0, jitter=0.0, symmetrize=1, store_history=1,
            fill=np.nan, null_history=False, **dims):
    """Runs ukf_hot_loop on fresh output arrays pre-filled with `fill`.

    Array arguments may be None (passed as null). The dimensions are taken
    from the arrays (ns from z0, nc from gx, ne from Q, no from R, T from obs)
    and the outputs are allocated for them; keyword arguments T, n_state,
    n_ctrl, n_exog, n_obs and n_params override what the record receives
    without changing the allocation. With null_history the history pointers
    are null. Returns (status, loglik, outputs) with outputs a dict of the
    thirteen history arrays."""
    arrays = [np.ascontiguousarray(a, dtype=np.float64) if a is not None else None
              for a in (hx, gx, bx, hxx, gxx, hss, gss, steady_state, params, Q, R, obs,
                        z0, P0)]
    (hx, gx, bx, hxx, gxx, hss, gss, steady_state, params, Q, R, obs, z0, P0) = arrays
    ns = len(z0) // 2 if z0 is not None else (hx.shape[0] if hx is not None else 0)
    nc = gx.shape[0] if gx is not None else 0
    ne = Q.shape[0] if Q is not None else 0
    no = R.shape[0] if R is not None else 0
    T = obs.shape[0] if obs is not None else 0
    n_params = params.size if params is not None else 0
    record_dims = {"T": T, "n_state": ns, "n_ctrl": nc, "n_exog": ne, "n_obs": no,
                   "n_params": n_params}
    unknown = set(dims) - set(record_dims)
    if unknown:
        raise TypeError(f"unknown dimension overrides {sorted(unknown)}")
    record_dims.update(dims)
    inputs = UkfInputs(meas_address(meas), *[ptr(a) for a in arrays],
                       *[record_dims[name] for name in ("T", "n_state", "n_ctrl", "n_exog",
                                                        "n_obs", "n_params")],
                       alpha, beta, kappa, jitter, symmetrize, store_history)
    shapes = ukf_history_shapes(T, ns, nc, no)
    outputs = {name: np.full(shapes[name], fill) for name in UKF_HISTORY_FIELDS}
    loglik = np.array([fill])
    record = UkfOutputs(*[None if null_history else ptr(outputs[name])
                          for name in UKF_HISTORY_FIELDS], ptr(loglik))
    status = ukf_hot_loop(ct.byref(inputs), ct.byref(record))
    return status, loglik[0], outputs


# ---- LU, complex kernels, normal equations and order statistics --------------

i64p = ct.POINTER(ct.c_int64)
F64Lu = interface.structs["f64_lu"]
C128 = interface.structs["c128"]
C128Lu = interface.structs["c128_lu"]
c128p = ct.POINTER(C128)


def iptr(array):
    """Pointer to the data of a C-contiguous int64 array (None for None)."""
    if array is None:
        return None
    assert array.dtype == np.int64 and array.flags.c_contiguous
    return array.ctypes.data_as(i64p)


def cptr(array):
    """Pointer to the data of a C-contiguous complex128 array, whose layout is
    that of c128 (None for None)."""
    if array is None:
        return None
    assert array.dtype == np.complex128 and array.flags.c_contiguous
    return array.ctypes.data_as(c128p)
