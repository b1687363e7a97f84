"""Reports of bench/run.py: the CPU's identity, one Markdown file per run
(bench/results/<cpu>.md, beside the run's JSON) and the index over every
CPU's results (bench/results.md).

    bash tools/env.sh python3 bench/report.py   # rewrites the index from the JSON files
"""

import glob
import json
import os
import re
import statistics

BENCH = os.path.dirname(os.path.abspath(__file__))
RESULTS_DIR = os.path.join(BENCH, "results")
INDEX = os.path.join(BENCH, "results.md")

# x86 feature flags worth recording beside the results
SIMD_FLAGS = ("sse4_2", "avx", "fma", "avx2", "avx512f", "avx512dq", "avx512vl",
              "avx512_fp16", "amx_tile")


# ---- which CPU ---------------------------------------------------------------------

def cpu_identity(cpuinfo_path="/proc/cpuinfo"):
    """The first processor's model name, vendor, family, model and stepping
    and its SIMD flags, from /proc/cpuinfo. Virtual machines often show a
    generic name (e.g. "Intel(R) Xeon(R) Processor"); the family and model
    numbers still tell the generation."""
    fields = {}
    try:
        with open(cpuinfo_path, encoding="utf-8") as fh:
            for line in fh:
                if not line.strip():
                    break  # end of the first processor's block
                key, _, val = line.partition(":")
                fields[key.strip()] = val.strip()
    except OSError:
        pass
    flags = set(fields.get("flags", "").split())

    def number(key):
        try:
            return int(fields[key])
        except (KeyError, ValueError):
            return None

    return dict(name=fields.get("model name", "unknown CPU"),
                vendor=fields.get("vendor_id"), family=number("cpu family"),
                model=number("model"), stepping=number("stepping"),
                simd_flags=[f for f in SIMD_FLAGS if f in flags])


def cpu_slug(cpu):
    """File name for a CPU's results: its name without trade marks, clock and
    filler words, then the family and model numbers when known, e.g.
    "intel-xeon-f6-m207" or "amd-epyc-9r14-f25-m17"."""
    name = cpu["name"].lower()
    name = re.sub(r"\((r|tm)\)", " ", name)
    name = re.sub(r"@.*$", " ", name)
    name = re.sub(r"\b(processor|cpu|\d+-core)\b", " ", name)
    slug = "-".join(re.findall(r"[a-z0-9]+", name)) or "unknown-cpu"
    if cpu.get("family") is not None and cpu.get("model") is not None:
        slug += f"-f{cpu['family']}-m{cpu['model']}"
    return slug


def cpu_label(cpu):
    """"Intel(R) Xeon(R) Processor (GenuineIntel, family 6, model 207)"."""
    parts = [p for p in (cpu.get("vendor"),
                         cpu.get("family") is not None and f"family {cpu['family']}",
                         cpu.get("model") is not None and f"model {cpu['model']}") if p]
    return cpu["name"] + (f" ({', '.join(parts)})" if parts else "")


def run_cpu(results):
    """The CPU of a results file; files written before the family and model
    were recorded carry the name alone, under meta.cpu."""
    cpu = results["meta"].get("cpu")
    return cpu if isinstance(cpu, dict) else dict(name=cpu or "unknown CPU")


# ---- one run --------------------------------------------------------------------------

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


NUMBA_STYLE_NAMES = {"loops": "loops", "axpy": "axpy", "dot": "np.dot"}


def _numba_note(r, numba_rows):
    """The times of every numba variant of the case, compact: per style,
    fastmath off / on, in µs; "✗" for one whose log-likelihood disagreed."""
    styles = {}
    for x in numba_rows:
        style = x.get("numba_style")
        if style is None:
            continue
        cell = _fmt_us(x["median_ns"]) if "median_ns" in x else "✗"
        styles.setdefault(style, {})[x["fastmath"]] = cell
    if styles:
        text = ", ".join(f"{NUMBA_STYLE_NAMES.get(st, st)} {v.get(False, '–')} / "
                         f"{v.get(True, '–')}" for st, v in styles.items())
        return f"<br><sub>all, fastmath off / on, µs: {text}</sub>"
    other = [x for x in numba_rows if x is not r and "median_ns" in x]
    return f" (other setting: {_fmt_us(other[0]['median_ns'])} µs)" if other else ""


def _impl_rows(rows):
    """Rows shown in the tables: the library, the fastest numba variant (the
    others in a note), the rest; untimed peers as warning rows."""
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
    return f"{r['impl']}{_numba_note(r, numba_rows)}"


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
            lines.append(f"| {case} | {_impl_name(r, numba_rows)} | "
                         + " | ".join(cells(r)) + " |")
    return lines


