"""Benchmark of kalman_loglik_batch: the log-likelihood of N = 256 parameter
draws in one call against 256 single kalman_hot_loop calls (log-likelihood
alone, store_history=False) and against jax.vmap of a jax.jit-compiled filter
over the draws (bench/peers_jax.py, where JAX imports; checked to agree to
1e-9 relative), and two threads against one.

Run from bench/run.py (bench_batch), in the same process and rounds as the
other groups. Each draw is a random stable model of bench/models.py with its
own A, B, C, d, Q, R, x0, P0; y is one sample for all of them, as an
estimator evaluating many parameter draws on one data set has it. Before
anything is timed, every draw's log-likelihood from the batch is checked to
be bit for bit the one of its single call.

The candidates of a size are timed interleaved, round by round
(harness.Bench): the 256 single calls, the batch on one thread, the batch on
two, and jax.vmap.
Ratios are of median times: single / batch (one thread), and batch on one
thread / batch on two. Beside the two-thread ratio stands what the host gave
the call: its CPU time over its wall time, the cores it received (2.00 when
both threads had a core of their own, and counting the kept helper thread's
watch for the next call); and what it gives two independent
calls: one-thread batch calls made at once from two Python threads, against
the same calls one after the other. A virtual machine whose two
processors share a physical core shows that ratio well below 2 while the
cores received stay near 2.
"""

import statistics
import time

import numpy as np

import models
from threads import run_together

BATCH_SIZES = [(4, 2, 2), (10, 3, 3), (20, 5, 5), (40, 8, 8)]
N_DRAWS = 256
T_BATCH = 200
# what the batch should reach on one thread: its throughput over single
# calls' at the smallest size, its share of the FMA peak (each draw's fused
# multiply-adds counted as in the single-call table) at the others; and two
# threads' throughput over one thread's
TARGETS = {(4, 2, 2): ("ratio", 5.0), (10, 3, 3): ("peak", 0.60), (20, 5, 5): ("peak", 0.70),
           (40, 8, 8): ("peak", 0.70)}
TWO_THREADS_TARGET = 1.8


def fmas_per_period(n, m):
    """The fused multiply-adds of one period, as bench/run.py counts them."""
    return 4 * n**3 + 3 * n**2 * m + 3 * n * m**2 + m**3 / 6


def lanes_per_block(cpu):
    """Draws a block filters side by side on this CPU, as the load-time
    dispatch picks the variant: 8 with AVX-512 (x86-64-v4), 4 with AVX2 and
    FMA, 2 in the portable variant."""
    flags = set(cpu.get("simd_flags", []))
    if {"avx512f", "avx512dq", "avx512vl"} <= flags:
        return 8
    if {"avx2", "fma"} <= flags:
        return 4
    return 2


def batch_draws(n, m, k, T, N, seed):
    """The arguments of kalman_loglik_batch for N random models (one per
    draw, stacked on a leading axis) and the shared sample y of the first."""
    draws = [models.linear_model(n, m, k, T, seed=seed + i) for i in range(N)]
    stacked = {key: np.ascontiguousarray(np.stack([d[key] for d in draws]))
               for key in ("A", "B", "C", "d", "Q", "R", "x0", "P0")}
    stacked["y"] = draws[0]["y"]
    return stacked


def _single_calls(lib, args, n, m, k, T, N):
    """One kalman_hot_loop call per draw, log-likelihood alone; returns the
    function that makes them all and the log-likelihoods of a first pass."""
    calls = [(T, (n, m, k), args["A"][i], args["B"][i], args["C"][i], args["d"][i],
              args["Q"][i], args["R"][i], args["y"], args["x0"][i], args["P0"][i], True, 0.0,
              False, False) for i in range(N)]
    hot_loop = lib.kalman_hot_loop

    def run_all():
        for call in calls:
            hot_loop(*call)

    return run_all, np.array([hot_loop(*call)[2][-1] for call in calls])


def _host_pair_ratio(fn, calls, rounds):
    """fn called 2 * calls times on one thread over calls times on each of
    two threads at once (each thread's first call starts with the other's
    already going, so that their start-up does not count), median over
    rounds; and the cores the two threads received."""
    ratios, cores = [], []
    for _ in range(rounds):
        t0 = time.perf_counter_ns()
        for _ in range(2 * calls):
            fn()
        alone = time.perf_counter_ns() - t0
        together, cpu = run_together([fn, fn], calls)
        ratios.append(alone / together)
        cores.append(sum(cpu) / together)
    return statistics.median(ratios), statistics.median(cores)


def _jax_vmap(args, want, log, case):
    """bench/peers_jax.py's vmap over the draws, or None (logged) when its
    log-likelihoods disagree with the batch's by more than 1e-9 relative."""
    import peers_jax

    peer = peers_jax.JaxBatch(args)
    err = float(np.max(np.abs(peer.call() - want) / np.abs(want)))
    if not err <= 1e-9:
        log(f"WARNING batch {case}: jax.vmap's log-likelihoods differ (rel. {err:.1e}); "
            "not timed")
        return None, err
    return peer, err


