"""Repeatability under concurrency, memory and references over many calls, and
requests for more memory than there is."""

import ctypes as ct
import os
import struct
import subprocess
import sys
import threading

import numpy as np
import pytest

from Orvanta._ckernels.kalman import _kalman
from _memory import SANITIZED, held_bytes
from test_kalman_entry import KEYS, model as kf_model
from test_ukf import meas_params, random_model, random_params

kf, ukf = _kalman.kalman_hot_loop, _kalman.ukf_hot_loop
UKF_ARRAYS = ("hx", "gx", "bx", "hxx", "gxx", "hss", "gss", "steady_state", "params", "Q",
              "R", "obs", "z0", "P0")


def kf_args(n, m, k, T):
    """The 13 required arguments of a well-posed linear model."""
    mdl = kf_model(n, m, k, T)
    return [T, (n, m, k), *(mdl[key] for key in KEYS), True, 1e-12]


def ukf_args(ns, nc, ne, no, T, seed=0):
    """The 19 required arguments of a second-order model measured by meas_params."""
    rng = np.random.default_rng(seed)
    model = random_model(rng, ns, nc, ne, no, T)
    model["params"] = random_params(rng, ns + nc, no, quadratic=True)
    return [meas_params.address, *(model[name] for name in UKF_ARRAYS), 0.9, 2.0, 0.5, 1e-12]


def bits(out):
    return [a.tobytes() for a in out[:-1]] + [struct.pack("<d", out[-1])]


# ---- the same inputs, the same bits -------------------------------------------------------

def test_results_are_bit_identical_across_calls_threads_and_history_settings():
    entries = {"kf": (kf, kf_args(8, 4, 3, 60)), "ukf": (ukf, ukf_args(3, 1, 2, 2, 20))}
    snapshot = {key: [a.tobytes() for a in args if isinstance(a, np.ndarray)]
                for key, (_, args) in entries.items()}
    want = {key: bits(fn(*args)[2]) for key, (fn, args) in entries.items()}
    rounds = 25 if SANITIZED else 150
    barrier, mismatches = threading.Barrier(4), []

    def worker(i):
        barrier.wait()
        for j in range(rounds):
            for key, (fn, args) in entries.items():
                store = (i + j) % 2 == 0
                out = fn(*args, store_history=store)[2]
                if store and bits(out) != want[key]:
                    mismatches.append((key, i, j, "history"))
                if not store and (bits(out)[-1] != want[key][-1] or
                                  any(a.shape[0] != 0 for a in out[:-1])):
                    mismatches.append((key, i, j, "log-likelihood only"))

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not mismatches, mismatches[:5]
    for key, (_, args) in entries.items():  # only read
        assert [a.tobytes() for a in args if isinstance(a, np.ndarray)] == snapshot[key]


# ---- many calls -----------------------------------------------------------------------------

def kf_paths():
    good = kf_args(6, 3, 2, 20)
    indefinite = list(good)
    indefinite[7] = -np.eye(3)  # R
    indefinite[4] = np.zeros((3, 6))  # C: the first innovation covariance is R
    wrong_B, single_y = list(good), list(good)
    wrong_B[3] = np.zeros((6, 1))
    single_y[8] = good[8].astype(np.float32)
    return [(good, {}, None), (good, dict(return_shocks=True, store_history=False), None),
            (good, dict(return_shocks=True), None), (indefinite, {}, np.linalg.LinAlgError),
            (wrong_B, {}, ValueError), (single_y, {}, ValueError),
            ([-1] + good[1:], {}, ValueError),  # numpy.zeros: negative dimensions
            ([good[0], (6, 3)] + good[2:], {}, IndexError),
            (good[:12], dict(jitter="x"), TypeError), (good, dict(Tx=1), TypeError),
            (good, dict(store_history=np.ones(2)), ValueError)]


def ukf_paths():
    good = ukf_args(3, 1, 2, 3, 20)
    paths = [(good, {}, None), (good, dict(store_history=False), None),
             (good + [True, True, 0], {}, TypeError)]
    for position, value, error in [
            (0, 0, ValueError), (0, -5, OverflowError), (7, np.zeros(2), ValueError),  # gss
            (12, good[12].astype(np.float32), ValueError),  # obs
            (14, -np.eye(6), np.linalg.LinAlgError), (15, "x", TypeError)]:  # P0, alpha
        args = list(good)
        args[position] = value
        paths.append((args, {}, error))
    return paths


@pytest.mark.parametrize("fn, make_paths", [(kf, kf_paths), (ukf, ukf_paths)],
                         ids=["kalman_hot_loop", "ukf_hot_loop"])
def test_many_calls_keep_memory_and_references_flat(fn, make_paths):
    paths = make_paths()
    shared = fn(*paths[0][0])[1]
    watched = {id(obj): obj for args, kwargs, _ in paths
               for obj in [*args, *kwargs.values()]}
    watched = list(watched.values()) + [shared]

    def run(calls):
        for i in range(calls):
            args, kwargs, error = paths[i % len(paths)]
            try:
                fn(*args, **kwargs)
            except Exception as exc:
                assert type(exc) is error, (i % len(paths), exc)
            else:
                assert error is None, i % len(paths)

    run(2000)
    before = held_bytes()
    refs = [sys.getrefcount(obj) for obj in watched]
    run(20_000 if SANITIZED else 100_000)
    assert [sys.getrefcount(obj) for obj in watched] == refs
    assert held_bytes() - before < 20 * 2**20


