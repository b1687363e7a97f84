"""kalman_loglik_batch: every draw's log-likelihood bit for bit what
kalman_filter (and, on complete data from a known start, kalman_hot_loop)
gives for that draw alone, whichever arguments carry draws, however many
draws there are against the lanes of a block, with failing draws among them,
with missing values shared or per draw, and on any number of threads; and
its argument errors."""

import _thread
import concurrent.futures
import os
import re
import subprocess
import sys
import threading
import time
import types

import numpy as np
import pytest

import Orvanta.kalman
import Orvanta._ckernels.kalman._kalman as K
from _c_header import CKERNELS
from _paths import PACKAGE_ROOT, TESTS
from _threads import spinner_ticks

batch = K.kalman_loglik_batch
ARGS = ("A", "B", "C", "d", "Q", "R", "y", "x0", "P0")
MODEL = ARGS[:7]


def spd(rng, size, ridge):
    G = rng.standard_normal((size, size))
    return G @ G.T / max(size, 1) + ridge * np.eye(size)


def one_model(rng, n, m, k, T):
    # every row of A sums in absolute value to below 0.9: stable
    return dict(A=0.5 * np.eye(n) + 0.4 * np.tanh(rng.standard_normal((n, n))) / n,
                B=rng.standard_normal((n, k)), C=rng.standard_normal((m, n)),
                d=rng.standard_normal(m), Q=spd(rng, k, 0.3), R=spd(rng, m, 0.3),
                y=rng.standard_normal((T, m)), x0=rng.standard_normal(n),
                P0=spd(rng, n, 0.5) + 1e-3 * rng.standard_normal((n, n)))


def draws(n, m, k, T, N, batched, seed=0):
    """Arguments of kalman_loglik_batch for N random draws: those named in
    `batched` with one per draw (a leading axis of N), the others shared."""
    rng = np.random.default_rng(seed)
    models = [one_model(rng, n, m, k, T) for _ in range(max(N, 1))]
    return {key: (np.stack([mdl[key] for mdl in models])[:N] if key in batched
                  else models[0][key]) for key in ARGS}


def draw(args, i):
    """Draw i's own arguments, as kalman_filter takes them."""
    return {key: (value[i] if value is not None and value.ndim > (1 if key in ("d", "x0")
                                                                   else 2) else value)
            for key, value in args.items()}


def alone(args, i, init="known", **kw):
    """(loglik, status) of draw i through kalman_filter."""
    one = draw(args, i)
    start = dict(x0=one["x0"], P0=one["P0"]) if init == "known" else dict(x0=one["x0"])
    try:
        result = K.kalman_filter(*(one[key] for key in MODEL), **start, init=init,
                                 store_history=False, **kw)
    except np.linalg.LinAlgError:
        return -np.inf, -3
    except ValueError as exc:
        if "must hold finite values" in str(exc):
            return -np.inf, -9
        assert "unit circle" in str(exc)
        return -np.inf, -4
    return result.loglik, 0


def run(args, init="known", **kw):
    if init == "stationary":
        args = dict(args, P0=None)
    return batch(*(args[key] for key in ARGS), init=init, **kw)


def same_value(a, b):
    """The same bits, or both NaN (whose payload no step promises)."""
    a, b = np.float64(a), np.float64(b)
    return a.tobytes() == b.tobytes() or (np.isnan(a) and np.isnan(b))


def assert_each_draw_alone(args, N, init="known", threads=1, **kw):
    got = run(args, init, threads=threads, **kw)
    assert got.loglik.shape == got.status.shape == (N,)
    for i in range(N):
        loglik, status = alone(args, i, init, **kw)
        assert got.status[i] == status and same_value(got.loglik[i], loglik), i
    return got


# ---- the bits of each draw alone -----------------------------------------------------------

# Sizes of the loops specialised for the batch (n <= 10, m <= min(n, 4)),
# those whose periods run on values among them (n <= 5), and of the general
# one; N against lane counts of 2, 4 and 8: one draw (which runs alone),
# partial blocks, several blocks.
@pytest.mark.parametrize("n, m, k", [(1, 1, 1), (3, 2, 1), (4, 2, 2), (5, 4, 2), (10, 3, 3),
                                     (11, 5, 2), (2, 3, 2), (3, 0, 1), (2, 1, 0)])
