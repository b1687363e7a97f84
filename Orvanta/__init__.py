"""Estimation of state-space models, with native filter loops."""

import os


def get_include():
    """The folder to put on a C compiler's include path to call the exported
    loops and kernels from native code: ``#include "kalman/kalman.h"`` (the
    filter loops) and ``#include "_common/orv_linalg.h"`` (the dense
    kernels), linking against the extension's shared object."""
    package = os.path.dirname(os.path.abspath(__file__))
    installed = os.path.join(package, "include")
    return installed if os.path.isdir(installed) else os.path.join(package, "_ckernels")
