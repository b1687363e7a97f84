import os
import sys

# Tests import the package from the checkout, where the build puts the
# extension module next to its Python files, or from the package tree that
# ORVANTA_PACKAGE_ROOT names (the sanitized build lays out its own).
_checkout = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.environ.get("ORVANTA_PACKAGE_ROOT") or _checkout)
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
