#!/usr/bin/env bash
# Builds the package and runs the demonstrations: the C program that filters
# the Nile data through the native loop, then examples/demo.py (estimation
# on US macro data, the unscented filter on a growth model, and a figure
# under build/demo/). Sets the environment up first when needed
# (tools/env.sh). Extra arguments go to examples/demo.py.
#
# The demonstration's build compiles only the CPU variant this processor
# takes, into a package tree of its own (build/host/pkg): a newcomer waits
# for one variant, not all of them, and the in-place build that the tests
# use is left as it is.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
if [ -z "${ORVANTA_IN_ENV:-}" ]; then
  # The demonstration needs no package of the index: a new machine's
  # environment gets them with the first command that does.
  ORVANTA_INDEX_PACKAGES=later \
    exec bash tools/env.sh env ORVANTA_IN_ENV=1 bash tools/demo.sh "$@"
fi
source tools/package_tree.sh
build_package_tree host -DORVANTA_HOST_VARIANT_ONLY=ON >/dev/null
printf '== C: examples/local_level_demo.c\n'
./build/host/local_level_demo
printf '\n== Python: examples/demo.py\n'
PYTHONPATH="$PWD/build/host/pkg${PYTHONPATH:+:$PYTHONPATH}" python3 examples/demo.py "$@"
