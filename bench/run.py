"""Benchmark of the native filter loops against their peers, in one process.

    bash tools/env.sh python3 bench/run.py [--quick] [--build]

Times, side by side and interleaved round by round:

* the library's `kalman_hot_loop` (full history, T = 200) against a numba
  loop of the same algorithm (bench/peers_numba.py, faster of fastmath off
  and on), statsmodels' KalmanFilter (`filter()` and the bare `_filter()`)
  for (n, m, k) = (4,2,2), (10,3,3), (20,5,5), (40,8,8), with the fused
  multiply-adds per second of each as a share of the measured FMA peak of
  one core (bench/fma_peak.c, compiled here at run time);
* the library's `ukf_hot_loop` (full history, T = 200) against the numba loop
  and filterpy's UnscentedKalmanFilter for ns = 3, 6, 10;
* the per-call overhead at T = 1 with (4,2,2);
* two threads filtering different models at once against one thread.

Every peer's log-likelihood is checked against the library's before it is
timed. Reported times are medians over rounds of per-call times (a round
times a batch of calls and divides by the batch size). The ratio column is
peer time / library time: above 1 the library is faster.

Writes bench/results.md and bench/results.json.
"""

import argparse
import glob
import importlib.machinery
import importlib.util
import json
import os
import platform
import resource
import statistics
import subprocess
import sys
import threading
import time

BENCH = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH)
BUILD = os.path.join(ROOT, "build", "bench")
sys.path.insert(0, BENCH)
sys.path.insert(0, ROOT)

import numpy as np  # noqa: E402

T_MAIN = 200
KF_SIZES = [(4, 2, 2), (10, 3, 3), (20, 5, 5), (40, 8, 8)]
UKF_SIZES = [(3, 3, 1, 2), (6, 6, 3, 3), (10, 10, 5, 3)]  # ns, nc, ne, no
UKF_SETTINGS = dict(alpha=1.0, beta=2.0, kappa=0.0)
THREAD_KF = (20, 5, 5)
THREAD_UKF = (6, 6, 3, 3)
# loglik agreement required of each peer, relative
TOL = {"numba": 1e-9, "statsmodels": 1e-8, "filterpy": 1e-6}


def log(msg):
    print(msg, flush=True)


# ---- the library -------------------------------------------------------------

def _sources_newer_than(so_path):
    sources = glob.glob(os.path.join(ROOT, "Orvanta", "_ckernels", "**", "*.cpp"),
                        recursive=True)
    sources += glob.glob(os.path.join(ROOT, "Orvanta", "_ckernels", "**", "*.h"),
                         recursive=True)
    so_time = os.path.getmtime(so_path)
    return sorted(os.path.relpath(p, ROOT) for p in sources if os.path.getmtime(p) > so_time)


def _build_library():
    """Configures and builds the extension into build/bench/module (Release)."""
    module_dir = os.path.join(BUILD, "module")
    build_dir = os.path.join(BUILD, "lib")
    log(f"building the extension into {os.path.relpath(module_dir, ROOT)} ...")
    subprocess.run(["cmake", "-S", ROOT, "-B", build_dir, "-G", "Ninja",
                    "-DCMAKE_BUILD_TYPE=Release", f"-DORVANTA_MODULE_DIR={module_dir}"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build_dir, "--target", "_kalman"], check=True,
                   stdout=subprocess.DEVNULL)
    found = glob.glob(os.path.join(module_dir, "_kalman*.so"))
    if len(found) != 1:
        raise RuntimeError(f"expected one _kalman shared object in {module_dir}, got {found}")
    return found[0]


def load_library(force_build):
    """The extension module: the in-place build of the checkout, or a fresh
    Release build under build/bench when asked for (or when there is none)."""
    name = "Orvanta._ckernels.kalman._kalman"
    if not force_build:
        try:
            import Orvanta._ckernels.kalman._kalman as lib
            return lib, lib.__file__
        except ImportError as exc:
            log(f"no importable in-place build ({exc}); building one")
    so_path = _build_library()
    import Orvanta._ckernels.kalman  # noqa: F401  (parent package)
    loader = importlib.machinery.ExtensionFileLoader(name, so_path)
    spec = importlib.util.spec_from_file_location(name, so_path, loader=loader)
    lib = importlib.util.module_from_spec(spec)
    loader.exec_module(lib)
    sys.modules[name] = lib
    return lib, so_path


