"""What bench/run.py and bench/smoother.py time with: the extension module (the
in-place build, or one built or named here), the CPU meter of the other
processes, and Bench, which times calls interleaved, round after round."""

import glob
import importlib.machinery
import importlib.util
import os
import resource
import statistics
import subprocess
import sys
import time

BENCH = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(BENCH)
BUILD = os.path.join(ROOT, "build", "bench")


def log(msg):
    print(msg, flush=True)


# ---- the library -------------------------------------------------------------

def sources_newer_than(so_path):
    """The extension's sources changed since so_path was built."""
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
    if not force_build:
        try:
            import Orvanta._ckernels.kalman._kalman as lib
            return lib, lib.__file__
        except ImportError as exc:
            log(f"no importable in-place build ({exc}); building one")
    so_path = _build_library()
    return load_library_from(so_path), so_path


def load_library_from(so_path):
    """The extension module from the shared object at so_path."""
    name = "Orvanta._ckernels.kalman._kalman"
    import Orvanta._ckernels.kalman  # noqa: F401  (parent package)
    loader = importlib.machinery.ExtensionFileLoader(name, so_path)
    spec = importlib.util.spec_from_file_location(name, so_path, loader=loader)
    lib = importlib.util.module_from_spec(spec)
    loader.exec_module(lib)
    sys.modules[name] = lib
    return lib


# ---- what else the machine was doing ------------------------------------------

def _thread_cpu_clock(tid):
    """The CPU-time clock of the thread with kernel id tid (Linux's encoding,
    the one pthread_getcpuclockid uses)."""
    return (~tid << 3) | 6  # per-thread, scheduler time


def process_cpu_ns():
    """This process's CPU time, every thread's up to date. The process clock
    adds the time of a thread running on another processor only at that
    thread's next scheduler tick (up to 4 ms at 250 Hz), which undercounts a
    native helper thread over a window of a few milliseconds. Reading a
    thread's own clock brings its account up to date first."""
    for name in os.listdir("/proc/self/task"):
        try:
            time.clock_gettime_ns(_thread_cpu_clock(int(name)))
        except OSError:
            pass  # the thread has ended; its time is already the process's
    return time.process_time_ns()


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
        children = resource.getrusage(resource.RUSAGE_CHILDREN)
        own = process_cpu_ns() * 1e-9 + children.ru_utime + children.ru_stime
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


# ---- timing -------------------------------------------------------------------

class Bench:
    def __init__(self, quick, meter):
        self.quick = quick
        self.meter = meter
        self.last_others = 0.0  # other processes' CPU share during the last run()
        self.last_cores = {}  # label -> cores this process used during the last run()
        self.rounds = 5 if quick else 31
        self.min_rounds = 2 if quick else 5
        self.target_ns = 3e6 if quick else 25e6  # time per batch
        self.slow_budget_ns = 0.3e9 if quick else 4e9  # per slow peer and case

    def run(self, entries):
        """entries: list of (label, fn). Warms up, then times the entries
        interleaved, round after round. Returns label -> list of per-call ns;
        self.last_cores has label -> the median over rounds of this process's
        CPU time over the wall time (about 1 for one thread that had its core,
        above 1 for a call that ran threads of its own, below it when other
        processes took the core)."""
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
        cores = {label: [] for label, *_ in plan}
        for r in range(max(p[3] for p in plan)):
            for label, fn, batch, rounds in plan:
                if r >= rounds:
                    continue
                c0 = process_cpu_ns()
                t0 = time.perf_counter_ns()
                for _ in range(batch):
                    fn()
                wall = time.perf_counter_ns() - t0
                cores[label].append((process_cpu_ns() - c0) / max(wall, 1))
                samples[label].append(wall / batch)
        self.last_others = self.meter.others_share(before)
        self.last_cores = {label: med(v) for label, v in cores.items()}
        return samples


def med(xs):
    return statistics.median(xs)
