"""Where the tests find what they run: this folder, and the package tree they
import (the checkout, where the build puts the extension module next to its
Python files, or the tree that ORVANTA_PACKAGE_ROOT names: the sanitized
build lays out its own), for the scripts they run in processes of their own."""

import os

TESTS = os.path.dirname(os.path.abspath(__file__))
PACKAGE_ROOT = os.environ.get("ORVANTA_PACKAGE_ROOT") or os.path.dirname(TESTS)
