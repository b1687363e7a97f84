"""Benchmark of kalman_filter's steady state (steady_state_tol): the
log-likelihood alone (store_history=False) with the full recursion in every
period and with the gain frozen once the predicted covariance has settled,
against statsmodels' KalmanFilter with tolerance=0 and with its default
tolerance, each with its log-likelihood error against the full recursion.

Run from bench/run.py (bench_steady_state), in the same process; the models
are those of its linear table (bench/models.py, T = 200, same seeds).

The tolerances:
- 1e-12;
- the one that matches statsmodels' default. statsmodels freezes once the
  sum of squares of the change of the predicted covariance falls below 1e-19
  (checked after period t on P_{t+1|t} - P_{t|t-1}, `period_converged` = t,
  the last period it runs in full); kalman_filter once the largest entry of
  that change falls below the tolerance, checked in period t + 1 on the same
  two predictions (it then runs period t + 1 in full and freezes its
  moments). The two stop on the same comparison for every tolerance in
  (c_{t+1}, min_{s <= t} c_s], c_s being the largest change at period s of
  the full recursion; the table uses the geometric mean of the two ends;
- sqrt(1e-19) = 3.16e-10: the largest entry is at most the square root of
  the sum of squares, so with it kalman_filter never freezes later than
  statsmodels.
"""

import math

import numpy as np

import models

SIZES = [(4, 2, 2), (10, 3, 3), (20, 5, 5), (40, 8, 8)]
T_STEADY = 200
KEYS = ("A", "B", "C", "d", "Q", "R", "y")
# at (40,8,8) with the tolerance matching statsmodels' default: the full
# recursion's time over the steady state's, and statsmodels' (default
# tolerance) over the steady state's
TARGETS = {"speedup": 2.0, "statsmodels_default": 2.5}
SM_BOUND = math.sqrt(1e-19)


def largest_changes(P_pred):
    """c[t] = max |P_pred[t] - P_pred[t-1]| (c[0] = inf)."""
    c = np.full(len(P_pred), np.inf)
    c[1:] = np.max(np.abs(np.diff(P_pred, axis=0)), axis=(1, 2))
    return c


def freeze_period(changes, tol):
    """The period kalman_filter freezes after, or None."""
    settled = np.nonzero(changes < tol)[0]
    return int(settled[0]) if settled.size else None


def matching_tolerance(changes, sm_period):
    """The geometric middle of the tolerances with which kalman_filter
    freezes where statsmodels does (period sm_period + 1), with the interval;
    None when statsmodels did not converge or no tolerance matches."""
    if sm_period is None or sm_period + 1 >= len(changes):
        return None, None
    lo, hi = changes[sm_period + 1], np.min(changes[1:sm_period + 1], initial=np.inf)
    if not lo < hi:
        return None, (float(lo), float(hi))
    middle = math.sqrt(lo * hi) if math.isfinite(hi) else 2 * lo
    return float(middle), (float(lo), float(hi))


def bench_steady_state(lib, bench, results, log):
    """Times each size and appends one row per candidate to
    results["steady_state"]."""
    import peers_other

    log(f"\n== kalman_filter's steady state, log-likelihood alone, T = {T_STEADY}")
    for n, m, k in SIZES:
        model = models.linear_model(n, m, k, T_STEADY, seed=1000 + n)
        args = [model[key] for key in KEYS]
        start = dict(x0=model["x0"], P0=model["P0"])
        full = lib.kalman_filter(*args, **start)
        changes = largest_changes(full.P_pred)
        sm_full = peers_other.StatsmodelsKF(model, likelihood_only=True)
        sm_default = peers_other.StatsmodelsKF(model, likelihood_only=True, tolerance=None)
        sm_period = sm_default.period_converged()
        matched, interval = matching_tolerance(changes, sm_period)
        tolerances = [("0 (full recursion)", 0.0), ("1e-12", 1e-12)]
        if matched is not None:
            tolerances.append((f"{matched:.3g} (freezes where statsmodels' default does)",
                               matched))
        tolerances.append((f"{SM_BOUND:.3g} = √1e-19", SM_BOUND))

        def filter_call(tol):
            return lambda: lib.kalman_filter(*args, **start, store_history=False,
                                             steady_state_tol=tol).loglik

        candidates = [(label, "library", tol, filter_call(tol)) for label, tol in tolerances]
        candidates += [("statsmodels loglike(), tolerance=0", "statsmodels", None,
                        sm_full.loglike),
                       ("statsmodels loglike(), default tolerance", "statsmodels-default",
                        None, sm_default.loglike)]
        samples = bench.run([(label, fn) for label, _, _, fn in candidates])
        t_full = float(np.median(samples[candidates[0][0]]))
        t_sm_default = float(np.median(samples["statsmodels loglike(), default tolerance"]))
        case = f"{n},{m},{k}"
        log(f"  ({case}) statsmodels' default froze after period {sm_period}; "
            f"matching tolerances {interval}")
        for label, family, tol, fn in candidates:
            t = float(np.median(samples[label]))
            loglik = float(fn())
            frozen = (freeze_period(changes, tol) if family == "library"
                      else sm_period if family == "statsmodels-default" else None)
            row = dict(case=case, n=n, m=m, k=k, T=T_STEADY, impl=label, family=family,
                       tol=tol, frozen_after=frozen, loglik=loglik,
                       loglik_err=loglik - full.loglik, median_ns=t,
                       samples_ns=samples[label], cores_used=bench.last_cores[label],
                       others_cpu=bench.last_others, speedup=t_full / t,
                       vs_statsmodels_default=t_sm_default / t, sm_period=sm_period,
                       matching_interval=interval)
            results["steady_state"].append(row)
            log(f"    {label:52s} {t / 1e3:9.1f} us  full/this x{row['speedup']:5.2f}  "
                f"statsmodels default/this x{row['vs_statsmodels_default']:5.2f}  "
                f"frozen after {frozen}  loglik err {row['loglik_err']:+.2e}")


