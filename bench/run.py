"""Benchmark of the native filter loops against their peers, in one process.

    bash tools/env.sh python3 bench/run.py [--quick] [--build] [--out DIR]

Times, side by side and interleaved round by round:

* the library's `kalman_hot_loop` for (n, m, k) = (4,2,2), (10,3,3),
  (20,5,5), (40,8,8), T = 200, first for the log-likelihood alone
  (store_history=False, what optimisers and samplers call), then with the
  full history, each against
  - numba loops of the same algorithm (bench/peers_numba.py) in three
    styles: plain loops in the dot order, products in the axpy order, and
    products through np.dot (the BLAS), each with fastmath off and on; the
    fastest of the six counts, the others are reported beside it. The
    likelihood-alone ones allocate and store no history;
  - statsmodels' KalmanFilter: for the likelihood alone with its memory
    conservation keeping nothing but the log-likelihood (`loglike()` and
    the bare `_filter()`, with tolerance=0, and `loglike()` at its default
    tolerance, which freezes the gain once converged), for the full history
    storing everything (`filter()` and `_filter()`);
  - for the likelihood alone, a jax.jit-compiled float64 filter of the same
    recursion (bench/peers_jax.py), where JAX imports;
  with the fused multiply-adds per second of each as a share of the
  measured FMA peak of one core (bench/fma_peak.c, compiled here at run
  time), and the likelihood-alone period's steps timed one at a time
  (bench/filter_steps.c, compiled here against the extension);
* the library's `ukf_hot_loop` (full history, T = 200) against the numba loop
  and filterpy's UnscentedKalmanFilter for ns = 3, 6, 10;
* the per-call overhead at T = 1 with (4,2,2);
* two threads filtering different models at once against one thread;
* kalman_smoother against the filter it runs (bench/smoother.py).
* kalman_loglik_batch on 256 draws against 256 single calls and jax.vmap
  (bench/batch.py).
* kalman_filter with and without its steady state, against statsmodels with
  and without its own (bench/steady_state.py).

Every peer's log-likelihood is checked against the library's (twice, on two
calls) before it is timed. Reported times are medians over rounds of
per-call times (a round times a batch of calls and divides by the batch
size). The ratio column is peer time / library time: above 1 the library is
faster.

Results are kept per CPU model: a full run writes
bench/results/<cpu>.md and .json (the CPU's name, vendor, family and model
are in both) and rewrites the index bench/results.md over all CPUs; a quick
run writes under build/bench/results/ unless --out says otherwise.
"""

import argparse
import json
import os
import platform
import subprocess
import sys
import sysconfig
import time

BENCH = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH)
sys.path.insert(0, BENCH)
sys.path.insert(0, ROOT)

import numpy as np  # noqa: E402

import report  # noqa: E402
from harness import (  # noqa: E402
    BUILD, Bench, CpuMeter, load_library, log, med, sources_newer_than)
import smoother  # noqa: E402
from threads import run_together  # noqa: E402

T_MAIN = 200
KF_SIZES = [(4, 2, 2), (10, 3, 3), (20, 5, 5), (40, 8, 8)]
UKF_SIZES = [(3, 3, 1, 2), (6, 6, 3, 3), (10, 10, 5, 3)]  # ns, nc, ne, no
UKF_SETTINGS = dict(alpha=1.0, beta=2.0, kappa=0.0)
THREAD_KF = (20, 5, 5)
THREAD_UKF = (6, 6, 3, 3)
# loglik agreement required of each peer, relative
TOL = {"numba": 1e-9, "statsmodels": 1e-8, "filterpy": 1e-6, "jax": 1e-9}
NUMBA_STYLE_NAMES = report.NUMBA_STYLE_NAMES


# ---- FMA peak of one core ---------------------------------------------------