# ---- requests beyond memory ----------------------------------------------------------------

@pytest.mark.parametrize("T, nmk, store, error, message", [
    (2**44, (1, 0, 0), True, MemoryError, r"^Unable to allocate"),  # history of 128 TiB
    (2**61, (1, 0, 0), True, ValueError, r"^array is too big"),
    (0, (2**40, 0, 0), False, ValueError, r"^array is too big"),  # (0, n, n) still counts
    (0, (2**28, 0, 0), False, ValueError, r"^A must have shape \(n, n\)\.$"),
    (0, (0, 2**28, 0), False, ValueError, r"^d must have shape \(m,\)\.$"),
    (0, (0, 0, 2**59), False, ValueError, r"^Q must have shape \(k, k\)\.$"),
])
def test_huge_dimensions_with_small_operands_are_refused(T, nmk, store, error, message):
    with pytest.raises(error, match=message):
        kf(T, nmk, *[None] * 9, True, 0.0, store_history=store)


def test_unscented_scratch_beyond_the_address_space_limit_raises_memory_error():
    # 3000 observables: R holds 72 MB and the loop's scratch twice that, while
    # the limit leaves 48 MB. A small model filters afterwards.
    script = """if True:
        import ctypes as ct, resource, numpy as np
        import Orvanta._ckernels.kalman._kalman as K
        f64p = ct.POINTER(ct.c_double)
        def first(v, p, out):
            out[0] = 0.3 * v[0]
        meas = ct.CFUNCTYPE(None, f64p, f64p, f64p)(first)
        addr = ct.cast(meas, ct.c_void_p).value
        def model(no):
            return [addr, np.full((1, 1), 0.5), np.zeros((0, 1)), np.zeros((1, 0)),
                    np.zeros((1, 1, 1)), np.zeros((0, 1, 1)), np.zeros(1), None,
                    np.zeros(1), None, None, np.eye(no), np.ones((3 * (no == 1), no)),
                    np.zeros(2), np.eye(2), 1.0, 2.0, 0.0, 0.0]
        big, small = model(3000), model(1)
        held = int(open("/proc/self/statm").read().split()[0]) * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (held + 48 * 2**20, resource.RLIM_INFINITY))
        try:
            K.ukf_hot_loop(*big, True, False)
        except MemoryError as exc:
            print(repr(exc))
        print(np.isfinite(K.ukf_hot_loop(*small)[2][13]))"""
    root = os.environ.get("ORVANTA_PACKAGE_ROOT") or os.path.dirname(
        os.path.dirname(os.path.abspath(__file__)))
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          env=dict(os.environ, PYTHONPATH=root), timeout=120)
    assert done.stdout.split("\n")[:2] == [
        "MemoryError('ukf_hot_loop: scratch allocation failed.')", "True"], done.stderr


@pytest.mark.skipif(not os.environ.get("ORVANTA_PACKAGE_ROOT"),
                    reason="compares another build with the in-place one")
def test_other_build_returns_the_same_bits_as_the_in_place_build():
    # The portable-kernel and sanitized builds must reproduce the normal
    # build's results bit for bit, the unscented filter's included. The
    # sanitized build runs small models through the general loops, so this
    # also holds the loops specialised for them to the general ones' bits.
    script = os.path.join(os.path.dirname(__file__), "scripts", "result_digest.py")
    checkout = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    digests = []
    for root in (os.environ["ORVANTA_PACKAGE_ROOT"], checkout):
        run = subprocess.run([sys.executable, script], capture_output=True, text=True,
                             env=dict(os.environ, PYTHONPATH=root), timeout=600)
        assert run.returncode == 0, run.stderr[-2000:]
        digests.append(run.stdout.strip())
    assert digests[0] == digests[1]


@pytest.mark.skipif(not SANITIZED, reason="needs the preloaded leak checker")
@pytest.mark.parametrize("leaks", [False, True])
def test_a_leak_in_a_worker_process_fails_the_run(tmp_path, leaks):
    """A pytest-xdist worker's leak fails the run (conftest.py), which its
    check at exit alone, after the results are in, would not."""
    source, lib = tmp_path / "leak.c", tmp_path / "libleak.so"
    source.write_text("#include <stdlib.h>\nvoid *kept;\n"
                      "void leak(void) { kept = malloc(4096); kept = 0; }\n")
    unchecked = {name: value for name, value in os.environ.items() if name != "LD_PRELOAD"}
    subprocess.run(["cc", "-shared", "-fPIC", "-o", lib, source], check=True, env=unchecked)
    (tmp_path / "test_one.py").write_text(
        f"import ctypes\n\ndef test_one():\n"
        f"    {'ctypes.CDLL(%r).leak()' % str(lib) if leaks else 'pass'}\n")
    tests = os.path.dirname(os.path.abspath(__file__))
    run = subprocess.run(
        [sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "-p", "conftest",
         "-n", "2", str(tmp_path)],
        cwd=tmp_path, env={**os.environ, "PYTHONPATH": tests}, capture_output=True, text=True)
    assert (run.returncode != 0) == leaks, run.stdout + run.stderr
    assert ("LeakSanitizer found leaks in worker" in run.stderr) == leaks
