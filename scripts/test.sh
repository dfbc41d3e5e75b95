#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite: first the normal build, then the same suite
# built with AddressSanitizer and UndefinedBehaviorSanitizer.
#   --quick  the normal build only
#   --tsan   the normal build, then the suite under ThreadSanitizer instead of ASan and UBSan
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
mode=${1:-}
case $mode in
  '' | --quick | --tsan) ;;
  *) echo "usage: scripts/test.sh [--quick | --tsan]" >&2; exit 2 ;;
esac

bash scripts/setup.sh build
ctest --test-dir build --output-on-failure -j"$jobs"

# Stress tests make fewer rounds under a sanitizer: each costs several times as much there.
if [[ $mode == --tsan ]]; then
  echo "== the same suite under ThreadSanitizer"
  bash scripts/setup.sh build-tsan -DCMAKE_BUILD_TYPE=Debug -DLD_TSAN=ON
  LD_STRESS_RUNS=30 ctest --test-dir build-tsan --output-on-failure -j"$jobs"
elif [[ $mode != --quick ]]; then
  echo "== the same suite under AddressSanitizer and UndefinedBehaviorSanitizer"
  bash scripts/setup.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DLD_SANITIZE=ON
  # The side-by-side console tables hold the screens against gdb's and lldb's own consoles: what
  # they find is behaviour, which the normal pass checks, and here they would take three minutes
  # for console code that the other console tests run too. LD_ALL_UNDER_ASAN=1 keeps them.
  skip=()
  [[ ${LD_ALL_UNDER_ASAN:-} == 1 ]] || skip=(-E '^python\.test_console_parity\.SideBySide')
  LD_STRESS_RUNS=150 ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j"$jobs" "${skip[@]}"
fi