def fma_peak(quick):
    os.makedirs(BUILD, exist_ok=True)
    src = os.path.join(BENCH, "fma_peak.c")
    exe = os.path.join(BUILD, "fma_peak")
    attempts = [["-O2", "-mfma", "-mavx512f"], ["-O2", "-mfma", "-mavx2"]]
    iters, trials = (5_000_000, 3) if quick else (20_000_000, 5)
    errors = []
    for flags in attempts:
        try:
            subprocess.run(["gcc", *flags, "-o", exe, src], check=True, capture_output=True,
                           text=True)
            run = subprocess.run([exe, str(iters), str(trials)], check=True,
                                 capture_output=True, text=True, timeout=120)
        except (subprocess.CalledProcessError, OSError, subprocess.TimeoutExpired) as exc:
            errors.append(f"{' '.join(flags)}: {getattr(exc, 'stderr', '') or exc}")
            continue
        result = {"flags": " ".join(flags), "by_chains": {}}
        for line in run.stdout.splitlines():
            parts = line.split()
            if parts[0] == "vector":
                result.update(vector_fma_per_s=float(parts[1]), lanes=int(parts[2]),
                              isa=parts[3], chains=int(parts[4]))
            elif parts[0] == "chains":
                result["by_chains"][int(parts[1])] = float(parts[2])
            elif parts[0] == "scalar":
                result["scalar_fma_per_s"] = float(parts[1])
        if errors:
            result["not_used"] = errors
        return result
    raise RuntimeError("could not build or run bench/fma_peak.c:\n" + "\n".join(errors))


# ---- the likelihood-alone period, step by step ---------------------------------

def filter_steps(so_path, quick):
    """bench/filter_steps.c, linked against the extension (which exports the
    kernels by name, beside the interpreter it needs), run at each linear
    size: {"n,m": {"steps": [{step, calls, ns, fmas}], "period_ns",
    "period_fmas"}}, or None when it cannot be built or run (logged)."""
    src = os.path.join(BENCH, "filter_steps.c")
    exe = os.path.join(BUILD, "filter_steps")
    kernels = os.path.join(ROOT, "Orvanta", "_ckernels")
    os.makedirs(BUILD, exist_ok=True)
    try:
        python_lib = [f"-L{sysconfig.get_config_var('LIBDIR')}",
                      f"-lpython{sysconfig.get_config_var('LDVERSION')}", "-lm"]
        subprocess.run(["gcc", "-O2", "-std=c11", "-I", os.path.join(kernels, "_common"),
                        "-I", os.path.join(kernels, "kalman"), "-o", exe, src,
                        os.path.abspath(so_path), *python_lib,
                        "-Wl,-rpath," + os.path.dirname(os.path.abspath(so_path))],
                       check=True, capture_output=True, text=True)
        out = {}
        for n, m, _ in KF_SIZES:
            out[f"{n},{m}"] = _fastest_steps(
                [subprocess.run([exe, str(n), str(m), "5000" if quick else "20000"], check=True,
                                capture_output=True, text=True, timeout=300).stdout
                 for _ in range(2)])
        return out
    except (subprocess.CalledProcessError, OSError, subprocess.TimeoutExpired) as exc:
        log(f"WARNING: bench/filter_steps.c not measured: {getattr(exc, 'stderr', '') or exc}")
        return None


def _fastest_steps(outputs):
    """Each step's fastest time over several runs of filter_steps (this
    host has spells of seconds in which everything runs slower), and their
    sum."""
    runs = [[line.split() for line in text.splitlines() if line.startswith("step ")]
            for text in outputs]
    steps = [dict(step=first[1], calls=int(first[2]), fmas=float(first[4]),
                  ns=min(float(run[i][3]) for run in runs))
             for i, first in enumerate(runs[0])]
    return dict(steps=steps, period_ns=sum(step["ns"] for step in steps),
                period_fmas=sum(step["fmas"] for step in steps))


def kf_fma_per_period(n, m):
    return 4 * n**3 + 3 * n**2 * m + 3 * n * m**2 + m**3 / 6


def rel_err(a, b):
    return abs(a - b) / max(abs(b), 1e-300)


# ---- the benchmark groups ------------------------------------------------------

