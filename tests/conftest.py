import os
import sys

# Tests import their helpers from this folder, and the package from the tree
# that _paths names.
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from _paths import PACKAGE_ROOT  # noqa: E402
sys.path.insert(1, PACKAGE_ROOT)


# ---- leaks, under a preloaded LeakSanitizer ----------------------------------
# The sanitized run (tools/test.sh) preloads the sanitizer runtime, whose leak
# check runs when a process exits and fails it. pytest-xdist's workers exit
# after their results are in, where a failure would go unseen; so each
# process also runs the check at the end of its session, and a worker hands
# what it found to the process that reports the run.

import ctypes

import pytest


def _leaks_found():
    """Whether LeakSanitizer, when loaded, finds leaked memory (its report
    then goes to stderr)."""
    check = getattr(ctypes.CDLL(None), "__lsan_do_recoverable_leak_check", None)
    return check is not None and check() != 0


_workers_with_leaks = []


@pytest.hookimpl(optionalhook=True)
def pytest_testnodedown(node, error):
    if getattr(node, "workeroutput", {}).get("leaks_found"):
        _workers_with_leaks.append(node.gateway.id)


def pytest_sessionfinish(session):
    if _leaks_found():
        if hasattr(session.config, "workeroutput"):
            session.config.workeroutput["leaks_found"] = True
        session.exitstatus = pytest.ExitCode.TESTS_FAILED
    if _workers_with_leaks:
        print(f"\nLeakSanitizer found leaks in worker(s) {', '.join(_workers_with_leaks)}; "
              "their reports are above.", file=sys.stderr)
        session.exitstatus = pytest.ExitCode.TESTS_FAILED
