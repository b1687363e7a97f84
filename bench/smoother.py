"""The cost of the fixed-interval smoother against the filter it runs.

    bash tools/env.sh python3 bench/smoother.py [--quick]

kalman_smoother runs kalman_filter (full history) and then the backward
pass, so its cost per call is set against the same filter call with the
same arguments: `kalman_filter` with full history (the baseline of the
ratio), with `kalman_hot_loop` (full history) beside it as the leanest
filter call. The three are timed interleaved, round by round, on random
stable models with data simulated from them, T = 200, from a known start
and from the exact diffuse start. Before timing, the smoother's filter
fields are checked bit for bit against kalman_filter's.

Each call returns megabytes of fresh arrays, and what they cost depends on
the state of the process's allocator, not on this library: glibc returns
freed heap to the system once more than its trim threshold is free, and that
threshold is twice the largest block it has handed back by unmapping (128
KiB at the start, at most 32 MiB). A process that has not yet freed a block
twice as large as a call's outputs maps and faults them in afresh on every
call. So the cases run twice, each time in a fresh interpreter: as it
starts ("fresh"), and after one 16 MiB array has been freed ("settled"), the
state of a process that has held any larger array, in which consecutive
calls reuse the same memory.

bench/run.py calls bench_smoother() and bench/report.py writes its table;
run alone, this module prints the table (nothing is written).
"""

import json
import os
import subprocess
import sys

import numpy as np

BENCH = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH)

T_SMOOTHER = 200
SMOOTHER_SIZES = [(10, 3, 3), (20, 5, 5), (40, 8, 8)]
# The sizes at which the smoother is to cost at most twice the filter.
RATIO_SIZES = [(20, 5, 5), (40, 8, 8)]
RATIO_LIMIT = 2.0
MODEL_KEYS = ("A", "B", "C", "d", "Q", "R", "y")


def _calls(lib, model, init):
    """The three calls of one case, as (label, zero-argument function)."""
    arrays = [model[key] for key in MODEL_KEYS]
    if init == "known":
        start = dict(x0=model["x0"], P0=model["P0"])
    else:
        start = dict(init="diffuse")
    return [
        ("kalman_filter", lambda: lib.kalman_filter(*arrays, **start)),
        ("kalman_hot_loop", lambda: lib.kalman_hot_loop(
            model["y"].shape[0], (model["A"].shape[0], model["C"].shape[0],
                                  model["B"].shape[1]),
            *arrays, model["x0"], model["P0"], True, 0.0)),
        ("kalman_smoother", lambda: lib.kalman_smoother(*arrays, **start)),
    ]


def _check_filter_fields(lib, model, init):
    """The smoother's first 14 fields are kalman_filter's, bit for bit."""
    calls = dict(_calls(lib, model, init))
    filtered, smoothed = calls["kalman_filter"](), calls["kalman_smoother"]()
    for i, value in enumerate(filtered):
        other = smoothed[i]
        if isinstance(value, np.ndarray):
            if value.tobytes() != other.tobytes():
                raise AssertionError(f"field {i} of kalman_smoother differs from kalman_filter")
        elif value != other:
            raise AssertionError(f"field {i} of kalman_smoother differs from kalman_filter")


# The allocator states the cases are timed in (see the top of this file).
ALLOCATOR_STATES = ("fresh", "settled")


def settle_allocator():
    """Frees one 16 MiB array: glibc unmaps it and raises its thresholds to
    16 MiB (mapping) and 32 MiB (trim), their limits."""
    np.ones(2 << 20)


def bench_smoother(so_path, quick, results, log=print):
    """Times the cases into results['smoother'], once per allocator state,
    each in an interpreter of its own (this module run with --json)."""
    rows = results.setdefault("smoother", [])
    for state in ALLOCATOR_STATES:
        command = [sys.executable, os.path.abspath(__file__), "--json", "--allocator", state,
                   "--library", so_path] + (["--quick"] if quick else [])
        done = subprocess.run(command, check=True, stdout=subprocess.PIPE, text=True)
        rows += json.loads(done.stdout)
    for row in rows:
        log(f"  smoother {row['case']:>8} {row['init']:8s} {row['allocator']:8s}: filter "
            f"{row['ns']['kalman_filter'] / 1e3:8.1f} us, smoother "
            f"{row['ns']['kalman_smoother'] / 1e3:8.1f} us: {row['ratio_to_filter']:.2f}x "
            f"the filter, {row['ratio_to_hot_loop']:.2f}x the hot loop "
            f"(others {100 * row['others_cpu']:.0f}% busy)")
    return rows