def _check_and_time(bench, candidates, refs, base, what):
    """Checks each candidate's log-likelihood against the library's (`refs`,
    per group), times the ones that agree side by side, all groups
    interleaved, and returns one row per candidate (`base` plus the group,
    the check, and the median, samples and ratio to the library of its group
    when timed). A candidate that disagrees is logged and left untimed.

    candidates: (group, label, family, fn, tol_key, extra) with `extra` a
    dict copied into the row; every group has a "library" candidate."""
    entries, rows = [], []
    for group, label, family, fn, tol_key, extra in candidates:
        ref = refs[group]
        check = _check(fn, ref, tol_key)
        rows.append(dict(base, group=group, impl=label, family=family, **extra, **check))
        if check["ok"]:
            entries.append(((group, label), fn))
        else:
            log(f"WARNING {what} {group} {label}: loglik {check['loglik']!r} vs library "
                f"{ref!r} (rel. err. {check['rel_err']:.3g}); not timed")
    samples = bench.run(entries)
    for row in rows:
        row["others_cpu"] = bench.last_others
        key = (row["group"], row["impl"])
        if key in samples:
            t = med(samples[key])
            lib_ns = med(samples[(row["group"], "library")])
            row.update(median_ns=t, samples_ns=samples[key], ratio=t / lib_ns,
                       cores_used=bench.last_cores[key])
            if row["cores_used"] > 1.2:
                log(f"NOTE {what} {row['group']} {row['impl']}: ran on "
                    f"{row['cores_used']:.2f} cores (threads of its own)")
    return rows


def _numba_kf_candidates(group, numba_kf, args):
    """The six numba variants of the linear filter for one group: the
    log-likelihood alone (`loglik`, thirteen arguments, returns a float) or
    the full history (`full`, all fifteen)."""
    out = []
    for (style, fm), variant in numba_kf.items():
        if group == "lik":
            fn = (lambda v=variant: v.loglik(*args[:13]))
        else:
            fn = (lambda v=variant: v.full(*args)[2][-1])
        out.append((group, f"numba {NUMBA_STYLE_NAMES[style]} fastmath={fm}", "numba", fn,
                    "numba", dict(numba_style=style, fastmath=fm)))
    return out


def bench_kf(lib, numba_kf, bench, results, jax_missing):
    import models
    import peers_jax
    import peers_other

    for n, m, k in KF_SIZES:
        model = models.linear_model(n, m, k, T_MAIN, seed=1000 + n)
        args = models.kf_args(model)
        args_lik = args[:14] + (False,)  # store_history=False
        ref = lib.kalman_hot_loop(*args)[2][-1]
        refs = dict(lik=lib.kalman_hot_loop(*args_lik)[2][-1], full=ref)
        fmas = kf_fma_per_period(n, m) * T_MAIN
        sm_lik = peers_other.StatsmodelsKF(model, likelihood_only=True)
        sm_default = peers_other.StatsmodelsKF(model, likelihood_only=True, tolerance=None)
        sm = peers_other.StatsmodelsKF(model)
        none = {}
        jax_lik = [] if jax_missing else [
            ("lik", "jax.jit", "jax", peers_jax.JaxFilter(model).call, "jax", none)]
        candidates = [
            ("lik", "library", "kalman_hot_loop",
             lambda: lib.kalman_hot_loop(*args_lik)[2][-1], None, none),
            *_numba_kf_candidates("lik", numba_kf, args),
            ("lik", "statsmodels loglike()", "statsmodels", sm_lik.loglike, "statsmodels", none),
            ("lik", "statsmodels _filter()", "statsmodels", sm_lik.bare, "statsmodels", none),
            ("lik", "statsmodels loglike(), default tolerance (gain frozen once converged)",
             "statsmodels-default", sm_default.loglike, "statsmodels", none),
            *jax_lik,
            ("full", "library", "kalman_hot_loop",
             lambda: lib.kalman_hot_loop(*args)[2][-1], None, none),
            *_numba_kf_candidates("full", numba_kf, args),
            ("full", "statsmodels filter()", "statsmodels", sm.filter, "statsmodels", none),
            ("full", "statsmodels _filter()", "statsmodels", sm.bare, "statsmodels", none),
        ]
        rows = _check_and_time(bench, candidates, refs,
                               dict(case=f"{n},{m},{k}", n=n, m=m, k=k, T=T_MAIN),
                               f"kf ({n},{m},{k})")
        for which in (sm_lik, sm):
            if not sm_converged_ok(which):
                log(f"WARNING kf ({n},{m},{k}): statsmodels reports steady-state convergence")
        for row in rows:
            if "median_ns" in row:
                row["fma_per_s"] = fmas / (row["median_ns"] * 1e-9)
        for group, key, title in (("lik", "kf_lik", "log-likelihood alone"),
                                  ("full", "kf", "full history")):
            part = [r for r in rows if r["group"] == group]
            _keep_fastest_numba(part)
            results[key].extend(part)
            _print_rows(part, f"kalman_hot_loop ({n},{m},{k}), T={T_MAIN}, {title}")


