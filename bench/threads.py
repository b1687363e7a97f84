"""Running benchmark calls on several threads at once."""

import threading
import time


def run_together(fns, calls):
    """Each of fns called `calls` times on a thread of its own, the threads
    released at once (so that their start-up does not count). Returns the
    wall time from their release to the end of the last one and the CPU
    time each thread got, in ns."""
    start, cpu = threading.Barrier(len(fns) + 1), []

    def worker(fn):
        start.wait()
        c0 = time.thread_time_ns()
        for _ in range(calls):
            fn()
        cpu.append(time.thread_time_ns() - c0)

    threads = [threading.Thread(target=worker, args=(fn,)) for fn in fns]
    for thread in threads:
        thread.start()
    start.wait()
    t0 = time.perf_counter_ns()
    for thread in threads:
        thread.join()
    return time.perf_counter_ns() - t0, cpu
