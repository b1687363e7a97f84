"""ctypes access to the kernels and loops exported by the extension's shared
object, for tests that call the native code directly."""

import ctypes as ct
import glob
import os

import numpy as np

import Orvanta._ckernels.kalman as _kalman_pkg

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


class KfInputs(ct.Structure):
    _fields_ = [
        ("n", i64), ("m", i64), ("k", i64), ("T", i64),
        ("A", f64p), ("B", f64p), ("C", f64p), ("d", f64p), ("Q", f64p),
        ("R", f64p), ("y", f64p), ("x0", f64p), ("P0", f64p),
        ("symmetrize", ct.c_int), ("jitter", f64),
        ("return_shocks", ct.c_int), ("store_history", ct.c_int),
    ]


KF_HISTORY_FIELDS = ("x_pred", "x_filt", "P_pred", "P_filt", "y_pred", "y_filt",
                     "innov", "std_innov", "S", "eps_hat")


class KfOutputs(ct.Structure):
    _fields_ = [(name, f64p) for name in KF_HISTORY_FIELDS] + [("loglik", f64p)]


def _declare(name, restype, *argtypes):
    fn = getattr(lib, name)
    fn.restype = restype
    fn.argtypes = list(argtypes)
    return fn


# Part of the library that the tests call; each entry mirrors the C prototype.
orv_zero_mat = _declare("orv_zero_mat", None, f64p, i64, i64)
orv_sym_inplace = _declare("orv_sym_inplace", None, f64p, i64)
orv_matmul = _declare("orv_matmul", None, f64p, f64p, f64p, i64, i64, i64)
orv_matmul_atb = _declare("orv_matmul_atb", None, f64p, f64p, f64p, i64, i64, i64)
orv_matmul_abt = _declare("orv_matmul_abt", None, f64p, f64p, f64p, i64, i64, i64)
orv_matmul_abt_plus_c = _declare("orv_matmul_abt_plus_c", None, f64p, f64p, f64p, f64p,
                                 i64, i64, i64)
orv_matvec = _declare("orv_matvec", None, f64p, f64p, f64p, i64, i64)
orv_matvec_plus_vec = _declare("orv_matvec_plus_vec", None, f64p, f64p, f64p, f64p, i64, i64)
orv_vsub = _declare("orv_vsub", None, f64p, f64p, f64p, i64)
orv_dot = _declare("orv_dot", f64, f64p, f64p, i64)
orv_chol = _declare("orv_chol", ct.c_int, f64p, f64, f64p, i64)
orv_logdet_from_chol = _declare("orv_logdet_from_chol", f64, f64p, i64)
orv_forward_subst = _declare("orv_forward_subst", None, f64p, f64p, f64p, i64)
orv_backward_subst_chol_t = _declare("orv_backward_subst_chol_t", None, f64p, f64p, f64p, i64)

kf_row_minus_vec = _declare("kf_row_minus_vec", None, f64p, i64, f64p, f64p, i64)
kf_chol_solve_row = _declare("kf_chol_solve_row", None, f64p, f64p, i64, f64p, f64p, f64p, i64)
kf_predict_cov = _declare("kf_predict_cov", None, f64p, f64p, f64p, f64p, f64p, i64)
kf_measurement_cov = _declare("kf_measurement_cov", None, f64p, f64p, f64p, f64p, f64p, i64, i64)
kf_pc_t = _declare("kf_pc_t", None, f64p, f64p, f64p, i64, i64)
kf_gain_from_pc_t = _declare("kf_gain_from_pc_t", None, f64p, f64p, f64p, f64p, f64p, i64, i64)
kf_state_update = _declare("kf_state_update", None, f64p, f64p, f64p, f64p, i64, i64)
kf_identity_minus = _declare("kf_identity_minus", None, f64p, f64p, i64)
kf_joseph_cov = _declare("kf_joseph_cov", None, f64p, f64p, f64p, f64p, f64p, f64p, f64p,
                         f64p, f64p, i64, i64)
kf_build_bqbt = _declare("kf_build_bqbt", None, f64p, f64p, f64p, f64p, i64, i64)
kf_build_shock_projection = _declare("kf_build_shock_projection", None, f64p, f64p, f64p,
                                     f64p, f64p, i64, i64, i64)
kf_hot_loop = _declare("kf_hot_loop", ct.c_int, ct.POINTER(KfInputs), ct.POINTER(KfOutputs))


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