# ---- what else the machine was doing ------------------------------------------

class CpuMeter:
    """CPU time spent by other processes while we ran, from /proc/stat minus
    this process's own (and its children's) CPU time. Timings taken on a busy
    machine are not comparable with those of a quiet one."""

    def __init__(self):
        self.tick = os.sysconf("SC_CLK_TCK")
        self.start = self.sample()

    def sample(self):
        try:
            with open("/proc/stat", encoding="ascii") as fh:
                vals = [int(v) for v in fh.readline().split()[1:9]]
            busy = (sum(vals) - vals[3] - vals[4]) / self.tick
        except (OSError, ValueError, IndexError):
            busy = float("nan")
        own = sum(getattr(resource.getrusage(who), f) for who in
                  (resource.RUSAGE_SELF, resource.RUSAGE_CHILDREN)
                  for f in ("ru_utime", "ru_stime"))
        return busy, own, time.perf_counter()

    def others_share(self, since=None):
        """Fraction of all cores busy with other processes since `since`
        (a previous sample) or since construction."""
        b0, o0, t0 = since or self.start
        b1, o1, t1 = self.sample()
        return max(0.0, (b1 - b0) - (o1 - o0)) / ((t1 - t0) * (os.cpu_count() or 1))

    def idle_check(self, seconds=0.5):
        before = self.sample()
        time.sleep(seconds)
        return self.others_share(before)


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
        result = {"flags": " ".join(flags)}
        for line in run.stdout.splitlines():
            parts = line.split()
            if parts[0] == "vector":
                result.update(vector_fma_per_s=float(parts[1]), lanes=int(parts[2]),
                              isa=parts[3])
            elif parts[0] == "scalar":
                result["scalar_fma_per_s"] = float(parts[1])
        return result
    raise RuntimeError("could not build or run bench/fma_peak.c:\n" + "\n".join(errors))


def kf_fma_per_period(n, m):
    return 4 * n**3 + 3 * n**2 * m + 3 * n * m**2 + m**3 / 6


# ---- timing -------------------------------------------------------------------