def time_smoother(lib, bench, allocator):
    """One row per (size, start) with the median per-call times and the
    ratios to both filter calls, in this process as it is."""
    import models

    rows = []
    for n, m, k in SMOOTHER_SIZES:
        model = models.linear_model(n, m, k, T_SMOOTHER, seed=100 + n)
        for init in ("known", "diffuse"):
            _check_filter_fields(lib, model, init)
            samples = bench.run(_calls(lib, model, init))
            median = {label: float(np.median(v)) for label, v in samples.items()}
            spread = {label: float(np.subtract(*np.percentile(v, [75, 25])) / 2)
                      for label, v in samples.items()}
            row = dict(case=f"{n},{m},{k}", init=init, allocator=allocator, T=T_SMOOTHER,
                       ns=median, half_iqr_ns=spread, samples_ns=samples,
                       ratio_to_filter=median["kalman_smoother"] / median["kalman_filter"],
                       ratio_to_hot_loop=median["kalman_smoother"] / median["kalman_hot_loop"],
                       others_cpu=bench.last_others)
            rows.append(row)
    return rows


def smoother_table(rows):
    """The Markdown lines of the smoother's section (bench/report.py)."""
    lines = [
        f"## Fixed-interval smoother, `kalman_smoother`, T = {T_SMOOTHER}",
        "",
        "kalman_smoother runs kalman_filter (full history) and the backward pass in one "
        "call; the ratio is its time over that of `kalman_filter` with the same arguments "
        "and full history (the filter it runs), with `kalman_hot_loop` (full history) "
        f"beside it. The aim is at most {RATIO_LIMIT:.0f}x the filter at "
        + " and ".join(f"({n},{m},{k})" for n, m, k in RATIO_SIZES)
        + ". The three calls are timed interleaved, round by round; medians of per-call "
        "times, ± half the interquartile range. Each case runs in a fresh interpreter, "
        "with the allocator as it starts (fresh: glibc returns the freed outputs of a "
        "call to the system once they exceed twice the largest block it has unmapped, "
        "and the next call faults them in again) and after one 16 MiB array has been "
        "freed (settled: consecutive calls reuse the same memory).",
        "",
        "| n, m, k | start | allocator | kalman_filter µs | kalman_hot_loop µs "
        "| kalman_smoother µs | smoother / filter | smoother / hot loop | others' CPU |",
        "|---|---|---|---:|---:|---:|---:|---:|---:|",
    ]
    for r in rows:
        ns, spread = r["ns"], r["half_iqr_ns"]

        def cell(label):
            return (f"{ns[label] / 1e3:,.1f} ± {100 * spread[label] / ns[label]:.1f}%")
        lines.append(
            f"| {r['case']} | {r['init']} | {r['allocator']} | {cell('kalman_filter')} "
            f"| {cell('kalman_hot_loop')} | {cell('kalman_smoother')} "
            f"| **{r['ratio_to_filter']:.2f}** | {r['ratio_to_hot_loop']:.2f} "
            f"| {100 * r['others_cpu']:.0f}% |")
    lines.append("")
    return lines


def main():
    import argparse

    sys.path.insert(0, BENCH)
    sys.path.insert(0, ROOT)
    import harness

    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer rounds")
    parser.add_argument("--allocator", choices=ALLOCATOR_STATES,
                        help="time in this process, in this allocator state, only")
    parser.add_argument("--library", help="the extension's shared object (default: the "
                        "in-place build)")
    parser.add_argument("--json", action="store_true",
                        help="print the rows as JSON (progress goes to stderr)")
    opts = parser.parse_args()
    if opts.library:
        lib, so_path = harness.load_library_from(opts.library), opts.library
    else:
        lib, so_path = harness.load_library(False)
    results = {}
    if opts.allocator is None:
        bench_smoother(so_path, opts.quick, results, harness.log)
    else:
        if opts.allocator == "settled":
            settle_allocator()
        bench = harness.Bench(opts.quick, harness.CpuMeter())
        results["smoother"] = time_smoother(lib, bench, opts.allocator)
    if opts.json:
        print(json.dumps(results["smoother"]))
    else:
        print("\n".join(smoother_table(results["smoother"])))


if __name__ == "__main__":
    main()
