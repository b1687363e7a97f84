"""Packages that only the Python package index carries
(tools/requirements-index.txt). Tests import them through `index_package`,
which skips only where the environment was built while the index could not
be reached, and never in CI."""

import importlib
import os

import pytest

# Written by tools/env.sh into the environment it builds, with the reason.
UNREACHABLE_MARKER = "/etc/orvanta/index-unreachable"


def index_package(name):
    try:
        return importlib.import_module(name)
    except ImportError as exc:
        missing = exc
    if os.path.exists(UNREACHABLE_MARKER) and not os.environ.get("CI"):
        with open(UNREACHABLE_MARKER, encoding="utf-8") as marker:
            pytest.skip(" ".join(marker.read().split()))
    pytest.fail(f"{name} is not installed ({missing}); install the pinned packages with "
                "`pip install --require-hashes --no-deps -r tools/requirements-index.txt`",
                pytrace=False)
