#!/usr/bin/env bash
# Builds the package in place and runs the demonstrations: the C program that
# filters the Nile data through the native loop, then examples/demo.py
# (estimation on US macro data, the unscented filter on a growth model, and a
# figure under build/demo/). Sets the environment up first when needed
# (tools/env.sh). Extra arguments go to examples/demo.py.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
if [ -z "${ORVANTA_IN_ENV:-}" ]; then
  exec bash tools/env.sh env ORVANTA_IN_ENV=1 bash tools/demo.sh "$@"
fi
cmake -S . -B build/dev -G Ninja >/dev/null
cmake --build build/dev >/dev/null
printf '== C: examples/local_level_demo.c\n'
./build/dev/local_level_demo
printf '\n== Python: examples/demo.py\n'
PYTHONPATH="$PWD${PYTHONPATH:+:$PYTHONPATH}" python3 examples/demo.py "$@"