class Bench:
    def __init__(self, quick, meter):
        self.quick = quick
        self.meter = meter
        self.last_others = 0.0  # other processes' CPU share during the last run()
        self.rounds = 5 if quick else 31
        self.min_rounds = 2 if quick else 5
        self.target_ns = 3e6 if quick else 25e6  # time per batch
        self.slow_budget_ns = 0.3e9 if quick else 4e9  # per slow peer and case

    def run(self, entries):
        """entries: list of (label, fn). Warms up, then times the entries
        interleaved, round after round. Returns label -> list of per-call ns."""
        before = self.meter.sample()
        plan = []
        for label, fn in entries:
            # Each entry has already run once (the log-likelihood check); one
            # more call warms it up and sizes its batch.
            t0 = time.perf_counter_ns()
            fn()
            once = max(time.perf_counter_ns() - t0, 1)
            if once < 20e6:
                fn()
                t0 = time.perf_counter_ns()
                fn()
                once = max(time.perf_counter_ns() - t0, 1)
            batch = max(1, int(self.target_ns // once))
            rounds = self.rounds
            if batch == 1:
                rounds = int(max(self.min_rounds, min(self.rounds,
                                                      self.slow_budget_ns // once)))
            plan.append((label, fn, batch, rounds))
        samples = {label: [] for label, *_ in plan}
        for r in range(max(p[3] for p in plan)):
            for label, fn, batch, rounds in plan:
                if r >= rounds:
                    continue
                t0 = time.perf_counter_ns()
                for _ in range(batch):
                    fn()
                samples[label].append((time.perf_counter_ns() - t0) / batch)
        self.last_others = self.meter.others_share(before)
        return samples


def med(xs):
    return statistics.median(xs)


def rel_err(a, b):
    return abs(a - b) / max(abs(b), 1e-300)


# ---- the benchmark groups ------------------------------------------------------

def _check_and_time(bench, candidates, ref, base, what):
    """Checks each candidate's log-likelihood against the library's `ref`,
    times the ones that agree side by side, and returns one row per candidate
    (`base` plus the check, and the median, samples and ratio to the library
    when timed). A candidate that disagrees is logged and left untimed."""
    entries, rows = [], []
    for label, family, fn, tol_key in candidates:
        check = _check(fn, ref, tol_key)
        rows.append(dict(base, impl=label, family=family, **check))
        if check["ok"]:
            entries.append((label, fn))
        else:
            log(f"WARNING {what} {label}: loglik {check['loglik']!r} vs library {ref!r} "
                f"(rel. err. {check['rel_err']:.3g}); not timed")
    samples = bench.run(entries)
    lib_ns = med(samples["library"])
    for row in rows:
        row["others_cpu"] = bench.last_others
        if row["impl"] in samples:
            t = med(samples[row["impl"]])
            row.update(median_ns=t, samples_ns=samples[row["impl"]], ratio=t / lib_ns)
    return rows


def bench_kf(lib, numba_kf, bench, results):
    import models
    import peers_other

    for n, m, k in KF_SIZES:
        model = models.linear_model(n, m, k, T_MAIN, seed=1000 + n)
        args = models.kf_args(model)
        ref = lib.kalman_hot_loop(*args)[2][-1]
        fmas = kf_fma_per_period(n, m) * T_MAIN
        sm = peers_other.StatsmodelsKF(model)
        candidates = [
            ("library", "kalman_hot_loop", lambda: lib.kalman_hot_loop(*args)[2][-1], None),
            ("numba fastmath=False", "numba", lambda: numba_kf[False](*args)[2][-1], "numba"),
            ("numba fastmath=True", "numba", lambda: numba_kf[True](*args)[2][-1], "numba"),
            ("statsmodels filter()", "statsmodels", sm.filter, "statsmodels"),
            ("statsmodels _filter()", "statsmodels", sm.bare, "statsmodels"),
        ]
        rows = _check_and_time(bench, candidates, ref,
                               dict(case=f"{n},{m},{k}", n=n, m=m, k=k, T=T_MAIN),
                               f"kf ({n},{m},{k})")
        if not sm_converged_ok(sm):
            log(f"WARNING kf ({n},{m},{k}): statsmodels reports steady-state convergence")
        for row in rows:
            if "median_ns" in row:
                row["fma_per_s"] = fmas / (row["median_ns"] * 1e-9)
        _keep_faster_numba(rows)
        results["kf"].extend(rows)
        _print_rows(rows, f"kalman_hot_loop ({n},{m},{k}), T={T_MAIN}")


def sm_converged_ok(sm):
    try:
        return not sm.converged()
    except Exception:  # noqa: BLE001 (attribute missing in other versions)
        return True


def bench_ukf(lib, numba_ukf, bench, results):
    import models
    import peers_other

    addr = models.meas_quadratic_cfunc.address
    for ns, nc, ne, no in UKF_SIZES:
        model = models.pruned_model(ns, nc, ne, no, T_MAIN, seed=2000 + ns)
        a_lib = models.ukf_args(addr, model, **UKF_SETTINGS)
        a_nb = models.ukf_args(models.meas_quadratic, model, **UKF_SETTINGS)
        ref = lib.ukf_hot_loop(*a_lib)[2][-1]
        fp = peers_other.FilterpyUKF(model, **UKF_SETTINGS)
        candidates = [
            ("library", "ukf_hot_loop", lambda: lib.ukf_hot_loop(*a_lib)[2][-1], None),
            ("numba fastmath=False", "numba", lambda: numba_ukf[False](*a_nb)[2][-1], "numba"),
            ("numba fastmath=True", "numba", lambda: numba_ukf[True](*a_nb)[2][-1], "numba"),
            ("filterpy UKF", "filterpy", fp.run, "filterpy"),
        ]
        rows = _check_and_time(
            bench, candidates, ref,
            dict(case=f"{ns},{nc},{ne},{no}", ns=ns, nc=nc, ne=ne, no=no, T=T_MAIN),
            f"ukf ns={ns}")
        _keep_faster_numba(rows)
        results["ukf"].extend(rows)
        _print_rows(rows, f"ukf_hot_loop ns={ns} nc={nc} ne={ne} no={no}, T={T_MAIN}")


def bench_overhead(lib, numba_kf, bench, results):
    import models
    import peers_other

    model = models.linear_model(4, 2, 2, 1, seed=3000)
    args = models.kf_args(model)
    ref = lib.kalman_hot_loop(*args)[2][-1]
    sm = peers_other.StatsmodelsKF(model)
    candidates = [
        ("library", "kalman_hot_loop", lambda: lib.kalman_hot_loop(*args)[2][-1], None),
        ("numba fastmath=False", "numba", lambda: numba_kf[False](*args)[2][-1], "numba"),
        ("numba fastmath=True", "numba", lambda: numba_kf[True](*args)[2][-1], "numba"),
        ("statsmodels _filter()", "statsmodels", sm.bare, "statsmodels"),
        ("statsmodels filter()", "statsmodels", sm.filter, "statsmodels"),
    ]
    if not bench.quick:
        # The same numba loop called with its two optional arguments left out,
        # as kalman_hot_loop's callers may: numba's dispatcher then takes its
        # slow path for omitted defaults (this compiles one more signature).
        best = _faster_numba_setting(results["kf"], "4,2,2")
        candidates.append((f"numba fastmath={best}, last two args omitted", "numba-omitted",
                           lambda: numba_kf[best](*args[:13])[2][-1], "numba"))
    rows = _check_and_time(bench, candidates, ref, dict(case="4,2,2 T=1"), "overhead")
    _keep_faster_numba(rows)
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
        start = threading.Barrier(3)
        cpu = []

        def worker(fn):
            start.wait()
            c0 = time.thread_time_ns()
            loop(fn)
            cpu.append(time.thread_time_ns() - c0)

        threads = [threading.Thread(target=worker, args=(fn,)) for fn in (fn_a, fn_b)]
        for th in threads:
            th.start()
        start.wait()
        t0 = time.perf_counter_ns()
        for th in threads:
            th.join()
        two.append(time.perf_counter_ns() - t0)
        cores.append(sum(cpu) / two[-1])
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
    got = float(fn())
    err = rel_err(got, ref)
    ok = tol_key is None or (np.isfinite(got) and err <= TOL[tol_key])
    return dict(loglik=got, rel_err=err, tol=TOL.get(tol_key), ok=bool(ok))


def _faster_numba_setting(rows, case):
    best = [r for r in rows if r["case"] == case and r.get("best_numba")]
    return best[0]["impl"].endswith("True") if best else True


def _keep_faster_numba(rows):
    """Marks the faster of the two numba variants as the one that counts."""
    timed = [r for r in rows if r["family"] == "numba" and "median_ns" in r]
    if timed:
        best = min(timed, key=lambda r: r["median_ns"])
        for r in timed:
            r["best_numba"] = r is best


def _print_rows(rows, title):
    log(f"\n== {title}")
    for r in rows:
        if "median_ns" not in r:
            log(f"  {r['impl']:24s} NOT TIMED: loglik differs (rel. err. {r['rel_err']:.3g})")
            continue
        extra = ""
        if "fma_per_s" in r:
            extra = f"  {r['fma_per_s'] / 1e9:6.2f} GFMA/s"
        log(f"  {r['impl']:24s} {r['median_ns'] / 1e3:12.1f} us  x{r['ratio']:7.2f}{extra}"
            f"  (loglik rel. err. {r['rel_err']:.1e})")


# ---- report -------------------------------------------------------------------

def _fmt_us(ns):
    us = ns / 1e3
    if us >= 1000:
        return f"{us:,.0f}"
    if us >= 10:
        return f"{us:.1f}"
    return f"{us:.2f}"


def _spread(samples):
    """Half the interquartile range, relative to the median, in percent."""
    if len(samples) < 4:
        return f"(n={len(samples)})"
    q = statistics.quantiles(samples, n=4)
    return f"{50.0 * (q[2] - q[0]) / statistics.median(samples):.1f}%"


def _case_rows(entries, n_cols, cells):
    """Markdown rows of a results table, one per case and implementation:
    the case, the implementation's name, then `cells(row)`; a peer whose
    log-likelihood disagreed is listed untimed, with its deviation last."""
    lines = []
    for case in dict.fromkeys(r["case"] for r in entries):
        rows = [r for r in entries if r["case"] == case]
        numba_rows = [r for r in rows if r["family"] == "numba"]
        for r in _impl_rows(rows):
            if "median_ns" not in r:
                lines.append(f"| {case} | ⚠ {r['impl']} | not timed: loglik differs |"
                             + " |" * (n_cols - 4) + f" {r['rel_err']:.1e} |")
                continue
            lines.append(f"| {case} | {_impl_name(r, numba_rows)} | " + " | ".join(cells(r)) + " |")
    return lines


def _impl_rows(rows):
    """Rows shown in the tables: the library, the faster numba variant (the
    other one as a note), the rest; untimed peers as warning rows."""
    shown = []
    numba_rows = [r for r in rows if r["family"] == "numba"]
    for r in rows:
        if r["family"] == "numba":
            if "median_ns" in r and not r.get("best_numba"):
                continue
            if "median_ns" not in r and any("median_ns" in x for x in numba_rows):
                continue
        shown.append(r)
    return shown


def _impl_name(r, numba_rows):
    if r["family"] != "numba":
        return r["impl"] if r["impl"] != "library" else "**library**"
    other = [x for x in numba_rows if x is not r and "median_ns" in x]
    note = f" (other setting: {_fmt_us(other[0]['median_ns'])} µs)" if other else ""
    return f"{r['impl']}{note}"


def _busy_note(rows):
    shares = {r["case"]: r["others_cpu"] for r in rows if "others_cpu" in r}
    text = ", ".join(f"{case}: {100 * share:.0f}%" for case, share in shares.items())
    return ["", f"Other processes' CPU use (share of all cores) while each case ran: {text}."]


def write_markdown(results, path):
    meta, peak = results["meta"], results["fma_peak"]
    vec = peak["vector_fma_per_s"]
    lines = [
        "# Benchmark results",
        "",
        f"`bash tools/env.sh python3 bench/run.py{' --quick' if meta['quick'] else ''}`, "
        f"{meta['date']}, total run time {meta['elapsed_s']:.0f} s.",
        "",
        f"- Machine: {meta['cpu']}, {meta['cores']} cores; Python {meta['python']}, "
        f"NumPy {meta['numpy']}, numba {meta['numba']}, statsmodels {meta['statsmodels']}, "
        f"filterpy {meta['filterpy']}.",
        f"- Library: `{meta['library']}`.",
        f"- Other processes' CPU use: {100 * meta['others_cpu_before']:.0f}% of the cores "
        f"just before the run, {100 * meta['others_cpu_during']:.0f}% during it"
        + (" — **the machine was busy; treat the numbers as noisy**."
           if max(meta["others_cpu_before"], meta["others_cpu_during"]) > 0.1 else "."),
        f"- FMA peak of one core, measured by `bench/fma_peak.c` (gcc {peak['flags']}, "
        f"{peak['isa']}, {peak['lanes']} lanes): **{vec / 1e9:.1f} GFMA/s** "
        f"(scalar `vfmadd…sd` chains: {peak['scalar_fma_per_s'] / 1e9:.1f} GFMA/s).",
        "- Times are medians of per-call wall times over interleaved rounds "
        "(`time.perf_counter_ns`); ± is half the interquartile range. "
        "Ratio = peer time / library time: above 1 the library is faster, "
        "below 1 the peer is faster.",
        "- Every peer's log-likelihood was checked against the library's before timing "
        f"(relative tolerance: numba {TOL['numba']:g}, statsmodels {TOL['statsmodels']:g}, "
        f"filterpy {TOL['filterpy']:g}); the largest deviation is shown.",
        "",
        f"## Linear Kalman filter, `kalman_hot_loop`, full history, T = {T_MAIN}",
        "",
        "FMA/s counts 4n³ + 3n²m + 3nm² + m³/6 fused multiply-adds per period.",
        "",
        "| n, m, k | implementation | median µs/call | ± | ratio to library "
        "| GFMA/s | % of FMA peak | loglik rel. diff. |",
        "|---|---|---:|---:|---:|---:|---:|---:|",
    ]
    lines += _case_rows(results["kf"], 8, lambda r: [
        _fmt_us(r["median_ns"]), _spread(r["samples_ns"]), f"{r['ratio']:.2f}",
        f"{r['fma_per_s'] / 1e9:.2f}", f"{100 * r['fma_per_s'] / vec:.1f}%",
        f"{r['rel_err']:.1e}"])
    lines += _busy_note(results["kf"])
    lines += [
        "",
        f"## Pruned second-order UKF, `ukf_hot_loop`, full history, T = {T_MAIN}",
        "",
        f"alpha = {UKF_SETTINGS['alpha']}, beta = {UKF_SETTINGS['beta']}, "
        f"kappa = {UKF_SETTINGS['kappa']}; quadratic measurement (numba cfunc for the "
        "library, the same numba function for the numba loop, NumPy for filterpy).",
        "",
        "| ns, nc, ne, no | implementation | median µs/call | ± | ratio to library "
        "| loglik rel. diff. |",
        "|---|---|---:|---:|---:|---:|",
    ]
    lines += _case_rows(results["ukf"], 6, lambda r: [
        _fmt_us(r["median_ns"]), _spread(r["samples_ns"]), f"{r['ratio']:.2f}",
        f"{r['rel_err']:.1e}"])
    lines += _busy_note(results["ukf"])
    lines += [
        "",
        "## Per-call overhead, `kalman_hot_loop` (4,2,2), T = 1",
        "",
        "| implementation | median µs/call | ± | ratio to library |",
        "|---|---:|---:|---:|",
    ]
    rows = results["overhead"]
    numba_rows = [r for r in rows if r["family"] == "numba"]
    for r in _impl_rows(rows):
        if "median_ns" not in r:
            lines.append(f"| ⚠ {r['impl']} | not timed: loglik differs | | |")
            continue
        lines.append(f"| {_impl_name(r, numba_rows)} | {_fmt_us(r['median_ns'])} | "
                     f"{_spread(r['samples_ns'])} | {r['ratio']:.2f} |")
    lines += _busy_note(results["overhead"])
    lines += [
        "",
        "## Two threads, different models, at the same time",
        "",
        "Each thread calls the loop on its own model; one thread makes the same calls "
        "one after the other. Ratio = two-thread throughput / one-thread throughput "
        f"(2.00 is perfect scaling on the {meta['cores']} cores). \"Cores the two threads "
        "got\" is their CPU time over the wall time: well below 2 means other processes "
        "held a core and the ratio understates the scaling.",
        "",
        "| loop | model | calls per thread | 1 thread calls/s | 2 threads calls/s | ratio "
        "| cores the two threads got | other processes' CPU meanwhile |",
        "|---|---|---:|---:|---:|---:|---:|---:|",
    ]
    for r in results["threads"]:
        lines.append(f"| {r['loop']} | {r['case']} | {r['calls_per_thread']} | "
                     f"{r['one_thread_calls_per_s']:.1f} | {r['two_threads_calls_per_s']:.1f} | "
                     f"{r['ratio']:.2f} | {r['cores_used']:.2f} | {100 * r['others_cpu']:.0f}% |")
    comp = results["numba_compile_s"]
    kf_note = "loaded from numba's cache" if comp["kf_from_cache"] else "compiled"
    lines += ["", f"numba set-up, both fastmath settings, not part of any timing above: "
              f"linear loop {comp['kf']:.1f} s ({kf_note}), unscented loop {comp['ukf']:.1f} s "
              "(compiled).", ""]
    with open(path, "w", encoding="utf-8") as fh:
        fh.write("\n".join(lines))


def machine_meta(quick, so_path):
    cpu = platform.processor() or "unknown CPU"
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as fh:
            for line in fh:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    versions = {}
    for mod in ("numpy", "numba", "statsmodels", "filterpy", "scipy"):
        try:
            versions[mod] = __import__(mod).__version__
        except Exception:  # noqa: BLE001
            versions[mod] = "missing"
    return dict(quick=quick, date=time.strftime("%Y-%m-%d %H:%M:%S"), cpu=cpu,
                cores=os.cpu_count(), python=platform.python_version(),
                library=os.path.relpath(so_path, ROOT), **versions)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true",
                        help="fewer rounds and shorter batches (about 30 s)")
    parser.add_argument("--build", action="store_true",
                        help="build the extension afresh under build/bench and time that")
    opts = parser.parse_args()
    start = time.perf_counter()
    meter = CpuMeter()
    busy_before = meter.idle_check()
    if busy_before > 0.1:
        log(f"WARNING: other processes keep {100 * busy_before:.0f}% of the cores busy; "
            "timings will be noisy and two-thread scaling understated")

    lib, so_path = load_library(opts.build)
    stale = _sources_newer_than(so_path)
    if stale:
        log(f"WARNING: {so_path} is older than {', '.join(stale)}; "
            "rebuild or pass --build to time the current sources")
    log(f"library: {so_path}")

    peak = fma_peak(opts.quick)
    log(f"FMA peak ({peak['isa']}): {peak['vector_fma_per_s'] / 1e9:.1f} GFMA/s vector, "
        f"{peak['scalar_fma_per_s'] / 1e9:.1f} GFMA/s scalar")

    import models
    import peers_numba

    # Compile the numba peers up front (first call per specialisation).
    t0 = time.perf_counter()
    numba_kf = {fm: peers_numba.make_kalman_hot_loop(fm) for fm in (False, True)}
    small = models.linear_model(2, 1, 1, 3, seed=0)
    for fm in (False, True):
        numba_kf[fm](*models.kf_args(small))
    kf_cached = all(sum(f.stats.cache_hits.values()) > 0 for f in numba_kf.values())
    t1 = time.perf_counter()
    numba_ukf = {fm: peers_numba.make_ukf_hot_loop(fm) for fm in (False, True)}
    small_ukf = models.pruned_model(2, 1, 1, 1, 3, seed=0)
    for fm in (False, True):
        numba_ukf[fm](*models.ukf_args(models.meas_quadratic, small_ukf, **UKF_SETTINGS))
    lib.ukf_hot_loop(*models.ukf_args(models.meas_quadratic_cfunc.address, small_ukf,
                                      **UKF_SETTINGS))
    compile_s = dict(kf=t1 - t0, kf_from_cache=kf_cached, ukf=time.perf_counter() - t1)
    log(f"numba peers ready: linear loop {compile_s['kf']:.1f} s"
        f"{' (from the cache)' if kf_cached else ''}, unscented loop {compile_s['ukf']:.1f} s")

    results = dict(fma_peak=peak, numba_compile_s=compile_s, kf=[], ukf=[], overhead=[],
                   threads=[])
    bench = Bench(opts.quick, meter)
    bench_kf(lib, numba_kf, bench, results)
    bench_ukf(lib, numba_ukf, bench, results)
    bench_overhead(lib, numba_kf, bench, results)
    bench_threads(lib, bench, results, meter)

    results["meta"] = machine_meta(opts.quick, so_path)
    results["meta"]["elapsed_s"] = time.perf_counter() - start
    results["meta"]["others_cpu_before"] = busy_before
    results["meta"]["others_cpu_during"] = meter.others_share()
    if stale:
        results["meta"]["stale_sources"] = stale
    results["meta"]["ratio"] = "peer median time / library median time"
    with open(os.path.join(BENCH, "results.json"), "w", encoding="utf-8") as fh:
        json.dump(results, fh, indent=1)
    write_markdown(results, os.path.join(BENCH, "results.md"))
    log(f"\nwrote bench/results.md and bench/results.json "
        f"({results['meta']['elapsed_s']:.0f} s)")


if __name__ == "__main__":
    main()
