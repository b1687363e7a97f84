"""How much memory the process holds, for tests that repeat calls and check
that nothing accumulates."""

import ctypes as ct
import gc
import os

# Under AddressSanitizer freed blocks wait in a quarantine that swells the
# resident size; there the allocator's count of live bytes stands in for it.
# Its presence also marks the slow, sanitized run.
_live = getattr(ct.CDLL(None), "__sanitizer_get_current_allocated_bytes", None)
if _live is not None:
    _live.restype = ct.c_size_t
SANITIZED = _live is not None


def held_bytes():
    gc.collect()
    if _live is not None:
        return _live()
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
