#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: first the normal build, then the same suite
# built with AddressSanitizer and UndefinedBehaviorSanitizer. --quick runs the first only.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

bash scripts/setup.sh build
ctest --test-dir build --output-on-failure -j"$jobs"

if [[ ${1:-} != --quick ]]; then
  echo "== the same suite under AddressSanitizer and UndefinedBehaviorSanitizer"
  bash scripts/setup.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DLD_SANITIZE=ON
  # Stress tests make fewer rounds here: each costs several times as much under the sanitizers.
  LD_STRESS_RUNS=150 ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j"$jobs"
fi