def bench_batch(lib, bench, results, log, cpu, jax_missing=None):
    """Times each size and appends one row per size to results["batch"];
    `cpu` is report.cpu_identity()'s, which says how many lanes a block has."""
    peak = results.get("fma_peak", {}).get("vector_fma_per_s")
    lanes = lanes_per_block(cpu)
    log(f"\n== kalman_loglik_batch, N = {N_DRAWS} draws, T = {T_BATCH}, against "
        f"{N_DRAWS} single kalman_hot_loop calls (log-likelihood alone); {lanes} draws "
        "per block")
    for n, m, k in BATCH_SIZES:
        args = batch_draws(n, m, k, T_BATCH, N_DRAWS, seed=6000 + 10 * n)
        ordered = [args[key] for key in ("A", "B", "C", "d", "Q", "R", "y", "x0", "P0")]
        singles, want = _single_calls(lib, args, n, m, k, T_BATCH, N_DRAWS)
        got = lib.kalman_loglik_batch(*ordered)
        same = bool(got.loglik.tobytes() == want.tobytes() and not got.status.any())
        if not same:
            log(f"WARNING batch ({n},{m},{k}): log-likelihoods differ from the single calls; "
                "not timed")
            results["batch"].append(dict(case=f"{n},{m},{k}", n=n, m=m, k=k, same_bits=False))
            continue
        jax_peer, jax_err = (None, None) if jax_missing else _jax_vmap(
            args, want, log, f"({n},{m},{k})")
        samples = bench.run([
            ("single", singles),
            ("batch 1 thread", lambda: lib.kalman_loglik_batch(*ordered, threads=1)),
            ("batch 2 threads", lambda: lib.kalman_loglik_batch(*ordered, threads=2)),
            *([("jax.vmap", jax_peer.call)] if jax_peer is not None else []),
        ])
        median = {label: float(np.median(v)) for label, v in samples.items()}
        row = dict(case=f"{n},{m},{k}", n=n, m=m, k=k, T=T_BATCH, N=N_DRAWS, lanes=lanes,
                   same_bits=True, others_cpu=bench.last_others,
                   single_ns=median["single"], batch_ns=median["batch 1 thread"],
                   batch2_ns=median["batch 2 threads"],
                   samples_ns={label: list(v) for label, v in samples.items()},
                   cores_one=bench.last_cores["batch 1 thread"],
                   cores_two=bench.last_cores["batch 2 threads"],
                   cores_single=bench.last_cores["single"])
        row["ratio"] = row["single_ns"] / row["batch_ns"]
        row["threads_ratio"] = row["batch_ns"] / row["batch2_ns"]
        row["target_kind"], row["target"] = TARGETS[(n, m, k)]
        fmas = fmas_per_period(n, m) * T_BATCH * N_DRAWS
        row["fma_per_s"] = fmas / (row["batch_ns"] * 1e-9)
        row["single_fma_per_s"] = fmas / (row["single_ns"] * 1e-9)
        if peak:
            row["peak_share"] = row["fma_per_s"] / peak
            row["single_peak_share"] = row["single_fma_per_s"] / peak
        if "jax.vmap" in median:
            row.update(jax_vmap_ns=median["jax.vmap"], jax_vmap_rel_err=jax_err,
                       jax_vmap_cores=bench.last_cores["jax.vmap"],
                       jax_vmap_ratio=median["jax.vmap"] / row["batch_ns"])
        # calls enough for some 0.2 s on one thread
        calls = max(2, int(0.1e9 // row["batch_ns"]))
        row["host_pair_ratio"], row["host_pair_cores"] = _host_pair_ratio(
            lambda: lib.kalman_loglik_batch(*ordered, threads=1), calls, 3 if bench.quick else 7)
        results["batch"].append(row)
        target = (f"x{row['target']:.1f}" if row["target_kind"] == "ratio"
                  else f"{100 * row['target']:.0f}% of the peak")
        share = 100 * row.get("peak_share", float("nan"))
        jax_note = (f"; jax.vmap {row['jax_vmap_ns'] / 1e6:7.2f} ms "
                    f"(x{row['jax_vmap_ratio']:.2f} the batch's time, on "
                    f"{row['jax_vmap_cores']:.2f} cores)" if "jax_vmap_ns" in row else "")
        log(f"  ({n},{m},{k}): {N_DRAWS} single calls {row['single_ns'] / 1e6:8.2f} ms, "
            f"batch {row['batch_ns'] / 1e6:7.2f} ms (x{row['ratio']:.2f}, {share:.0f}% of the "
            f"FMA peak; target {target}), two threads {row['batch2_ns'] / 1e6:7.2f} ms "
            f"(x{row['threads_ratio']:.2f} of one thread on {row['cores_two']:.2f} cores "
            f"received; target x{TWO_THREADS_TARGET}); two one-thread calls at once "
            f"x{row['host_pair_ratio']:.2f} on {row['host_pair_cores']:.2f} cores{jax_note}")
