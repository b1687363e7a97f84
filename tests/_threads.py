"""Whether a native call lets other Python threads run."""

import sys
import threading
import time


def spinner_ticks(call):
    """Runs call() while a Python thread counts as fast as it can; returns
    (ticks during the call, ticks in as long with the lock to itself, the
    call's wall time). A call that held the interpreter lock would leave the
    spinner a few switch intervals only."""
    ticks, stop = [0], threading.Event()

    def spin():
        while not stop.is_set():
            ticks[0] += 1

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-4)
    thread = threading.Thread(target=spin)
    thread.start()
    try:
        while ticks[0] == 0:
            time.sleep(0.001)
        begin, t0 = ticks[0], time.perf_counter()
        call()
        during, elapsed = ticks[0] - begin, time.perf_counter() - t0
        begin = ticks[0]
        time.sleep(elapsed)
        alone = ticks[0] - begin
    finally:
        stop.set()
        thread.join()
        sys.setswitchinterval(old)
    return during, alone, elapsed