def _busy_note(rows):
    shares = {r["case"]: r["others_cpu"] for r in rows if "others_cpu" in r}
    text = ", ".join(f"{case}: {100 * share:.0f}%" for case, share in shares.items())
    return ["", f"Other processes' CPU use (share of all cores) while each case ran: {text}."]


def _kf_table(rows, vec):
    lines = [
        "| n, m, k | implementation | median µs/call | ± | ratio to library "
        "| GFMA/s | % of FMA peak | loglik rel. diff. |",
        "|---|---|---:|---:|---:|---:|---:|---:|",
    ]
    lines += _case_rows(rows, 8, lambda r: [
        _fmt_us(r["median_ns"]), _spread(r["samples_ns"]), f"{r['ratio']:.2f}",
        f"{r['fma_per_s'] / 1e9:.2f}", f"{100 * r['fma_per_s'] / vec:.1f}%",
        f"{r['rel_err']:.1e}"])
    return lines + _busy_note(rows)


# What each step of bench/filter_steps.c computes, in the table's words.
STEP_LABELS = {
    "state_predict": "x_pred = A x",
    "product_nnn": "A P, (A P) Aᵀ, (I − K C) P, · (I − K C)ᵀ",
    "sym_state": "P_pred and P_filt symmetrised",
    "meas_rows": "C P_pred",
    "meas_cov": "(C P_pred) Cᵀ",
    "sym_meas": "S symmetrised",
    "chol": "Cholesky of S",
    "subst": "L⁻¹ v, L⁻ᵀ u",
    "gain": "gain, exported step (see above)",
    "state_update": "x_filt = x_pred + K v",
    "product_nmn": "(K C)ᵀ = Cᵀ Kᵀ, (K R) Kᵀ",
    "identity_minus": "I − K C",
    "product_nmm": "K R",
}


def _steps_section(steps, kf_lik, vec, t_main):
    """The likelihood-alone period step by step beside the loop itself."""
    lines = [
        "## The likelihood-alone period, step by step (`bench/filter_steps.c`)",
        "",
        "Each step of one fully observed period, timed alone (the best of two runs of "
        "seven trials of many calls, operands in cache) through the extension's exported "
        "kernels: the products through `orv_matmul`, the loop's product kernel on the "
        "same shapes. Each cell is ns per period (share of the FMA peak). Their sum is "
        "about the fastest a period runs with these kernels, and its share of the peak "
        "about the most the loop can reach before what it loses between steps; the gain's "
        "row is the exported step, which gathers its rows across the vector lanes and is "
        "slower than the loop's own solve, so the sum overstates the period by the "
        "difference. Models with a loop specialised for their size inline the steps "
        "there, and that loop can beat their sum. The last row is the loop itself, "
        "`kalman_hot_loop` with the likelihood alone (the table above), per period (its "
        f"time over T = {t_main}).",
        "",
    ]
    if not steps:
        return lines + ["(not measured in this run)", ""]
    keys = list(steps)
    lines += ["| step | " + " | ".join(f"({key})" for key in keys) + " |",
              "|---|" + "---:|" * len(keys)]

    def cell(ns, fmas):
        return f"{ns:,.0f}" + (f" ({100 * fmas / (ns * 1e-9) / vec:.0f}%)" if fmas else "")
    for i, first in enumerate(steps[keys[0]]["steps"]):
        label = STEP_LABELS.get(first["step"], first["step"])
        calls = f" ×{first['calls']}" if first["calls"] > 1 else ""
        lines.append(f"| {label}{calls} | " + " | ".join(
            cell(steps[key]["steps"][i]["ns"], steps[key]["steps"][i]["fmas"])
            for key in keys) + " |")
    lines.append("| **sum of the steps** | " + " | ".join(
        "**" + cell(steps[key]["period_ns"], steps[key]["period_fmas"]) + "**"
        for key in keys) + " |")
    loop = {f"{r['n']},{r['m']}": r for r in kf_lik if r["impl"] == "library"}
    lines.append("| the loop (`kalman_hot_loop`, likelihood alone) | " + " | ".join(
        cell(loop[key]["median_ns"] / t_main, steps[key]["period_fmas"]) if key in loop
        else "" for key in keys) + " |")
    return lines + [""]