BATCH_SIZES = [(10, 3, 3), (40, 8, 8)]
N_BATCH = 64


def bench_steady_batch(lib, bench, results, log):
    """kalman_loglik_batch on N_BATCH draws (bench/batch.py's) with the
    tolerances 0, 1e-12 and √1e-19, after checking every draw against its
    single kalman_filter call with the same tolerance; one row per size and
    tolerance in results["steady_state_batch"]."""
    import batch

    log(f"\n== kalman_loglik_batch's steady state, N = {N_BATCH}, T = {T_STEADY}")
    keys = KEYS + ("x0", "P0")
    for n, m, k in BATCH_SIZES:
        args = batch.batch_draws(n, m, k, T_STEADY, N_BATCH, seed=6000 + 10 * n)
        ordered = [args[key] for key in keys]
        tolerances = (0.0, 1e-12, SM_BOUND)
        for tol in tolerances:
            got = lib.kalman_loglik_batch(*ordered, steady_state_tol=tol).loglik
            want = [lib.kalman_filter(*(args[key][i] if key != "y" else args["y"]
                                        for key in keys[:7]),
                                      x0=args["x0"][i], P0=args["P0"][i], store_history=False,
                                      steady_state_tol=tol).loglik for i in range(N_BATCH)]
            if got.tobytes() != np.array(want).tobytes():
                raise RuntimeError(f"batch ({n},{m},{k}) tol {tol}: draws differ from single "
                                   "calls")
        samples = bench.run([(f"{tol:g}", lambda tol=tol: lib.kalman_loglik_batch(
            *ordered, steady_state_tol=tol)) for tol in tolerances])
        full = float(np.median(samples["0"]))
        for tol in tolerances:
            t = float(np.median(samples[f"{tol:g}"]))
            row = dict(case=f"{n},{m},{k}", N=N_BATCH, T=T_STEADY, tol=tol, median_ns=t,
                       speedup=full / t, others_cpu=bench.last_others)
            results.setdefault("steady_state_batch", []).append(row)
            log(f"  ({n},{m},{k}) tol {tol:<9g} {t / 1e6:8.2f} ms  full/this x{full / t:.2f}")


def steady_state_table(rows):
    """Markdown of results["steady_state"]."""
    if not rows:
        return []
    lines = [
        f"## The steady state, `kalman_filter(..., store_history=False, steady_state_tol=…)`, "
        f"T = {rows[0]['T']}",
        "",
        "The full recursion (tolerance 0) against the gain frozen once the predicted "
        "covariance has settled (its largest change below the tolerance), and statsmodels "
        "with `tolerance=0` and with its default (sum of squares of the change below 1e-19). "
        "The tolerance that matches statsmodels' default freezes in the same period "
        "(bench/steady_state.py says how it is found); √1e-19 never freezes later. "
        "Frozen after: the last period run in full. loglik error: against the full "
        f"recursion. Targets at (40,8,8), matched tolerance: ≥ {TARGETS['speedup']:.1f}× the "
        f"full recursion, ≥ {TARGETS['statsmodels_default']:.1f}× statsmodels at its default.",
        "",
        "| n, m, k | implementation | frozen after | median µs/call | full recursion / this "
        "| statsmodels default / this | loglik error | cores used |",
        "|---|---|---:|---:|---:|---:|---:|---:|",
    ]
    for r in rows:
        frozen = "–" if r["frozen_after"] is None else str(r["frozen_after"])
        lines.append(
            f"| {r['case']} | {r['impl']} | {frozen} | {r['median_ns'] / 1e3:,.1f} | "
            f"{r['speedup']:.2f} | {r['vs_statsmodels_default']:.2f} | "
            f"{r['loglik_err']:+.1e} | {r['cores_used']:.2f} |")
    shares = {r["case"]: r["others_cpu"] for r in rows}
    lines += ["", "Other processes' CPU use (share of all cores) while each case ran: "
              + ", ".join(f"{case}: {100 * s:.0f}%" for case, s in shares.items()) + "."]
    return lines


def steady_batch_table(rows):
    """Markdown of results["steady_state_batch"]."""
    if not rows:
        return []
    lines = [f"`kalman_loglik_batch` with the steady state, N = {rows[0]['N']} draws "
             f"(bench/batch.py's), T = {rows[0]['T']}, one thread; every draw checked to be "
             "bit for bit its single `kalman_filter` call with the same tolerance:", "",
             "| n, m, k | steady_state_tol | median ms/call | tolerance 0 / this "
             "| other processes' CPU |", "|---|---:|---:|---:|---:|"]
    lines += [f"| {r['case']} | {r['tol']:g} | {r['median_ns'] / 1e6:.2f} | "
              f"{r['speedup']:.2f} | {100 * r['others_cpu']:.0f}% |" for r in rows]
    return lines
