#!/usr/bin/env bash
# Builds the package and runs the whole test suite: the native tests and the
# Python tests against three builds of the extension (the normal one; one
# with only the portable kernels, as a processor without FMA runs them; one
# with AddressSanitizer and UndefinedBehaviorSanitizer). Sets the environment
# up first when needed (tools/env.sh). Extra arguments go to every pytest run.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
if [ -z "${ORVANTA_IN_ENV:-}" ]; then
  exec bash tools/env.sh env ORVANTA_IN_ENV=1 bash tools/test.sh "$@"
fi

step() { printf '\n== %s (%s)\n' "$*" "$(date +%T)"; }
jobs=$(nproc)

source tools/package_tree.sh

step "build (in place)"
cmake -S . -B build/dev -G Ninja -DORVANTA_BUILD_TESTS=ON >/dev/null
cmake --build build/dev

step "native tests"
ctest --test-dir build/dev --output-on-failure -j "$jobs"

# The Python passes spread their tests over one process per core
# (pytest-xdist), each process taking the next test when it is free.
spread=(-n "$jobs" --dist worksteal)

step "python tests"
# pytest exits 5 when it collected nothing; that fails this script too.
python3 -m pytest "${spread[@]}" "$@"

# The sampler wrappers (PyTensor, JAX) are Python over the entries that every
# pass tests; their tests spend a minute compiling graphs and sampling, five
# under the sanitizer, so they run in the first pass only.
sampler_tests=(tests/test_kalman_pytensor.py tests/test_kalman_jax.py)
first_pass_only=("${sampler_tests[@]/#/--ignore=}")

step "build with the portable kernels only"
build_package_tree generic -DORVANTA_BUILD_TESTS=ON -DORVANTA_GENERIC_ONLY=ON

step "native and python tests, portable kernels"
ctest --test-dir build/generic --output-on-failure -j "$jobs"
ORVANTA_PACKAGE_ROOT="$PWD/build/generic/pkg" python3 -m pytest -p no:cacheprovider \
  "${spread[@]}" "${first_pass_only[@]}" "$@"

step "build with AddressSanitizer and UndefinedBehaviorSanitizer"
build_package_tree asan -DORVANTA_BUILD_TESTS=ON -DCMAKE_BUILD_TYPE=Debug -DORVANTA_SANITIZE=ON

# A request beyond memory must come back as null, as from the system allocator.
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:allocator_may_return_null=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

step "native tests, sanitized"
ctest --test-dir build/asan --output-on-failure -j "$jobs"

step "python tests, sanitized"
# The interpreter itself is not instrumented: the sanitizer runtime has to be
# loaded before anything else. Leak reports are judged by their top frames,
# so the interpreter's own memory kept until exit is not reported while the
# extension's is; each process checks for leaks as its session ends
# (tests/conftest.py), a worker's findings failing the run.
ORVANTA_PACKAGE_ROOT="$PWD/build/asan/pkg" \
LD_PRELOAD="$(c++ -print-file-name=libasan.so)" \
ASAN_OPTIONS="$ASAN_OPTIONS:malloc_context_size=2:fast_unwind_on_malloc=1" \
LSAN_OPTIONS="suppressions=$PWD/tools/lsan.supp:print_suppressions=0" \
PYTHONMALLOC=malloc \
  python3 -m pytest -p no:cacheprovider "${spread[@]}" "${first_pass_only[@]}" "$@"
