"""The likelihood at many parameter draws, spread over Dask workers.

A Bayesian sampler spends its time evaluating the likelihood at large sets of
parameter draws: the prior sample that starts a sequential Monte Carlo (SMC)
sampler, the particles of each tempering stage. Here the model is the dynamic
factor model of US growth and inflation from examples/demo.py (its arrays are
built by demo.state_space), on examples/data/us_macro.csv with the ragged edge
of the demo. The script draws parameters from a prior, evaluates the
log-likelihood of every draw with `kalman_loglik_batch` (stationary start,
missing values skipped), and times it three ways:

- serially, one call over all draws;
- with `threads=2`, the same call on two threads;
- on a Dask cluster, in chunks of draws, one `kalman_loglik_batch` call per
  task: a LocalCluster of worker processes on this machine by default, or
  the scheduler at the address given with --scheduler.

Every result must be bit-identical to the serial run (the script exits with
status 1 otherwise). It ends with the first stage of an adaptively tempered
SMC sampler: the tempering exponent at which the draws keep half their
effective sample size.

    bash tools/env.sh python3 examples/scale_out.py [--draws N] [--chunk K]
        [--workers W] [--scheduler tcp://HOST:8786] [--repeats R] [--seed S]

Workers of a remote cluster need the Orvanta package importable; they do not
need this script or demo.py (the client builds the model arrays and sends
them with the tasks).
"""

import argparse
import math
import os
import sys
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
try:
    from Orvanta.kalman import kalman_loglik_batch
except ImportError:  # run from a checkout with the in-place build
    sys.path.insert(0, ROOT)
    from Orvanta.kalman import kalman_loglik_batch
sys.path.insert(0, HERE)
from demo import NAMES, load_us_macro, ragged_edge, state_space  # noqa: E402

# Arrays that differ from draw to draw: they carry the leading batch extent.
# B is the identity in every draw and goes along once, as y does.
PER_DRAW = ("A", "C", "d", "Q", "R")


# ---------------------------------------------------------------------------
# Draws and their model arrays
# ---------------------------------------------------------------------------

def prior_draws(y, count, rng):
    """Parameter vectors (count, 11) in the demo's unconstrained coordinates
    (see demo.unpack): means around the sample means, AR coefficients around
    0.5 and 0.8, loading around 1, log standard deviations around those of
    half the data's spread."""
    sd = np.nanstd(y, axis=0)
    centre = np.concatenate([np.nanmean(y, axis=0), np.arctanh([0.5, 0.8]), [1.0],
                             np.log([sd[0] / 2, sd[2] / 2]), np.log(sd / 2)])
    spread = np.array([1.0, 1.0, 1.0, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5])
    assert centre.size == spread.size == len(NAMES)
    return centre + spread * rng.standard_normal((count, centre.size))


def model_batch(thetas):
    """The demo's arrays for every draw, stacked along a leading extent; B
    once, unstacked."""
    models = [state_space(theta) for theta in thetas]
    stacked = {name: np.stack([m[i] for m in models])
               for i, name in enumerate(("A", "B", "C", "d", "Q", "R"))}
    batch = {name: stacked[name] for name in PER_DRAW}
    batch["B"] = np.ascontiguousarray(stacked["B"][0])
    assert (stacked["B"] == batch["B"]).all()
    return batch


def chunk_of(batch, start, stop):
    return {name: (batch[name][start:stop] if name in PER_DRAW else batch[name])
            for name in batch}


# ---------------------------------------------------------------------------
# What one task runs
# ---------------------------------------------------------------------------

def loglik_chunk(batch, y, threads=1):
    """Log-likelihood and status of every draw in the batch. On a cluster this
    runs in the worker: it needs nothing there but NumPy and Orvanta."""
    result = kalman_loglik_batch(batch["A"], batch["B"], batch["C"], batch["d"], batch["Q"],
                                 batch["R"], y, init="stationary", threads=threads)
    return np.asarray(result.loglik), np.asarray(result.status)


def on_cluster(client, batch, y, chunk):
    """The draws in chunks of `chunk`, one task each; the results in draw order."""
    count = len(batch["A"])
    shared_y = client.scatter(y, broadcast=True)
    futures = [client.submit(loglik_chunk, chunk_of(batch, start, start + chunk), shared_y,
                             pure=False)
               for start in range(0, count, chunk)]
    parts = client.gather(futures)
    return (np.concatenate([loglik for loglik, _ in parts]),
            np.concatenate([status for _, status in parts]))


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and a.dtype == b.dtype and a.tobytes() == b.tobytes()


