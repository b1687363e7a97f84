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


# ---- unscented filter -------------------------------------------------------

class UkfInputs(ct.Structure):
    _fields_ = [
        ("meas", ct.c_void_p),
        ("hx", f64p), ("gx", f64p), ("bx", f64p), ("hxx", f64p), ("gxx", f64p),
        ("hss", f64p), ("gss", f64p), ("steady_state", f64p), ("params", f64p),
        ("Q", f64p), ("R", f64p), ("obs", f64p), ("z0", f64p), ("P0", f64p),
        ("T", i64), ("n_state", i64), ("n_ctrl", i64), ("n_exog", i64),
        ("n_obs", i64), ("n_params", i64),
        ("alpha", f64), ("beta", f64), ("kappa", f64), ("jitter", f64),
        ("symmetrize", ct.c_int), ("store_history", ct.c_int),
    ]


UKF_HISTORY_FIELDS = ("x1_pred", "x2_pred", "x1_filt", "x2_filt", "x_pred", "x_filt",
                      "P_pred", "P_filt", "y_pred", "y_filt", "innov", "std_innov", "S")


class UkfOutputs(ct.Structure):
    _fields_ = [(name, f64p) for name in UKF_HISTORY_FIELDS] + [("loglik", f64p)]


# The measurement callback type, for callers that want to build one with ctypes.
MEAS_FN = ct.CFUNCTYPE(None, ct.c_void_p, ct.c_void_p, ct.c_void_p)

ukf_hot_loop = _declare("ukf_hot_loop", i64, ct.POINTER(UkfInputs), ct.POINTER(UkfOutputs))


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


class F64Lu(ct.Structure):
    _fields_ = [("lu", f64p), ("piv", i64p), ("n", i64), ("err", i64)]


class C128(ct.Structure):
    _fields_ = [("re", f64), ("im", f64)]


c128p = ct.POINTER(C128)


class C128Lu(ct.Structure):
    _fields_ = [("lu", c128p), ("piv", i64p), ("n", i64), ("err", i64)]


orv_lu_factor_inplace = _declare("orv_lu_factor_inplace", i64, f64p, i64p, i64)
orv_lu_factor = _declare("orv_lu_factor", F64Lu, f64p, i64)
orv_lu_free = _declare("orv_lu_free", None, ct.POINTER(F64Lu))
orv_lu_solve = _declare("orv_lu_solve", None, f64p, i64p, f64p, f64p, i64, i64)
orv_solve = _declare("orv_solve", i64, f64p, f64p, i64, i64, f64p)
orv_inv = _declare("orv_inv", i64, f64p, i64, f64p)
orv_gram = _declare("orv_gram", None, f64p, f64p, i64, i64)
orv_gram_rhs = _declare("orv_gram_rhs", None, f64p, f64p, f64p, i64, i64)
orv_chol_solve = _declare("orv_chol_solve", ct.c_int, f64p, f64p, f64p, f64p, i64)
orv_chol_inv = _declare("orv_chol_inv", ct.c_int, f64p, f64p, f64p, i64)
orv_sort_f64 = _declare("orv_sort_f64", None, f64p, i64)
orv_median_f64 = _declare("orv_median_f64", f64, f64p, i64)

c128_matmul = _declare("c128_matmul", None, c128p, c128p, i64, i64, i64, c128p)
c128_lu_factor_inplace = _declare("c128_lu_factor_inplace", i64, c128p, i64p, i64)
c128_lu_factor = _declare("c128_lu_factor", C128Lu, c128p, i64)
c128_lu_free = _declare("c128_lu_free", None, ct.POINTER(C128Lu))
c128_lu_solve = _declare("c128_lu_solve", None, c128p, i64p, c128p, c128p, i64, i64)
c128_solve = _declare("c128_solve", i64, c128p, c128p, i64, i64, c128p)
c128_inv = _declare("c128_inv", i64, c128p, i64, c128p)


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