def sm_converged_ok(sm):
    try:
        return not sm.converged()
    except Exception:  # noqa: BLE001 (attribute missing in other versions)
        return True


def bench_ukf(lib, numba_ukf, bench, results):
    import models
    import peers_other

    addr = models.meas_quadratic_cfunc.address
    none = {}
    for ns, nc, ne, no in UKF_SIZES:
        model = models.pruned_model(ns, nc, ne, no, T_MAIN, seed=2000 + ns)
        a_lib = models.ukf_args(addr, model, **UKF_SETTINGS)
        a_nb = models.ukf_args(models.meas_quadratic, model, **UKF_SETTINGS)
        ref = lib.ukf_hot_loop(*a_lib)[2][-1]
        fp = peers_other.FilterpyUKF(model, **UKF_SETTINGS)
        candidates = [
            ("", "library", "ukf_hot_loop", lambda: lib.ukf_hot_loop(*a_lib)[2][-1], None, none),
            *[("", f"numba fastmath={fm}", "numba",
               (lambda fm=fm: numba_ukf[fm](*a_nb)[2][-1]), "numba", dict(fastmath=fm))
              for fm in (False, True)],
            ("", "filterpy UKF", "filterpy", fp.run, "filterpy", none),
        ]
        rows = _check_and_time(
            bench, candidates, {"": ref},
            dict(case=f"{ns},{nc},{ne},{no}", ns=ns, nc=nc, ne=ne, no=no, T=T_MAIN),
            f"ukf ns={ns}")
        _keep_fastest_numba(rows)
        results["ukf"].extend(rows)
        _print_rows(rows, f"ukf_hot_loop ns={ns} nc={nc} ne={ne} no={no}, T={T_MAIN}")


def bench_overhead(lib, numba_kf, bench, results):
    import models
    import peers_other

    model = models.linear_model(4, 2, 2, 1, seed=3000)
    args = models.kf_args(model)
    ref = lib.kalman_hot_loop(*args)[2][-1]
    sm = peers_other.StatsmodelsKF(model)
    none = {}
    candidates = [
        ("full", "library", "kalman_hot_loop",
         lambda: lib.kalman_hot_loop(*args)[2][-1], None, none),
        *_numba_kf_candidates("full", numba_kf, args),
        ("full", "statsmodels _filter()", "statsmodels", sm.bare, "statsmodels", none),
        ("full", "statsmodels filter()", "statsmodels", sm.filter, "statsmodels", none),
    ]
    if not bench.quick:
        # The numba loop that was fastest at (4,2,2) with the full history,
        # called with its two optional arguments left out, as
        # kalman_hot_loop's callers may: numba's dispatcher then takes its
        # slow path for omitted defaults (this compiles one more signature).
        style, fm = _fastest_numba_variant(results["kf"], "4,2,2")
        variant = numba_kf[style, fm]
        candidates.append(
            ("full", f"numba {NUMBA_STYLE_NAMES[style]} fastmath={fm}, last two args omitted",
             "numba-omitted", lambda: variant.full(*args[:13])[2][-1], "numba", none))
    rows = _check_and_time(bench, candidates, {"full": ref}, dict(case="4,2,2 T=1"),
                           "overhead")
    _keep_fastest_numba(rows)
    results["overhead"].extend(rows)
    _print_rows(rows, "per-call overhead, kalman_hot_loop (4,2,2), T=1")


