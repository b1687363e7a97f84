#!/usr/bin/env bash
# Builds the package and runs the demonstration. Sets the environment up
# first when needed (tools/env.sh).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
if [ -z "${ORVANTA_IN_ENV:-}" ]; then
  exec bash tools/env.sh env ORVANTA_IN_ENV=1 bash tools/demo.sh "$@"
fi
cmake -S . -B build/dev -G Ninja >/dev/null
cmake --build build/dev >/dev/null
./build/dev/local_level_demo
