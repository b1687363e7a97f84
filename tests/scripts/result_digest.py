"""Prints a digest of the exact bits that the entries return for a few fixed
models, so that two builds of the extension can be compared from outside."""

import hashlib

import numpy as np
from numba import cfunc

from Orvanta._ckernels.kalman._kalman import (kalman_filter, kalman_hot_loop,
                                              kalman_loglik_batch, kalman_smoother,
                                              ukf_hot_loop)


@cfunc("void(CPointer(float64), CPointer(float64), CPointer(float64))")
def measure(v, p, out):
    out[0] = v[0] + 0.5 * v[1] * v[1]
    out[1] = v[2] - 0.25 * v[0] * v[3]


def linear_model(rng, n, m, k, T):
    A = rng.normal(size=(n, n))
    A *= 0.9 / max(abs(np.linalg.eigvals(A)))
    return (T, (n, m, k), A, rng.normal(size=(n, k)), rng.normal(size=(m, n)),
            rng.normal(size=m), np.eye(k), np.eye(m), rng.normal(size=(T, m)),
            np.zeros(n), np.eye(n), True, 1e-9, True, True)


def pruned_model(rng, ns, nc, ne, T, z0=None):
    hx = rng.normal(size=(ns, ns))
    hx *= 0.8 / max(abs(np.linalg.eigvals(hx)))
    return (measure.address, hx, 0.3 * rng.normal(size=(nc, ns)),
            0.2 * rng.normal(size=(ns, ne)), 0.01 * rng.normal(size=(ns, ns, ns)),
            0.01 * rng.normal(size=(nc, ns, ns)), 0.01 * rng.normal(size=ns),
            0.01 * rng.normal(size=nc), np.ones(ns + nc), None, np.eye(ne),
            0.1 * np.eye(2), rng.normal(size=(T, 2)),
            np.zeros(2 * ns) if z0 is None else z0, 0.1 * np.eye(2 * ns), 1.0, 2.0, 0.0, 0.0)


def main():
    rng = np.random.default_rng(2026)
    digest = hashlib.sha256()
    for n, m, k in [(1, 1, 1), (3, 2, 1), (4, 2, 2), (6, 3, 2), (8, 4, 3), (19, 9, 3),
                    (40, 8, 8)]:
        out = kalman_hot_loop(*linear_model(rng, n, m, k, 12))[2]
        for a in out[:-1]:
            digest.update(a.tobytes())
        digest.update(np.float64(out[-1]).tobytes())
    # ns = 10 spans several vector tiles of sigma points, and its start holds
    # -0.0 where the sigma points stepping along the x2 columns hold +0.0.
    signed_zero_start = np.zeros(20)
    signed_zero_start[[1, 4]] = -0.0
    for ns, nc, z0 in [(2, 2, None), (3, 2, None), (4, 2, None), (5, 2, None),
                       (10, 9, signed_zero_start)]:
        out = ukf_hot_loop(*pruned_model(rng, ns, nc, 1, 12, z0))[2]
        for a in out[:-1]:
            digest.update(a.tobytes())
        digest.update(np.float64(out[-1]).tobytes())
    # kalman_filter on data with gaps (whole rows, single entries, a series
    # held back at the end), under each start; R is not diagonal, so the
    # diffuse periods transform their entries.
    rng = np.random.default_rng(2027)
    for n, m, k in [(1, 1, 1), (3, 2, 2), (5, 3, 2), (8, 4, 3), (12, 6, 4)]:
        (_, _, A, B, C, d, Q, _, y, x0, P0, *_) = linear_model(rng, n, m, k, 30)
        G = rng.normal(size=(m, m))
        R = G @ G.T / m + 0.5 * np.eye(m)
        y[rng.random(y.shape) < 0.2] = np.nan
        y[[0, 7]] = np.nan
        y[-4:, -1] = np.nan
        for kw in (dict(x0=x0, P0=P0), dict(init="stationary"),
                   dict(init="diffuse", diffuse_states=np.arange(n) % 2 == 0, P0=P0)):
            result = kalman_filter(A, B, C, d, Q, R, y, jitter=1e-9, return_shocks=True, **kw)
            digest.update(np.float64(result.loglik).tobytes())
            digest.update(np.array([result.nobs, result.diffuse_periods]).tobytes())
            for a in result[1:2] + result[4:]:
                digest.update(a.tobytes())
            # the smoother's own fields (the first 14 are kalman_filter's)
            smoothed = kalman_smoother(A, B, C, d, Q, R, y, jitter=1e-9, **kw)
            for a in smoothed[14:]:
                if a is not None:
                    digest.update(a.tobytes())
    # kalman_loglik_batch: 21 draws (blocks of 2, 4 or 8 and a partial one),
    # their own A, R and y, gaps shared by most and one draw's own, a draw
    # that is not positive definite and one whose A is not stable.
    rng = np.random.default_rng(2028)
    for n, m, k in [(3, 2, 2), (12, 5, 3)]:
        models = [linear_model(rng, n, m, k, 25) for _ in range(21)]
        A = np.stack([mdl[2] for mdl in models])
        R = np.stack([np.eye(m) * (1.0 + 0.1 * i) for i in range(21)])
        y = np.stack([mdl[8] for mdl in models])
        y[:, 3, 0] = y[:, 9] = y[5, 12, 1] = np.nan
        R[7] = -10.0 * np.eye(m)
        A[11] = 1.2 * np.eye(n)
        _, _, _, B, C, d, Q, _, _, x0, P0, *_ = models[0]
        for kw in (dict(x0=x0, P0=P0), dict(init="stationary")):
            result = kalman_loglik_batch(A, B, C, d, Q, R, y, jitter=1e-9, threads=2, **kw)
            digest.update(result.loglik.tobytes())
            digest.update(result.status.tobytes())
    print(digest.hexdigest())


if __name__ == "__main__":
    main()