def _dot_cores(results):
    """How many cores the np.dot variants kept busy while timed: this
    process's CPU time over the wall time, the largest median over cases."""
    used = [r["cores_used"] for key in ("kf_lik", "kf") for r in results.get(key, [])
            if r.get("numba_style") == "dot" and "cores_used" in r]
    if not used:
        return ""
    return (f"; the np.dot variants used at most {max(used):.2f} cores while timed "
            "(CPU time over wall time: one thread)" if max(used) < 1.2 else
            f"; the np.dot variants used up to {max(used):.2f} cores while timed "
            "(CPU time over wall time: BLAS threads)")


def write_markdown(results, path, tol, t_main, ukf_settings):
    meta, peak = results["meta"], results["fma_peak"]
    vec = peak["vector_fma_per_s"]
    blas = meta.get("blas", {})
    chains = peak.get("by_chains", {})
    sweep = ", ".join(f"{c}: {v / 1e9:.1f}" for c, v in sorted(chains.items(),
                                                                 key=lambda kv: int(kv[0])))
    lines = [
        f"# Benchmark results: {cpu_label(run_cpu(results))}",
        "",
        f"`bash tools/env.sh python3 bench/run.py{' --quick' if meta['quick'] else ''}`, "
        f"{meta['date']}, total run time {meta['elapsed_s']:.0f} s.",
        "",
        f"- Machine: {cpu_label(run_cpu(results))}, {meta['cores']} cores, SIMD flags "
        f"{' '.join(run_cpu(results).get('simd_flags', [])) or 'unknown'}; "
        f"Python {meta['python']}, NumPy {meta['numpy']}, SciPy {meta['scipy']}, "
        f"numba {meta['numba']}, statsmodels {meta['statsmodels']}, "
        f"filterpy {meta['filterpy']}, JAX {meta.get('jax', 'missing')}.",
        f"- BLAS behind numba's np.dot (SciPy's): {blas.get('library', 'not found')}"
        + (f", {blas['config']}" if blas.get("config") else "")
        + (f", {blas['threads']} threads allowed" if blas.get("threads") else "")
        + _dot_cores(results) + ".",
        f"- Library: `{meta['library']}`.",
        f"- Other processes' CPU use: {100 * meta['others_cpu_before']:.0f}% of the cores "
        f"just before the run, {100 * meta['others_cpu_during']:.0f}% during it"
        + (" — **the machine was busy; treat the numbers as noisy**."
           if max(meta["others_cpu_before"], meta["others_cpu_during"]) > 0.1 else "."),
        f"- FMA peak of one core, measured by `bench/fma_peak.c` (gcc {peak['flags']}: "
        f"{peak['isa']}, {peak['lanes']} lanes): **{vec / 1e9:.1f} GFMA/s**, reached with "
        f"{peak.get('chains', '?')} independent chains (GFMA/s by chains: {sweep}); "
        f"scalar `vfmadd…sd` chains: {peak['scalar_fma_per_s'] / 1e9:.1f} GFMA/s.",
        "- Times are medians of per-call wall times over interleaved rounds "
        "(`time.perf_counter_ns`); ± is half the interquartile range. "
        "Ratio = peer time / library time: above 1 the library is faster, "
        "below 1 the peer is faster.",
        "- Every peer's log-likelihood was checked against the library's, on two calls, "
        f"before timing (relative tolerance: numba {tol['numba']:g}, statsmodels "
        f"{tol['statsmodels']:g}, filterpy {tol['filterpy']:g}, JAX {tol.get('jax', 0):g}); "
        "the largest deviation is shown.",
        "- JAX (`bench/peers_jax.py`): the same recursion in float64 (Cholesky of S, "
        "Joseph form, covariances symmetrised), `jax.jit`-compiled before timing, for the "
        "likelihood alone; `jax.vmap` of it over the draws against the batch. It may use "
        "more than one core (see the cores columns).",
        "- statsmodels at its default tolerance freezes the gain once the predicted "
        "covariance has converged (not the full recursion); its row compares it with the "
        "library's full recursion, and the steady-state table with the library's own "
        "steady state.",
        "- numba: the fastest of six variants of the same algorithm counts, and the "
        "times of all six are given under its name: plain loops with products in the "
        "dot order, products in the axpy order (inner loop along rows, which LLVM "
        "vectorises), and products through `np.dot` into buffers (the BLAS above), "
        "each compiled with `fastmath=False` and `True` (`bench/peers_numba.py`). "
        "For the likelihood alone they allocate and store no history.",
        "- FMA/s counts 4n³ + 3n²m + 3nm² + m³/6 fused multiply-adds per period in both "
        "linear tables. Both tables come from one interleaved timing per case.",
        "",
        f"## Linear Kalman filter, `kalman_hot_loop`, log-likelihood alone "
        f"(`store_history=False`), T = {t_main}",
        "",
        "What optimisers and samplers call. statsmodels keeps nothing but the "
        "log-likelihood (`conserve_memory` = `MEMORY_CONSERVE | MEMORY_NO_FORECAST_MEAN "
        "| MEMORY_NO_STD_FORECAST`, `tolerance=0`): `loglike()` is the public call, "
        "`_filter()` the bare filter.",
        "",
    ]
    if results.get("kf_lik"):
        lines += _kf_table(results["kf_lik"], vec)
    else:
        lines.append("(not measured in this run)")
    if "filter_steps" in results:
        lines += [""] + _steps_section(results["filter_steps"], results.get("kf_lik", []), vec,
                                       t_main)
    lines += [
        "",
        f"## Linear Kalman filter, `kalman_hot_loop`, full history, T = {t_main}",
        "",
        "statsmodels stores every history array (`conserve_memory=0`, `tolerance=0`): "
        "`filter()` is the public call with its results object, `_filter()` the bare "
        "filter.",
        "",
    ]
    lines += _kf_table(results["kf"], vec)
    lines += [
        "",
        f"## Pruned second-order UKF, `ukf_hot_loop`, full history, T = {t_main}",
        "",
        f"alpha = {ukf_settings['alpha']}, beta = {ukf_settings['beta']}, "
        f"kappa = {ukf_settings['kappa']}; quadratic measurement (numba cfunc for the "
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
        "## Per-call overhead, `kalman_hot_loop` (4,2,2), T = 1, full history",
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
    if results.get("smoother"):
        import smoother
        lines += [""] + smoother.smoother_table(results["smoother"])
    lines += _batch_section(results.get("batch"), meta)
    if results.get("steady_state"):
        import steady_state
        lines += [""] + steady_state.steady_state_table(results["steady_state"])
        lines += [""] + steady_state.steady_batch_table(results.get("steady_state_batch"))
    comp = results["numba_compile_s"]
    kf_note = "loaded from numba's cache" if comp["kf_from_cache"] else "compiled"
    lines += ["", f"numba set-up, not part of any timing above: the six linear variants "
              f"{comp['kf']:.1f} s ({kf_note}), the unscented loop, both fastmath settings, "
              f"{comp['ukf']:.1f} s (compiled).", ""]
    with open(path, "w", encoding="utf-8") as fh:
        fh.write("\n".join(lines))


def _share(value):
    return "–" if value is None else f"{100 * value:.0f}%"


def _batch_target(r):
    """The row's target: throughput over single calls', or share of the peak
    (rows of older runs: a ratio)."""
    if r.get("target_kind", "ratio") == "ratio":
        return f"ratio ≥ {r['target']:.1f}"
    return f"≥ {100 * r['target']:.0f}% of the peak"


def _batch_section(rows, meta):
    """The batched log-likelihood against single calls (bench/batch.py)."""
    if not rows:
        return []
    timed = [r for r in rows if r.get("same_bits")]
    lines = [
        "",
        f"## Many draws at once, `kalman_loglik_batch`, N = {rows[0].get('N', 256)}, "
        f"T = {rows[0].get('T', 200)}",
        "",
        "One call for N parameter draws (each its own A, B, C, d, Q, R, x0, P0; one y) "
        "against N single `kalman_hot_loop` calls for the log-likelihood alone "
        "(`store_history=False`), timed interleaved in the same rounds, after checking "
        "that every draw's log-likelihood is bit for bit its single call's. Draws run "
        f"{timed[0]['lanes'] if timed else '?'} to a block, side by side in vector lanes. "
        "Ratio = single calls' time / batch time; two threads = one thread's time / two "
        "threads' time, beside the cores the two-thread call received (its CPU time over "
        f"its wall time; 2.00 is two whole cores of the {meta['cores']}; the helper thread, "
        "kept between calls, counts while it watches for the next) and what the host "
        "gives two independent one-thread batch calls made at once from two threads "
        "(their throughput over the same calls one after the other, and the cores they "
        "received): a host whose processors share a physical core holds that ratio well "
        "below 2.",
        "",
        "| n, m, k | N single calls, ms | batch, 1 thread, ms | ratio | % of FMA peak, "
        "batch (single calls) | target "
        "| batch, 2 threads, ms | two threads / one (target) | cores received "
        "| two independent calls at once / one after the other (cores) "
        "| jax.vmap, ms (/ batch 1 thread; cores) | other processes' CPU |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for r in rows:
        if not r.get("same_bits"):
            lines.append(f"| {r['case']} | ⚠ not timed: log-likelihoods differ | | | | | | | | | "
                         "| |")
            continue
        jax_cell = (f"{r['jax_vmap_ns'] / 1e6:.2f} ({r['jax_vmap_ratio']:.2f}; "
                    f"{r['jax_vmap_cores']:.2f})" if "jax_vmap_ns" in r else "–")
        lines.append(
            f"| {r['case']} | {r['single_ns'] / 1e6:.2f} | {r['batch_ns'] / 1e6:.2f} | "
            f"{r['ratio']:.2f} | {_share(r.get('peak_share'))} "
            f"({_share(r.get('single_peak_share'))}) | {_batch_target(r)} | "
            f"{r['batch2_ns'] / 1e6:.2f} | "
            f"{r['threads_ratio']:.2f} (≥ 1.8) | {r['cores_two']:.2f} | "
            f"{r['host_pair_ratio']:.2f} ({r['host_pair_cores']:.2f}) | {jax_cell} | "
            f"{100 * r['others_cpu']:.0f}% |")
    return lines


# ---- the index over all CPUs -------------------------------------------------------------

def _ratio_cell(rows, case):
    """"numba ×r (variant) · statsmodels ×r" for one case of one table: the
    fastest numba variant and the faster statsmodels call."""
    rows = [r for r in rows if r["case"] == case and "ratio" in r]
    parts = []
    numba = [r for r in rows if r["family"] == "numba" and r.get("best_numba")]
    if numba:
        r = numba[0]
        variant = NUMBA_STYLE_NAMES.get(r.get("numba_style"), "loops")
        fastmath = r.get("fastmath", r["impl"].endswith("True"))
        parts.append(f"numba ×{r['ratio']:.2f} ({variant}{', fm' if fastmath else ''})")
    sm = [r for r in rows if r["family"] == "statsmodels"]
    if sm:
        parts.append(f"statsmodels ×{min(r['ratio'] for r in sm):.2f}")
    return " · ".join(parts) or "–"


def write_index(results_dir=RESULTS_DIR, path=INDEX):
    """bench/results.md: one line per CPU whose results are in bench/results/,
    and the library's standing against the fastest numba variant and the
    faster statsmodels call at each size."""
    runs = []
    for json_path in sorted(glob.glob(os.path.join(results_dir, "*.json"))):
        with open(json_path, encoding="utf-8") as fh:
            runs.append((os.path.splitext(os.path.basename(json_path))[0], json.load(fh)))
    lines = [
        "# Benchmark results, per CPU",
        "",
        "`bash tools/env.sh python3 bench/run.py` writes its results to "
        "`bench/results/<cpu>.md` (and `.json`), one file per CPU model, and rewrites "
        "this index. Ratios are peer time / library time from one run on that machine "
        "(above 1 the library is faster); compare ratios, not times, across machines.",
        "",
        "| CPU | results | run | FMA peak of one core | other processes' CPU |",
        "|---|---|---|---:|---:|",
    ]
    for slug, res in runs:
        meta, peak = res["meta"], res["fma_peak"]
        busy = max(meta.get("others_cpu_before", 0.0), meta.get("others_cpu_during", 0.0))
        lines.append(f"| {cpu_label(run_cpu(res))} | [{slug}.md](results/{slug}.md) | "
                     f"{meta['date']}{' (quick)' if meta.get('quick') else ''} | "
                     f"{peak['vector_fma_per_s'] / 1e9:.1f} GFMA/s ({peak['isa']}) | "
                     f"{100 * busy:.0f}% |")
    cases = list(dict.fromkeys(r["case"] for _, res in runs for key in ("kf_lik", "kf")
                               for r in res.get(key, [])))
    for key, title in (("kf_lik", "log-likelihood alone (`store_history=False`)"),
                       ("kf", "full history")):
        lines += ["", f"## Linear filter, {title}: ratio to the library, T = 200", ""]
        lines += ["| CPU | " + " | ".join(f"({c})" for c in cases) + " |",
                  "|---|" + "---|" * len(cases)]
        for slug, res in runs:
            rows = res.get(key)
            cells = [_ratio_cell(rows, c) if rows else "not measured" for c in cases]
            lines.append(f"| [{slug}](results/{slug}.md) | " + " | ".join(cells) + " |")
    lines += ["", "numba: the fastest of its variants in that run (loops, axpy or np.dot; "
              "fm: fastmath=True); statsmodels: the faster of its two calls. Runs "
              "before the likelihood-alone table and the numba variants existed compared "
              "the plain loops only.", ""]
    with open(path, "w", encoding="utf-8") as fh:
        fh.write("\n".join(lines))


if __name__ == "__main__":
    write_index()
    print(f"wrote {os.path.relpath(INDEX, os.getcwd())}")