def _two_thread_ratio(fn_a, fn_b, calls, rounds):
    """Wall time of fn_a and fn_b each called `calls` times, one after the
    other on one thread, and at the same time on two threads; also the CPU
    time the two threads got, as cores used on average while they ran."""
    def loop(fn):
        for _ in range(calls):
            fn()

    one, two, cores = [], [], []
    for _ in range(rounds):
        t0 = time.perf_counter_ns()
        loop(fn_a)
        loop(fn_b)
        one.append(time.perf_counter_ns() - t0)
        together, cpu = run_together([fn_a, fn_b], calls)
        two.append(together)
        cores.append(sum(cpu) / together)
    return med(one), med(two), one, two, med(cores)


def bench_threads(lib, bench, results, meter):
    import models

    n, m, k = THREAD_KF
    kf_models = [models.linear_model(n, m, k, T_MAIN, seed=4000 + i) for i in range(2)]
    kf_args = [models.kf_args(md) for md in kf_models]
    ns, nc, ne, no = THREAD_UKF
    addr = models.meas_quadratic_cfunc.address
    ukf_models = [models.pruned_model(ns, nc, ne, no, T_MAIN, seed=5000 + i) for i in range(2)]
    ukf_args = [models.ukf_args(addr, md, **UKF_SETTINGS) for md in ukf_models]
    cases = [
        ("kalman_hot_loop", f"({n},{m},{k}), T={T_MAIN}",
         [lambda a=a: lib.kalman_hot_loop(*a) for a in kf_args]),
        ("ukf_hot_loop", f"ns={ns} nc={nc} ne={ne} no={no}, T={T_MAIN}",
         [lambda a=a: lib.ukf_hot_loop(*a) for a in ukf_args]),
    ]
    target = 0.15e9 if bench.quick else 0.5e9
    rounds = 3 if bench.quick else 5
    log("\n== two threads vs one thread (different models, library)")
    for loop_name, case, (fa, fb) in cases:
        fa()
        fb()
        t0 = time.perf_counter_ns()
        fa()
        fb()
        pair = time.perf_counter_ns() - t0
        calls = max(2, int(target // pair))
        before = meter.sample()
        one, two, one_s, two_s, cores = _two_thread_ratio(fa, fb, calls, rounds)
        others = meter.others_share(before)
        row = dict(loop=loop_name, case=case, calls_per_thread=calls, others_cpu=others,
                   cores_used=cores,
                   one_thread_calls_per_s=2 * calls / (one * 1e-9),
                   two_threads_calls_per_s=2 * calls / (two * 1e-9),
                   ratio=one / two, one_thread_ns=one_s, two_threads_ns=two_s)
        results["threads"].append(row)
        log(f"  {loop_name:16s} {case:32s} 1 thread {row['one_thread_calls_per_s']:9.1f}/s  "
            f"2 threads {row['two_threads_calls_per_s']:9.1f}/s  ratio {row['ratio']:.2f}"
            f"  (threads used {cores:.2f} cores; other processes {100 * others:.0f}% of all)")


def _check(fn, ref, tol_key):
    """The candidate's log-likelihood on two calls (a filter object reused
    across calls must not carry anything over), against the library's."""
    got = [float(fn()) for _ in range(2)]
    err = max(rel_err(g, ref) for g in got)
    ok = tol_key is None or (all(np.isfinite(got)) and err <= TOL[tol_key])
    return dict(loglik=got[0], rel_err=err, tol=TOL.get(tol_key), ok=bool(ok))


def _fastest_numba_variant(rows, case):
    best = [r for r in rows if r["case"] == case and r.get("best_numba")]
    if not best:
        return "loops", True
    return best[0].get("numba_style", "loops"), best[0]["fastmath"]


def _keep_fastest_numba(rows):
    """Marks the fastest of the timed numba variants as the one that counts."""
    timed = [r for r in rows if r["family"] == "numba" and "median_ns" in r]
    if timed:
        best = min(timed, key=lambda r: r["median_ns"])
        for r in timed:
            r["best_numba"] = r is best


def _print_rows(rows, title):
    log(f"\n== {title}")
    for r in rows:
        if "median_ns" not in r:
            log(f"  {r['impl']:34s} NOT TIMED: loglik differs (rel. err. {r['rel_err']:.3g})")
            continue
        extra = ""
        if "fma_per_s" in r:
            extra = f"  {r['fma_per_s'] / 1e9:6.2f} GFMA/s"
        mark = " *" if r.get("best_numba") else "  "
        log(f"{mark}{r['impl']:34s} {r['median_ns'] / 1e3:12.1f} us  x{r['ratio']:7.2f}{extra}"
            f"  (loglik rel. err. {r['rel_err']:.1e})")


# ---- the machine ------------------------------------------------------------------

def blas_info():
    """The BLAS that numba's np.dot calls (through SciPy's cython_blas): the
    shared libraries of that name mapped into this process, and OpenBLAS's
    own configuration string and thread count when it is the one."""
    import ctypes

    libs = []
    try:
        with open("/proc/self/maps", encoding="utf-8") as fh:
            for line in fh:
                path = line.split()[-1]
                if "blas" in os.path.basename(path) and path not in libs and ".so" in path:
                    libs.append(path)
    except OSError:
        pass
    info = dict(mapped=libs)
    core = [p for p in libs if "openblas" in os.path.basename(p)] or \
        [p for p in libs if "cython_blas" not in p and "_fblas" not in p]
    if core:
        info["library"] = core[0]
        try:
            handle = ctypes.CDLL(core[0])
            get_config = handle.openblas_get_config
            get_config.restype = ctypes.c_char_p
            info["config"] = get_config().decode().strip()
            info["threads"] = int(handle.openblas_get_num_threads())
        except (OSError, AttributeError):
            pass
    return info


def machine_meta(quick, so_path):
    versions = {}
    for mod in ("numpy", "numba", "statsmodels", "filterpy", "scipy", "jax"):
        try:
            versions[mod] = __import__(mod).__version__
        except Exception:  # noqa: BLE001
            versions[mod] = "missing"
    return dict(quick=quick, date=time.strftime("%Y-%m-%d %H:%M:%S"),
                cpu=report.cpu_identity(), cores=os.cpu_count(),
                python=platform.python_version(), library=os.path.relpath(so_path, ROOT),
                **versions)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="fewer rounds and shorter batches (under 40 s once numba's "
                        "cache is warm); results go under build/bench/results/")
    parser.add_argument("--build", action="store_true",
                        help="build the extension afresh under build/bench and time that")
    parser.add_argument("--out", metavar="DIR",
                        help="where to write <cpu>.md and .json (default: bench/results/ "
                        "for a full run, which also rewrites the index bench/results.md; "
                        "build/bench/results/ for a quick one)")
    opts = parser.parse_args()
    start = time.perf_counter()
    meter = CpuMeter()
    busy_before = meter.idle_check()
    if busy_before > 0.1:
        log(f"WARNING: other processes keep {100 * busy_before:.0f}% of the cores busy; "
            "timings will be noisy and two-thread scaling understated")
    cpu = report.cpu_identity()
    log(f"CPU: {report.cpu_label(cpu)}")

    lib, so_path = load_library(opts.build)
    stale = sources_newer_than(so_path)
    if stale:
        log(f"WARNING: {so_path} is older than {', '.join(stale)}; "
            "rebuild or pass --build to time the current sources")
    log(f"library: {so_path}")

    peak = fma_peak(opts.quick)
    log(f"FMA peak ({peak['isa']}, best with {peak['chains']} chains): "
        f"{peak['vector_fma_per_s'] / 1e9:.1f} GFMA/s vector, "
        f"{peak['scalar_fma_per_s'] / 1e9:.1f} GFMA/s scalar")

    import batch
    import models
    import peers_jax
    import peers_numba
    import steady_state

    jax_missing = peers_jax.available()
    if jax_missing:
        log(f"JAX peers left out: {jax_missing}")

    # Compile the numba peers up front (first call per specialisation).
    t0 = time.perf_counter()
    numba_kf = {(style, fm): peers_numba.make_kalman(style, fm)
                for style in peers_numba.KF_STYLES for fm in (False, True)}
    small = models.linear_model(2, 1, 1, 3, seed=0)
    for variant in numba_kf.values():
        variant.full(*models.kf_args(small))
        variant.loglik(*models.kf_args(small)[:13])
    kf_cached = all(sum(f.stats.cache_hits.values()) > 0
                    for v in numba_kf.values() for f in (v.full, v.loglik))
    t1 = time.perf_counter()
    numba_ukf = {fm: peers_numba.make_ukf_hot_loop(fm) for fm in (False, True)}
    small_ukf = models.pruned_model(2, 1, 1, 1, 3, seed=0)
    for fm in (False, True):
        numba_ukf[fm](*models.ukf_args(models.meas_quadratic, small_ukf, **UKF_SETTINGS))
    lib.ukf_hot_loop(*models.ukf_args(models.meas_quadratic_cfunc.address, small_ukf,
                                      **UKF_SETTINGS))
    compile_s = dict(kf=t1 - t0, kf_from_cache=kf_cached, ukf=time.perf_counter() - t1)
    log(f"numba peers ready: linear variants {compile_s['kf']:.1f} s"
        f"{' (from the cache)' if kf_cached else ''}, unscented loop {compile_s['ukf']:.1f} s")
    blas = blas_info()
    log(f"BLAS behind np.dot: {blas.get('library', 'not found')} "
        f"({blas.get('config', '')}, {blas.get('threads', '?')} threads)")

    results = dict(fma_peak=peak, numba_compile_s=compile_s, kf_lik=[], kf=[], ukf=[],
                   overhead=[], threads=[], batch=[], steady_state=[], steady_state_batch=[])
    bench = Bench(opts.quick, meter)
    bench_kf(lib, numba_kf, bench, results, jax_missing)
    results["filter_steps"] = steps = filter_steps(so_path, opts.quick)
    if steps:
        log("likelihood-alone period step by step (sum of the steps, per period): " + ", ".join(
            f"({key}) {case['period_ns'] / 1e3:.2f} us" for key, case in steps.items()))
    bench_ukf(lib, numba_ukf, bench, results)
    bench_overhead(lib, numba_kf, bench, results)
    bench_threads(lib, bench, results, meter)
    smoother.bench_smoother(so_path, opts.quick, results, log)
    batch.bench_batch(lib, bench, results, log, cpu, jax_missing)
    steady_state.bench_steady_state(lib, bench, results, log)
    steady_state.bench_steady_batch(lib, bench, results, log)

    results["meta"] = machine_meta(opts.quick, so_path)
    results["meta"]["blas"] = blas
    results["meta"]["elapsed_s"] = time.perf_counter() - start
    results["meta"]["others_cpu_before"] = busy_before
    results["meta"]["others_cpu_during"] = meter.others_share()
    if stale:
        results["meta"]["stale_sources"] = stale
    results["meta"]["ratio"] = "peer median time / library median time"

    out_dir = opts.out or (os.path.join(BUILD, "results") if opts.quick
                           else report.RESULTS_DIR)
    os.makedirs(out_dir, exist_ok=True)
    base = os.path.join(out_dir, report.cpu_slug(results["meta"]["cpu"]))
    with open(base + ".json", "w", encoding="utf-8") as fh:
        json.dump(results, fh, indent=1)
    report.write_markdown(results, base + ".md", TOL, T_MAIN, UKF_SETTINGS)
    written = [base + ".md", base + ".json"]
    if os.path.abspath(out_dir) == os.path.abspath(report.RESULTS_DIR):
        report.write_index()
        written.append(report.INDEX)
    log(f"\nwrote {', '.join(os.path.relpath(p, ROOT) for p in written)} "
        f"({results['meta']['elapsed_s']:.0f} s)")


if __name__ == "__main__":
    main()
