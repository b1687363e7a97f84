"""kalman_loglik_grad (the log-likelihood and its exact gradient) against
what a user would otherwise pay for the gradient: the filter alone
(kalman_filter with store_history=False), central differences over the k'
free entries of the model (2k' + 1 filter calls, k' counting a symmetric
pair once), and jax.grad of a jax.jit-compiled float64 filter written the
same way (Joseph form, symmetrised covariances, Cholesky of S, and under the
stationary start the Lyapunov equation by doubling). Complete data, T = 200,
random stable models with a full R. The calls are interleaved in one
process, round after round, and each figure is the best round's mean time
per call.

    bash tools/env.sh python3 bench/grad_peers.py [--rounds R] [--calls N]
        [--library path/to/_kalman.so]

Without --library it times the in-place build; a Release build without
ORVANTA_GENERAL_LOOPS_ONLY is the fair one. The share of the machine that
other processes used while it ran is printed with the figures.
"""

import argparse
import math
import os
import subprocess
import sys
import time

import numpy as np

BENCH = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH)
sys.path[:0] = [BENCH, os.environ.get("ORVANTA_PACKAGE_ROOT") or ROOT]

import harness  # noqa: E402

SIZES = [(10, 3, 3), (20, 5, 5), (40, 8, 8)]
STARTS = ("known", "stationary", "diffuse")
T = 200
JAX_STARTS = ("known", "stationary")


def model(rng, n, m, k):
    A = 0.3 * rng.standard_normal((n, n)) / np.sqrt(n) + np.diag(rng.uniform(0.3, 0.8, n))
    A *= 0.95 / max(1.0, np.abs(np.linalg.eigvals(A)).max())
    G = rng.standard_normal((m, m))
    H = rng.standard_normal((k, k))
    return dict(A=A, B=rng.standard_normal((n, k)), C=rng.standard_normal((m, n)),
                d=rng.standard_normal(m), Q=H @ H.T / k + np.eye(k), R=G @ G.T / m + np.eye(m),
                y=rng.standard_normal((T, m)), x0=np.zeros(n), P0=np.eye(n))


def free_entries(n, m, k, init):
    """The entries a finite-difference gradient moves: every entry of A, B,
    C, d and x0, the lower triangles of Q, R and (unless it is solved for)
    P0."""
    tri = lambda s: s * (s + 1) // 2
    return n * n + n * k + m * n + m + n + tri(k) + tri(m) + (tri(n) if init != "stationary"
                                                               else 0)


def jax_gradient(init):
    """jax.grad of the filter, written the same way (bench/peers_jax.py),
    jit-compiled in float64; None when JAX is not installed."""
    import peers_jax

    if peers_jax.available() is not None:
        return None
    import jax

    loglik = peers_jax.loglik_function(init)
    fn = jax.jit(jax.value_and_grad(loglik, argnums=tuple(range(9))))

    def call(mod):
        out = fn(*(mod[key] for key in ("A", "B", "C", "d", "Q", "R", "y", "x0", "P0")))
        jax.block_until_ready(out)
        return out

    return call


def calls(lib, mod, init):
    kalman_filter, kalman_loglik_grad = lib.kalman_filter, lib.kalman_loglik_grad
    keys = ("A", "B", "C", "d", "Q", "R", "y")
    args = [mod[key] for key in keys]
    start = dict(x0=mod["x0"], P0=None if init == "stationary" else mod["P0"], init=init)
    return {
        "filter": lambda: kalman_filter(*args, store_history=False, **start),
        "grad": lambda: kalman_loglik_grad(*args, **start),
    }


def best_of_rounds(fns, rounds, per_round):
    """Each function's best mean time per call over the rounds, the
    functions taking turns within each round."""
    best = {name: math.inf for name in fns}
    for fn in fns.values():
        fn()
    for _ in range(rounds):
        for name, fn in fns.items():
            began = time.perf_counter()
            for _ in range(per_round):
                fn()
            best[name] = min(best[name], (time.perf_counter() - began) / per_round)
    return best


def cpu():
    """lscpu's model, CPU count and vector flags; /proc/cpuinfo's where the
    environment has no lscpu."""
    try:
        text = subprocess.run(["lscpu"], capture_output=True, text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        try:
            with open("/proc/cpuinfo", encoding="ascii", errors="replace") as f:
                first = f.read().split("\n\n")[0]
        except OSError:
            return "CPU unknown"
        fields = {key.strip(): value for key, value in
                  (line.split(":", 1) for line in first.splitlines() if ":" in line)}
        text = (f"Model name: {fields.get('model name', '?').strip()}\n"
                f"CPU(s): {os.cpu_count()}\nFlags: {fields.get('flags', '').strip()}")
    wanted = ("Model name", "CPU(s)", "Thread(s) per core", "Flags")
    lines = [line for line in text.splitlines() if line.split(":")[0].strip() in wanted]
    return "\n".join(line if not line.startswith("Flags") else
                     "Flags (vector): " + " ".join(f for f in line.split()[1:]
                                                   if f.startswith(("avx", "fma", "sse4")))
                     for line in lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=7)
    parser.add_argument("--calls", type=int, default=20, help="calls per round")
    parser.add_argument("--library", help="the extension's shared object (default: the "
                                          "in-place build)")
    opts = parser.parse_args()
    rounds, per_round = opts.rounds, opts.calls
    if opts.library:
        lib, so_path = harness.load_library_from(opts.library), opts.library
    else:
        lib, so_path = harness.load_library(False)
    print(f"library: {os.path.relpath(so_path, ROOT)}")
    print(cpu())
    meter = harness.CpuMeter()
    print(f"T = {T}, complete data; best of {rounds} rounds of {per_round} calls each, "
          "interleaved; times per call")
    print(f"{'(n,m,k)':>11} {'start':>10} {'filter':>9} {'grad':>9} {'jax.grad':>9} "
          f"{'grad/filter':>11} {'FD/grad':>8} {'jax/grad':>8}  k'")
    rng = np.random.default_rng(1)
    for n, m, k in SIZES:
        mod = model(rng, n, m, k)
        for init in STARTS:
            fns = calls(lib, mod, init)
            jax_call = jax_gradient(init) if init in JAX_STARTS else None
            if jax_call is not None:
                # the same log-likelihood: JAX's filter is written as the native one
                value = float(jax_call(mod)[0])
                native = fns["grad"]().loglik
                assert abs(value - native) < 1e-8 * abs(native), (value, native)
                fns["jax"] = lambda: jax_call(mod)
            best = best_of_rounds(fns, rounds, per_round)
            free = free_entries(n, m, k, init)
            fd = (2 * free + 1) * best["filter"]
            jax_text = (f"{best['jax'] * 1e6:8.0f}u" if "jax" in best else f"{'-':>9}")
            jax_ratio = f"{best['jax'] / best['grad']:8.1f}" if "jax" in best else f"{'-':>8}"
            print(f"{str((n, m, k)):>11} {init:>10} {best['filter'] * 1e6:8.0f}u "
                  f"{best['grad'] * 1e6:8.0f}u {jax_text} {best['grad'] / best['filter']:11.2f} "
                  f"{fd / best['grad']:8.0f} {jax_ratio}  {free}", flush=True)
    print(f"other processes used {100 * meter.others_share():.0f}% of the machine's "
          f"{os.cpu_count()} CPUs meanwhile")


if __name__ == "__main__":
    main()