@pytest.mark.parametrize("N", [1, 7, 13])
@pytest.mark.parametrize("init", ["known", "stationary"])
def test_each_draw_has_the_bits_of_kalman_filter_alone(n, m, k, N, init):
    rng = np.random.default_rng(100 * n + 10 * m + N)
    batched = [key for key in ARGS if rng.random() < 0.5] or ["A"]
    args = draws(n, m, k, 12, N, batched, seed=N)
    got = assert_each_draw_alone(args, N, init)
    assert (got.status == 0).all()


def batch_loop_state_sizes():
    """The state dimensions with a batch loop of their own, as the native
    source lists them."""
    source = CKERNELS / "kalman" / "linear" / "kf_batch_periods.h"
    listed = re.search(r"with_listed_size<([0-9, ]+)>", source.read_text(encoding="utf-8"))
    return [int(size) for size in listed.group(1).split(",")]


# A block of each listed size, m known only at run time, beside one draw alone.
@pytest.mark.parametrize("n", batch_loop_state_sizes())
def test_loops_listed_by_state_dimension_keep_the_bits(n):
    args = draws(n, 1 + n % 5, 2, 8, 9, ["A", "C", "R", "P0"], seed=n)
    assert (assert_each_draw_alone(args, 9).status == 0).all()


@pytest.mark.parametrize("symmetrize, jitter", [(False, 0.0), (True, 0.25)])
@pytest.mark.parametrize("batched", [ARGS, ("y",), ("A", "Q", "x0")])
def test_complete_data_from_a_known_start_matches_kalman_hot_loop(symmetrize, jitter, batched):
    n, m, k, T, N = 4, 2, 2, 30, 11
    args = draws(n, m, k, T, N, batched, seed=7)
    got = run(args, symmetrize=symmetrize, jitter=jitter, threads=2)
    for i in range(N):
        one = draw(args, i)
        want = K.kalman_hot_loop(T, (n, m, k), *(np.array(one[key]) for key in ARGS),
                                 symmetrize, jitter, store_history=False)[2][-1]
        assert same_value(got.loglik[i], want), i


def test_failing_draws_get_minus_infinity_and_their_status_alone():
    n, m, k, N = 3, 2, 2, 19
    args = draws(n, m, k, 15, N, ARGS, seed=3)
    args["R"][4] = -100.0 * np.eye(m)    # not positive definite in the first period
    args["Q"][9] = -25.0 * np.eye(k)     # ... a few periods in
    args["A"][10] = 1.05 * np.eye(n)     # not stable: fails only the stationary start
    args["A"][17] = np.nan               # NaN, which kalman_filter refuses by name
    known = assert_each_draw_alone(args, N, "known")
    assert set(np.flatnonzero(known.status)) == {4, 9, 17}
    stationary = assert_each_draw_alone(args, N, "stationary")
    assert stationary.status[10] == -4 and stationary.status[4] == -3
    assert np.isneginf(stationary.loglik[[4, 9, 10, 17]]).all()
    assert known.status[17] == stationary.status[17] == -9


@pytest.mark.parametrize("init", ["known", "stationary"])
def test_missing_values_shared_or_per_draw(init):
    n, m, k, T, N = 4, 3, 2, 40, 21
    args = draws(n, m, k, T, N, ("A", "R", "y", "x0", "P0"), seed=5)
    y = args["y"]
    y[:, 3, 1] = np.nan                  # one entry of a period
    y[:, 8] = np.nan                     # a whole period
    y[:, 20, ::2] = np.nan               # all but one entry
    # the same pattern in every draw: one group of blocks in lanes
    assert_each_draw_alone(args, N, init)
    # patterns that differ: groups of their own, a draw alone where no other
    # shares its pattern
    for i in range(0, N, 4):
        y[i, 10 + i, i % m] = np.nan
    y[1, 30] = y[2, 30] = np.nan
    args["R"][5] = -np.eye(m)
    got = assert_each_draw_alone(args, N, init, threads=3)
    assert got.status[5] == -3
    # y shared, with the same gaps
    shared = dict(args, y=np.ascontiguousarray(y[0]))
    assert_each_draw_alone(shared, N, init)


