"""Work sent to other processes: measurement functions named by a recipe that
resolves in each process, and inputs that arrive read-only (memory-mapped, as
joblib hands large arrays over)."""

import concurrent.futures
import multiprocessing
import os
import pickle
import shutil
import subprocess

import numpy as np
import pytest
from numba import cfunc

from Orvanta import _measurement
from Orvanta.kalman import (MEASUREMENT_SIGNATURE, MeasurementFunction, kalman_filter,
                            kalman_smoother, ukf_hot_loop)
from test_kalman_filter_reference import random_model as linear_model
from test_ukf import random_model as ukf_model

UKF_ARRAYS = ("hx", "gx", "bx", "hxx", "gxx", "hss", "gss", "steady_state", "params", "Q",
              "R", "obs", "z0", "P0")

CURVED_C = """
#include <math.h>
void curved(const double* vars, const double* params, double* out) {
  (void)params;
  out[0] = exp(0.3 * vars[0]) + vars[1] * vars[2];
  out[1] = sin(vars[2]) - 0.5 * vars[0] * vars[0] + vars[1];
}
/* Named like an attribute of ctypes' library object. */
void _name(const double* vars, const double* params, double* out) {
  curved(vars, params, out);
}
"""


def curved(vars_, params, out):
    """Three model variables to two observables, for numba to compile."""
    out[0] = np.exp(0.3 * vars_[0]) + vars_[1] * vars_[2]
    out[1] = np.sin(vars_[2]) - 0.5 * vars_[0] * vars_[0] + vars_[1]


def same_bits(a, b):
    a, b = np.asarray(a), np.asarray(b)
    return a.shape == b.shape and a.tobytes() == b.tobytes()


def filter_with(meas, model):
    """ukf_hot_loop's history and log-likelihood, with meas given as it is."""
    return ukf_hot_loop(meas, *(model[name] for name in UKF_ARRAYS), 1.0, 2.0, 0.0, 0.0)[2]


@pytest.fixture(scope="module")
def library(tmp_path_factory):
    compiler = shutil.which("cc")
    assert compiler, "no C compiler (cc) to build the measurement library"
    folder = tmp_path_factory.mktemp("meas")
    (folder / "curved.c").write_text(CURVED_C)
    # The compiler must not inherit the sanitizer runtime a sanitized run
    # preloads into this interpreter.
    env = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}
    subprocess.run([compiler, "-shared", "-fPIC", "-O2", "-o", "libcurved.so", "curved.c",
                    "-lm"], cwd=folder, env=env, check=True, capture_output=True)
    return str(folder / "libcurved.so")


@pytest.fixture(scope="module")
def model():
    # ns = 2 states and nc = 1 control: three model variables, two observables
    return ukf_model(np.random.default_rng(11), 2, 1, 2, 2, T=12)


def _in_worker(meas, model):
    """Runs in a spawned process: the filter with the address resolved there,
    and with the object itself as the address; which process, and how many
    measurement functions that process has resolved so far."""
    by_address = filter_with(meas.address, model)
    by_object = filter_with(meas, model)
    return os.getpid(), meas.address, len(_measurement._resolved), by_address, by_object


# Spawned interpreters would inherit the sanitizer runtime that a sanitized
# run preloads, and its leak check at their exit; the other tests here cover
# the helper in this process.
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")


@pytest.mark.skipif(SANITIZED, reason="spawned workers under a preloaded sanitizer")
@pytest.mark.parametrize("how", ["numba", "library"])
def test_results_in_spawned_workers_are_bit_identical(how, library, model):
    meas = (MeasurementFunction.from_numba(curved) if how == "numba"
            else MeasurementFunction.from_library(library, "curved"))
    want = filter_with(meas.address, model)
    ctx = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(1, mp_context=ctx) as pool:
        runs = [pool.submit(_in_worker, meas, model).result(timeout=120) for _ in range(2)]
    (pid, address, resolved, *_), (pid2, address2, resolved2, *_) = runs
    assert pid != os.getpid() and pid2 == pid
    # the second task brought a fresh copy, resolved from the process's cache
    assert address2 == address and resolved == resolved2 == 1
    for *_, by_address, by_object in runs:
        for got in (by_address, by_object):
            assert all(same_bits(a, b) for a, b in zip(got, want))


def test_a_pickled_helper_carries_its_recipe_never_an_address(library):
    for meas in (MeasurementFunction.from_numba(curved),
                 MeasurementFunction.from_library(library, "curved")):
        before = pickle.dumps(meas)
        address = meas.address
        assert pickle.dumps(meas) == before
        copy = pickle.loads(before)
        assert copy is not meas and copy.address == address == int(meas)


def test_paths_are_made_absolute_and_failures_are_named(library, monkeypatch):
    monkeypatch.chdir(os.path.dirname(library))
    meas = MeasurementFunction.from_library("./libcurved.so", "curved")
    monkeypatch.chdir("/")
    assert meas.address == MeasurementFunction.from_library(library, "curved").address
    with pytest.raises(LookupError, match="no symbol 'missing'"):
        MeasurementFunction.from_library(library, "missing").address
    with pytest.raises(OSError, match="cannot load the measurement library"):
        MeasurementFunction.from_library(library + ".gone", "curved").address
    # a compiled cfunc carries an address, which would not survive the trip
    with pytest.raises(TypeError, match="Python function itself"):
        MeasurementFunction.from_numba(cfunc(MEASUREMENT_SIGNATURE)(curved))
    def generator(vars_, params, out):
        yield
    with pytest.raises(TypeError, match="generator or coroutine"):
        MeasurementFunction.from_numba(generator)
    for path, symbol, error in ((library, "cur\0ved", ValueError), (library, b"curved", TypeError),
                                (os.fsencode(library), "curved", TypeError)):
        with pytest.raises(error):
            MeasurementFunction.from_library(path, symbol)


def test_symbols_are_the_library_exports_never_its_loader_attributes(library):
    # ctypes' library object has attributes of these names; none is exported.
    for attribute in ("_handle", "_func_flags_", "_FuncPtr"):
        with pytest.raises(LookupError, match=f"no symbol '{attribute}'"):
            MeasurementFunction.from_library(library, attribute).address
    # An export named like one of them is the export.
    model = ukf_model(np.random.default_rng(8), 2, 1, 2, 2, T=6)
    got = filter_with(MeasurementFunction.from_library(library, "_name"), model)
    want = filter_with(MeasurementFunction.from_library(library, "curved"), model)
    assert all(same_bits(a, b) for a, b in zip(got, want))


def test_entries_read_memory_mapped_read_only_inputs(tmp_path):
    mdl = linear_model(np.random.default_rng(5), 3, 2, 2, 30, stable=True)
    mdl["y"][4:7, 1] = np.nan
    args = ("A", "B", "C", "d", "Q", "R", "y")
    mapped = {}
    for name in args:
        np.save(tmp_path / f"{name}.npy", mdl[name])
        mapped[name] = np.load(tmp_path / f"{name}.npy", mmap_mode="r")
        assert not mapped[name].flags.writeable
    for entry in (kalman_filter, kalman_smoother):
        want = entry(*(mdl[name] for name in args), init="stationary")
        got = entry(*(mapped[name] for name in args), init="stationary")
        for field, (a, b) in enumerate(zip(want, got)):
            assert same_bits(a, b), (entry.__name__, field)
            if isinstance(b, np.ndarray):
                # outputs are new arrays of the caller's, whatever the inputs were
                assert b.flags.writeable and b.flags.owndata, field
                assert not any(np.shares_memory(b, m) for m in mapped.values()), field
