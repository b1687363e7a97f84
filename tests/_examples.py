"""Runs a script of examples/ as a user would, in a process of its own, against
the package these tests import (the checkout's or ORVANTA_PACKAGE_ROOT's)."""

import os
import subprocess
import sys

import Orvanta

EXAMPLES = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "examples")


def run_example(name, *arguments, timeout):
    package_root = os.path.dirname(os.path.dirname(os.path.abspath(Orvanta.__file__)))
    return subprocess.run([sys.executable, "-W", "ignore", os.path.join(EXAMPLES, name),
                           *arguments], env=dict(os.environ, PYTHONPATH=package_root),
                          capture_output=True, text=True, timeout=timeout)