# ---------------------------------------------------------------------------
# One tempering stage
# ---------------------------------------------------------------------------

def next_temperature(loglik, target_ess):
    """The exponent phi in (0, 1] at which the weights exp(phi * loglik) of
    the draws keep an effective sample size of target_ess (1 if even the full
    likelihood keeps more), by bisection; failed draws weigh nothing."""
    finite = loglik[np.isfinite(loglik)]

    def ess(phi):
        w = np.exp(phi * (finite - finite.max()))
        return w.sum() ** 2 / (w * w).sum()

    if ess(1.0) >= target_ess:
        return 1.0, ess(1.0)
    low, high = 0.0, 1.0
    for _ in range(60):
        mid = 0.5 * (low + high)
        low, high = (mid, high) if ess(mid) >= target_ess else (low, mid)
    return low, ess(low)


# ---------------------------------------------------------------------------

def connect(scheduler, workers):
    """A client of the scheduler at that address, or of a new LocalCluster of
    `workers` single-threaded worker processes on the loopback interface."""
    from distributed import Client, LocalCluster

    if scheduler:
        client = Client(scheduler, timeout=30)
        client.wait_for_workers(1, timeout=60)
        return client, None
    cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                           host="127.0.0.1", dashboard_address=None)
    return Client(cluster, timeout=30), cluster


def parse(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--draws", type=int, default=40000, help="parameter draws")
    parser.add_argument("--chunk", type=int, default=2000, help="draws per cluster task")
    parser.add_argument("--workers", type=int, default=2,
                        help="worker processes of the LocalCluster")
    parser.add_argument("--scheduler", default=None,
                        help="address of a running Dask scheduler, e.g. tcp://host:8786")
    parser.add_argument("--repeats", type=int, default=3,
                        help="rounds of the three timings (medians are printed)")
    parser.add_argument("--seed", type=int, default=2024)
    return parser.parse_args(argv)


def main(argv=None):
    args = parse(argv)
    _, span, released = load_us_macro()
    y = ragged_edge(released)
    thetas = prior_draws(y, args.draws, np.random.default_rng(args.seed))
    batch = model_batch(thetas)
    print(f"dynamic factor model of examples/demo.py on US data {span} (T = {y.shape[0]}, "
          f"ragged edge): log-likelihood at {args.draws:,} prior draws")

    client, cluster = connect(args.scheduler, args.workers)
    try:
        nworkers = len(client.scheduler_info()["workers"])
        # Every worker imports the package and runs once before the clock starts.
        client.run(loglik_chunk, chunk_of(batch, 0, 1), y)
        runs = {"serial": [], "threads=2": [], "cluster": []}
        seconds = {name: [] for name in runs}
        for _ in range(args.repeats):  # interleaved, so that load falls on all three
            for name in runs:
                began = time.perf_counter()
                if name == "cluster":
                    out = on_cluster(client, batch, y, args.chunk)
                else:
                    out = loglik_chunk(batch, y, threads=2 if name == "threads=2" else 1)
                seconds[name].append(time.perf_counter() - began)
                runs[name].append(out)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()

    where = args.scheduler or "LocalCluster on 127.0.0.1"
    tasks = math.ceil(args.draws / args.chunk)
    labels = {"serial": "serial (threads=1)", "threads=2": "threads=2",
              "cluster": f"Dask, {where}, {nworkers} workers, {tasks} tasks of "
                         f"{min(args.chunk, args.draws):,} draws"}
    for name in runs:
        rate = args.draws / float(np.median(seconds[name]))
        print(f"  {rate:12,.0f} draws/s  {labels[name]}")
    print(f"  (medians of {args.repeats} interleaved rounds)")

    loglik, status = runs["serial"][0]
    identical = all(same_bits(got[0], loglik) and same_bits(got[1], status)
                    for outs in runs.values() for got in outs)
    ok = np.count_nonzero(status == 0)
    print(f"  {ok:,} of {args.draws:,} draws filtered; highest log-likelihood "
          f"{np.nanmax(loglik):.3f}")
    phi, ess = next_temperature(loglik, 0.5 * ok)
    print(f"  first SMC tempering stage: exponent {phi:.3g} keeps an effective sample "
          f"size of {ess:,.0f}")
    if not identical:
        print("MISMATCH: a result differs from the serial run", file=sys.stderr)
        return 1
    print("  every result bit-identical to the serial run")
    return 0


if __name__ == "__main__":
    sys.exit(main())
