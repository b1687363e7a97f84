"""Time of kf_loglik_grad (the log-likelihood and its gradient) against the
log-likelihood alone, at the sizes the gradient is judged at: T = 200,
random stable models with a full R, no gaps and a few. Prints, per size and
start, the median time of each and their ratio, and the ratio to the 2p + 1
filter calls of central differences over the p free entries.

    bash tools/env.sh python3 bench/loglik_grad.py [repeats]
"""

import ctypes as ct
import os
import sys
import time

import numpy as np

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path[:0] = [os.path.join(root, "tests"), os.environ.get("ORVANTA_PACKAGE_ROOT") or root]

from _grad_native import KfFilterInputs, KfGradOutputs, kf_loglik_grad  # noqa: E402
from _native import KfInputs, KfOutputs, lib, ptr  # noqa: E402
from Orvanta._ckernels.kalman._kalman import kalman_filter  # noqa: E402

kf_filter = lib.kf_filter
kf_filter.restype = ct.c_int


class KfFilterOutputs(ct.Structure):
    _fields_ = [("history", KfOutputs), ("loglik_t", ct.POINTER(ct.c_double)),
                ("nobs", ct.c_int64), ("diffuse_periods", ct.c_int64), ("where", ct.c_int64)]


def model(rng, n, m, k, T, gaps):
    A = 0.3 * rng.standard_normal((n, n)) / np.sqrt(n) + np.diag(rng.uniform(0.3, 0.8, n))
    A *= 0.95 / max(1.0, np.abs(np.linalg.eigvals(A)).max())
    G = rng.standard_normal((m, m))
    y = rng.standard_normal((T, m))
    if gaps:
        y[rng.random((T, m)) < 0.1] = np.nan
    return dict(A=A, B=rng.standard_normal((n, k)), C=rng.standard_normal((m, n)),
                d=rng.standard_normal(m), Q=np.eye(k), R=G @ G.T / m + np.eye(m), y=y,
                x0=np.zeros(n), P0=np.eye(n))


def median_time(fn, repeats):
    fn()
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return float(np.median(times))


def calls(mod, init):
    arrays = [np.ascontiguousarray(mod[name]) for name in ("A", "B", "C", "d", "Q", "R", "y",
                                                            "x0", "P0")]
    n, k, m, T = mod["A"].shape[0], mod["B"].shape[1], mod["C"].shape[0], mod["y"].shape[0]
    if init == "stationary":
        arrays[-1] = None
    inputs = KfFilterInputs(KfInputs(n, m, k, T, *[ptr(a) for a in arrays], 1, 0.0, 0, 0),
                            {"known": 0, "stationary": 1}[init], None)
    loglik, loglik_t = np.zeros(1), np.zeros(T)
    fout = KfFilterOutputs(KfOutputs(*([None] * 10), ptr(loglik)), ptr(loglik_t), 0, 0, -1)
    grads = [np.zeros(s) for s in ((n, n), (n, k), (m, n), m, (k, k), (m, m), n, (n, n))]
    gout = KfGradOutputs(0.0, *[ptr(g) for g in grads], -1)
    P0 = None if init == "stationary" else mod["P0"]
    entry = lambda: kalman_filter(mod["A"], mod["B"], mod["C"], mod["d"], mod["Q"], mod["R"],
                                  mod["y"], mod["x0"], P0, store_history=False, init=init)
    kept = (arrays, loglik, loglik_t, grads)  # the records point into these

    def filt(kept=kept):
        return kf_filter(ct.byref(inputs), ct.byref(fout))

    def grad(kept=kept):
        return kf_loglik_grad(ct.byref(inputs), ct.byref(gout))

    return filt, entry, grad


def main():
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 200
    rng = np.random.default_rng(1)
    print(f"{'(n,m,k)':>12} {'start':>10} {'gaps':>5} {'kf_filter':>10} {'entry':>10} "
          f"{'grad':>10} {'grad/filter':>11} {'grad/entry':>10} {'FD/grad':>8}")
    for n, m, k in [(10, 3, 3), (20, 5, 5), (40, 8, 8)]:
        free = n * n + n * k + m * n + m + k * (k + 1) // 2 + m * (m + 1) // 2 + n
        for init in ("known", "stationary"):
            for gaps in (False, True):
                mod = model(rng, n, m, k, 200, gaps)
                filt, entry, grad = calls(mod, init)
                p = free + (n * (n + 1) // 2 if init == "known" else 0)
                tf, te, tg = (median_time(f, repeats) for f in (filt, entry, grad))
                print(f"{str((n, m, k)):>12} {init:>10} {str(gaps):>5} {tf * 1e6:9.0f}u "
                      f"{te * 1e6:9.0f}u {tg * 1e6:9.0f}u {tg / tf:11.2f} {tg / te:10.2f} "
                      f"{(2 * p + 1) * te / tg:8.0f}")


if __name__ == "__main__":
    main()