def test_results_do_not_depend_on_threads():
    args = draws(4, 2, 2, 25, 45, ("A", "C", "y"), seed=11)
    args["y"][::5, 7, 0] = np.nan
    args["A"][13] = 1.1 * np.eye(4)
    want = run(args, "stationary")
    for threads in (2, 3, 7, 64, 2**70):
        got = run(args, "stationary", threads=threads)
        assert got.loglik.tobytes() == want.loglik.tobytes()
        assert got.status.tobytes() == want.status.tobytes()
    # Calls long enough to overlap, at once from several threads: one holds
    # the kept helpers, the others start their own.
    args = draws(4, 2, 2, 200, 128, ("A",), seed=12)
    want = run(args).loglik.tobytes()
    with concurrent.futures.ThreadPoolExecutor(4) as callers:
        got = callers.map(lambda _: run(args, threads=2).loglik.tobytes(), range(48))
        assert set(got) == {want}


def test_threads_take_any_index_and_are_kept_no_more_than_the_processors():
    args = draws(8, 3, 2, 40, 256, ("A", "Q"), seed=4)
    want = run(args).loglik.tobytes()
    assert run(args, threads=np.int64(2)).loglik.tobytes() == want
    with pytest.raises(TypeError, match="threads must be an integer; got bool"):
        run(args, threads=True)
    # In a fresh process: the threads a call asks for beyond the processors
    # are not started, the helpers are kept for the next calls, and a forked
    # child, which has none of its parent's threads, starts its own.
    script = f"""
import os, sys
sys.path[:0] = [{PACKAGE_ROOT!r}, {TESTS!r}]
from test_kalman_loglik_batch import draws, run
args = draws(8, 3, 2, 40, 256, ("A", "Q"), seed=4)
def tasks():
    return len(os.listdir("/proc/self/task"))
def kept_after_calls():
    before = tasks()
    assert all(run(args, threads=10**6).loglik.tobytes() == {want!r} for _ in range(3))
    return tasks() - before
print(kept_after_calls())
child = os.fork()
if child == 0:
    os._exit(0 if kept_after_calls() == len(os.sched_getaffinity(0)) - 1 else 1)
print(os.waitstatus_to_exitcode(os.waitpid(child, 0)[1]), kept_after_calls())
"""
    done = subprocess.run([sys.executable, "-W", "ignore", "-c", script], capture_output=True,
                          text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    helpers = len(os.sched_getaffinity(0)) - 1
    assert done.stdout.split() == [str(helpers), "0", "0"]


def test_ctrl_c_stops_a_long_call():
    """The call looks at the signals between slices of its draws: an interrupt
    arrives well before the call would have ended, not when it returns."""
    args = draws(6, 3, 3, 100, 1, (), seed=9)

    def with_draws(N):
        return dict(args, A=np.repeat(args["A"][None], N, axis=0))

    start = time.perf_counter()
    run(with_draws(200))
    per_draw = (time.perf_counter() - start) / 200
    many = with_draws(max(2000, int(3.0 / per_draw)))   # about 3 s of work
    timer = threading.Timer(0.2, _thread.interrupt_main)
    start = time.perf_counter()
    timer.start()
    with pytest.raises(KeyboardInterrupt):
        run(many)
        time.sleep(5)  # reached only if the interrupt is not raised by the call
    timer.join()
    assert time.perf_counter() - start < 1.5


def test_interpreter_lock_is_released_for_every_draw():
    args = draws(6, 3, 3, 3000, 64, ("A", "Q"), seed=2)
    during, alone_ticks, elapsed = spinner_ticks(lambda: run(args, threads=2))
    assert during > 0.2 * alone_ticks, (during, alone_ticks, elapsed)


# ---- the result ----------------------------------------------------------------------------

def test_result_and_numbers_of_draws():
    args = draws(2, 1, 1, 5, 3, ("B", "P0"), seed=1)
    r = run(args)
    assert type(r) is K.KalmanLoglikBatchResult and type(r).__match_args__ == ("loglik",
                                                                               "status")
    assert r.loglik.dtype == np.float64 and r.status.dtype == np.int64
    assert Orvanta.kalman.kalman_loglik_batch is batch
    assert Orvanta.kalman.KalmanLoglikBatchResult is K.KalmanLoglikBatchResult
    # nothing per draw: one draw
    shared = draws(2, 1, 1, 5, 1, (), seed=1)
    assert run(shared).loglik.shape == (1,)
    # no draws at all
    r = run(draws(2, 1, 1, 5, 0, ("A", "x0"), seed=1))
    assert r.loglik.shape == r.status.shape == (0,)


# ---- errors --------------------------------------------------------------------------------

def with_change(**change):
    args = draws(3, 2, 2, 6, 4, ("A", "y", "P0"), seed=4)
    args.update(change)
    return args


@pytest.mark.parametrize("args, kw, error, message", [
    (with_change(), dict(threads=0), ValueError, "threads must be at least 1; got 0."),
    (with_change(), dict(threads=-3), ValueError, "threads must be at least 1; got -3."),
    (with_change(), dict(threads=-2**70), ValueError, "threads must be at least 1"),
    (with_change(), dict(threads=1.5), TypeError, "threads must be an integer; got float."),
    (with_change(), dict(threads="2"), TypeError, "threads must be an integer; got str."),
    (with_change(), dict(init="diffuse"), ValueError,
     "init must be 'known' or 'stationary'; got 'diffuse'."),
    (with_change(), dict(init=1), TypeError, "init must be 'known' or 'stationary'; got 1."),
    (with_change(B=np.ones((5, 3, 2))), {}, ValueError,
     "B has 5 draws on its leading axis, but A has 4; every argument with one per draw "
     "must have the same number."),
    (with_change(P0=np.ones((3, 3, 3))), {}, ValueError,
     "P0 has 3 draws on its leading axis, but A has 4"),
    (with_change(A=np.ones((4, 3, 2))), {}, ValueError,
     "A must have shape (n, n), or (N, n, n) for one per draw; got (4, 3, 2)."),
    (with_change(A=np.ones((2, 4, 3, 3))), {}, ValueError,
     "A must have shape (n, n), or (N, n, n) for one per draw; got an array of 4 dimensions."),
    (with_change(B=np.ones(3)), {}, ValueError,
     "B must have shape (n, k) = (3, k), or (N, n, k) for one per draw; got (3,)."),
    (with_change(C=np.ones((4, 2, 2))), {}, ValueError,
     "A and C disagree on the number of states n: A (N, n, n) has 3 rows, C (N, m, n) has "
     "2 columns."),
    (with_change(d=np.ones((4, 2, 1))), {}, ValueError,
     "d must have shape (m,) = (2,), or (N, m) for one per draw; got (4, 2, 1)."),
    (with_change(y=np.ones(6)), {}, ValueError,
     "y must have shape (T, m), or (N, T, m) for one per draw; got (6,). One series is a "
     "column: y[:, None]."),
    (with_change(x0=np.ones((4, 2))), {}, ValueError,
     "A and x0 disagree on the number of states n: A (N, n, n) has 3 rows, x0 (N, n) has "
     "2 entries."),
    (with_change(Q=np.ones((2, 2), complex)), {}, TypeError,
     "Q must hold real numbers; got an array of dtype complex128."),
    (with_change(x0=None), {}, TypeError, "init='known' needs x0 and P0"),
    (with_change(), dict(init="stationary"), ValueError,
     "P0 must be None with init='stationary'"),
])
def test_invalid_arguments_are_refused_by_name(args, kw, error, message):
    with pytest.raises(error) as info:
        batch(*(args[key] for key in ARGS), **kw)
    assert str(info.value).startswith(message)


def test_outputs_from_a_rebound_np_are_checked(monkeypatch):
    args = with_change()
    monkeypatch.setattr(K, "np", types.SimpleNamespace(
        zeros=lambda shape, dtype: np.zeros(shape), float64=np.float64, int64=np.int64,
        asarray=np.asarray))
    with pytest.raises(ValueError) as info:
        batch(*(args[key] for key in ARGS))
    assert str(info.value) == ("kalman_loglik_batch: output 'status' from np.zeros is not a "
                               "writable C-contiguous int64 array of shape (4,).")


@pytest.mark.parametrize("shared, where", [(True, "y[2, 1]"), (False, "y[3, 2, 1]")])
def test_infinity_in_y_names_its_place(shared, where):
    args = with_change()
    args["y"][3, 2, 1] = -np.inf
    if shared:
        args["y"] = np.ascontiguousarray(args["y"][3])
    with pytest.raises(ValueError) as info:
        batch(*(args[key] for key in ARGS))
    assert str(info.value).startswith(f"{where} is infinite;")
