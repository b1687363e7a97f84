#!/usr/bin/env bash
# Builds the package in place and runs the whole test suite: the native tests
# (normal and sanitized builds) and the Python tests. Sets the environment up
# first when needed (tools/env.sh). Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
if [ -z "${ORVANTA_IN_ENV:-}" ]; then
  exec bash tools/env.sh env ORVANTA_IN_ENV=1 bash tools/test.sh "$@"
fi

step() { printf '\n== %s\n' "$*"; }

step "build (in place)"
cmake -S . -B build/dev -G Ninja -DORVANTA_BUILD_TESTS=ON >/dev/null
cmake --build build/dev

step "native tests"
ctest --test-dir build/dev --output-on-failure

step "native tests under AddressSanitizer and UndefinedBehaviorSanitizer"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DORVANTA_BUILD_TESTS=ON \
  -DORVANTA_SANITIZE=ON -DORVANTA_MODULE_DIR="$PWD/build/asan/module" >/dev/null
cmake --build build/asan
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/asan --output-on-failure

step "python tests"
# pytest exits 5 when it collected nothing; that is a failure here too.
python3 -m pytest "$@"
