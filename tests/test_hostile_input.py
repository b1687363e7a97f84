"""The entries under hostile or careless use: what a rebound np.zeros hands
back, a negative sample length, pickling, and conversion errors that name
their argument."""

import copy
import multiprocessing
import pickle
import subprocess
import sys
import types

import numpy as np
import pytest

import Orvanta._ckernels.kalman._kalman as K
from _paths import PACKAGE_ROOT, TESTS
from test_kalman_entry import KEYS, model, same_bits
from test_ukf import meas_linear
from test_ukf_entry import ARRAYS, model as ukf_model

ADDR = meas_linear.address


def kf_args(T=5, seed=0, **flags):
    mdl = model(3, 2, 4, T, seed)
    return (T, (3, 2, 4), *(mdl[key] for key in KEYS), True, 0.0), flags


def ukf_args(seed=0):
    mdl = ukf_model(seed, 2, 1, 1, 2)
    return (ADDR, *(mdl[name] for name in ARRAYS), 1.0, 2.0, 0.0, 0.0)


def run_kf(**flags):
    args, flags = kf_args(**flags)
    return K.kalman_hot_loop(*args, **flags)


def run_ukf():
    return K.ukf_hot_loop(*ukf_args())


def run_filter():
    mdl = model(3, 2, 4, 5, 0)
    return K.kalman_filter(*(mdl[key] for key in KEYS))


def run_smoother():
    mdl = model(3, 2, 4, 5, 0)
    return K.kalman_smoother(*(mdl[key] for key in KEYS))


ENTRIES = {"kalman_hot_loop": run_kf, "ukf_hot_loop": run_ukf, "kalman_filter": run_filter,
           "kalman_smoother": run_smoother}
# The first output each entry asks np.zeros for.
FIRST = r"(x1?_pred|loglik_t|x_smooth)"


# ---- what np.zeros returns -----------------------------------------------------------

def numpy_with(zeros):
    return types.SimpleNamespace(float64=np.float64, zeros=zeros)


def too_small(shape, dtype=None):
    return np.zeros((1,) * len(shape))


def one_buffer():
    shared = {}

    def zeros(shape, dtype=None):
        if shape not in shared:
            shared[shape] = np.zeros(shape, dtype)
        return shared[shape]
    return zeros


def overlapping():
    """Every output a view of one block, each starting one element later."""
    block = np.zeros(100_000)
    starts = iter(range(1, 100))

    def zeros(shape, dtype=None):
        first = next(starts)
        return block[first:first + int(np.prod(shape))].reshape(shape)
    return zeros


@pytest.fixture
def rebound_numpy(monkeypatch):
    def rebind(zeros):
        monkeypatch.setattr(K, "np", numpy_with(zeros))
    return rebind


@pytest.mark.parametrize("entry", sorted(ENTRIES))
@pytest.mark.parametrize("zeros, exc, message", [
    (too_small, ValueError,
     rf"output '{FIRST}' from np\.zeros has shape \(1(, 1)?,?\), not \(\d+(, \d)?,?\)"),
    (lambda shape, dtype=None: np.zeros(shape, np.float32), ValueError,
     rf"output '{FIRST}' from np\.zeros is not a writable C-contiguous float64 array"),
    (lambda shape, dtype=None: np.zeros(shape[::-1]).T, ValueError,
     rf"output '{FIRST}' .* not a writable C-contiguous float64 array"),
    (lambda shape, dtype=None: list(np.zeros(shape)), TypeError,
     rf"output '{FIRST}' .* not a writable C-contiguous float64 array"),
])
def test_unusable_outputs_are_refused_by_name(rebound_numpy, entry, zeros, exc, message):
    rebound_numpy(zeros)
    with pytest.raises(exc, match=message):
        ENTRIES[entry]()


def read_only_zeros(shape, dtype=None):
    a = np.zeros(shape, dtype)
    a.flags.writeable = False
    return a


@pytest.mark.parametrize("entry", sorted(ENTRIES))
def test_read_only_outputs_are_refused_by_name(rebound_numpy, entry):
    rebound_numpy(read_only_zeros)
    with pytest.raises(ValueError, match=rf"output '{FIRST}' .* writable") as info:
        ENTRIES[entry]()
    assert info.value.__cause__ is not None  # the buffer's own error, kept


@pytest.mark.parametrize("entry", sorted(ENTRIES))
@pytest.mark.parametrize("zeros", [one_buffer, overlapping])
def test_outputs_sharing_memory_are_refused(rebound_numpy, entry, zeros):
    rebound_numpy(zeros())
    with pytest.raises(ValueError, match=r"outputs '\w+' and '\w+' from np\.zeros share memory"):
        ENTRIES[entry]()


def test_separate_outputs_of_a_rebound_zeros_still_work(rebound_numpy):
    want = run_kf()
    rebound_numpy(lambda shape, dtype=None: np.full(shape, np.nan))
    got = run_kf()
    assert all(same_bits(a, b) for a, b in zip(got[2][:-1], want[2][:-1]))
    assert got[2][-1] == want[2][-1]


def test_too_small_outputs_of_a_long_sample_end_in_an_error_not_a_crash():
    # Before the outputs were checked, the loop wrote a sample of 20,000
    # periods into one-element arrays and the process died of a corrupted
    # heap; so this runs in a process of its own.
    script = f"""
import sys, types
sys.path[:0] = [{PACKAGE_ROOT!r}, {TESTS!r}]
import numpy as np
import Orvanta._ckernels.kalman._kalman as K
from test_hostile_input import kf_args, ukf_args
K.np = types.SimpleNamespace(float64=np.float64,
                             zeros=lambda s, dtype=None: np.zeros((1,) * len(s)))
args, _ = kf_args(T=20000)
for run in (lambda: K.kalman_hot_loop(*args), lambda: K.ukf_hot_loop(*ukf_args())):
    try:
        run()
    except ValueError as exc:
        print("refused:", exc)
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.count("refused:") == 2, done.stdout


# ---- a negative sample length ----------------------------------------------------------

@pytest.mark.parametrize("store_history", [False, True])
@pytest.mark.parametrize("T", [-1, -(2 ** 63)])
def test_negative_T_is_refused_whatever_the_flags(T, store_history):
    # Without history the loop used to return a log-likelihood of 0.0.
    args, _ = kf_args()
    with pytest.raises(ValueError, match=r"T must not be negative \(got -\d+\)\."):
        K.kalman_hot_loop(T, *args[1:], store_history=store_history)


def test_an_empty_sample_is_still_a_sample():
    status, _, out = run_kf(T=0, store_history=False)
    assert status == 0 and out[-1] == 0.0


# ---- pickling ----------------------------------------------------------------------

def _same_function_and_result(fn):
    """Runs in a spawned process: the unpickled function, and its result."""
    import Orvanta._ckernels.kalman._kalman as child
    got = fn is getattr(child, fn.__name__)
    if fn.__name__ == "kalman_hot_loop":
        args, flags = kf_args()
        return got, fn(*args, **flags)[2]
    return got, fn(*ukf_args())[2]


@pytest.mark.parametrize("entry", ["kalman_hot_loop", "ukf_hot_loop", "kalman_smoother"])
def test_entries_pickle_and_copy_by_reference(entry):
    fn = getattr(K, entry)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        assert pickle.loads(pickle.dumps(fn, protocol)) is fn
    assert copy.copy(fn) is fn and copy.deepcopy(fn) is fn
    assert copy.deepcopy({"f": fn})["f"] is fn


def test_entries_travel_to_a_spawned_process():
    want = {"kalman_hot_loop": run_kf()[2], "ukf_hot_loop": run_ukf()[2]}
    ctx = multiprocessing.get_context("spawn")
    with ctx.Pool(1) as pool:
        for name, fn in (("kalman_hot_loop", K.kalman_hot_loop),
                         ("ukf_hot_loop", K.ukf_hot_loop)):
            same, got = pool.apply(_same_function_and_result, (fn,))
            assert same, name
            assert all(same_bits(a, b) for a, b in zip(got, want[name])), name


# ---- conversion errors name their argument -----------------------------------------

class Falsy:
    def __bool__(self):
        raise RuntimeError("no truth value")


KF_BAD = [  # (position, bad value, exception)
    (0, "five", TypeError), (0, 2 ** 64, OverflowError), (1, (3, 2), IndexError),
    (1, (3, "x", 4), TypeError), (2, [[1.0]], TypeError), (4, np.zeros((2, 3), np.float32), ValueError),
    (8, np.asfortranarray(np.ones((5, 2))), ValueError), (9, b"12345678", BufferError),
    (11, Falsy(), RuntimeError), (12, "x", TypeError), (13, np.array([1, 2]), ValueError),
]


UKF_BAD = [(0, -1, OverflowError), (0, "addr", TypeError), (1, [[0.5]], TypeError),
           (9, np.zeros(2, np.int64), ValueError), (12, np.ones((3, 2)).T, ValueError),
           (15, "a", TypeError), (18, None, TypeError), (19, Falsy(), RuntimeError)]


@pytest.mark.parametrize("entry, position, value, exc",
                         [("kalman_hot_loop", *bad) for bad in KF_BAD]
                         + [("ukf_hot_loop", *bad) for bad in UKF_BAD])
def test_conversion_errors_name_the_argument(entry, position, value, exc):
    args = list(kf_args()[0] if entry == "kalman_hot_loop" else ukf_args()) + [True, True]
    args[position] = value
    fn = getattr(K, entry)
    name = fn.__text_signature__.strip("()").split(", ")[position].split("=")[0]
    with pytest.raises(exc) as info:
        fn(*args)
    assert info.value.__notes__ == [f"while converting argument '{name}' of {entry}"]


def test_the_note_leaves_the_message_alone():
    args, _ = kf_args()
    y = np.asfortranarray(np.ones((5, 2)))
    with pytest.raises(ValueError) as info:
        K.kalman_hot_loop(*args[:8], y, *args[9:])
    assert str(info.value) == "ndarray is not C-contiguous"


def test_shape_errors_already_name_the_argument_and_get_no_note():
    args, _ = kf_args()
    with pytest.raises(ValueError, match=r"^A must have shape \(n, n\)\.$") as info:
        K.kalman_hot_loop(*args[:2], np.eye(4), *args[3:])
    assert not hasattr(info.value, "__notes__")


# ---- arrays that disagree name both ------------------------------------------------

# (argument, the shape it is given, the message) on model(3, 2, 4): A sets
# n = 3, B k = 4 and y m = 2
DISAGREEMENTS = [
    ("B", (2, 4), "A and B disagree on the number of states n: A (n, n) has 3 rows, "
                  "B (n, k) has 2 rows."),
    ("C", (2, 4), "A and C disagree on the number of states n: A (n, n) has 3 rows, "
                  "C (m, n) has 4 columns."),
    ("C", (3, 3), "C and y disagree on the number of observables m: C (m, n) has 3 rows, "
                  "y (T, m) has 2 columns."),
    ("y", (5, 3), "C and y disagree on the number of observables m: C (m, n) has 2 rows, "
                  "y (T, m) has 3 columns."),
    ("d", (3,), "d and y disagree on the number of observables m: d (m,) has 3 entries, "
                "y (T, m) has 2 columns."),
    ("Q", (3, 3), "B and Q disagree on the number of shocks k: B (n, k) has 4 columns, "
                  "Q (k, k) has 3 rows."),
    ("R", (1, 1), "R and y disagree on the number of observables m: R (m, m) has 1 row, "
                  "y (T, m) has 2 columns."),
    ("x0", (2,), "A and x0 disagree on the number of states n: A (n, n) has 3 rows, "
                 "x0 (n,) has 2 entries."),
    ("P0", (4, 4), "A and P0 disagree on the number of states n: A (n, n) has 3 rows, "
                   "P0 (n, n) has 4 rows."),
    ("diffuse_states", (2,), "A and diffuse_states disagree on the number of states n: "
                             "A (n, n) has 3 rows, diffuse_states (n,) has 2 entries."),
]


@pytest.mark.parametrize("key, shape, message", DISAGREEMENTS)
def test_arrays_that_disagree_are_named_together_with_the_extent(key, shape, message):
    """The linear model's entries check their shapes alike (the batch takes no
    diffuse_states)."""
    arrays = dict(model(3, 2, 4, 5, 0))
    kw = {"init": "diffuse", key: np.ones(shape)} if key == "diffuse_states" else {}
    arrays.update({} if kw else {key: np.ones(shape)})
    entries = [name for name in ("kalman_filter", "kalman_smoother", "kalman_loglik_grad",
                                 "kalman_loglik_batch")
               if not (kw and name == "kalman_loglik_batch")]
    for name in entries:
        with pytest.raises(ValueError) as info:
            getattr(K, name)(*(arrays[k] for k in KEYS), **kw)
        assert str(info.value) == message, name
