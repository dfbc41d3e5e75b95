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

# The test builds carry line tables only (-g1): backtraces keep their files and lines, and there
# is a third less to compile. The programs the tests debug keep their full debug information.
lines_only=(-DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG"
  -DCMAKE_CXX_FLAGS_DEBUG=-g1 -DCMAKE_C_FLAGS_DEBUG=-g1)

bash scripts/setup.sh build "${lines_only[@]}"
ctest --test-dir build --output-on-failure -j"$jobs"

# Stress tests make fewer rounds under a sanitizer: each costs several times as much there.
if [[ $mode == --tsan ]]; then
  echo "== the same suite under ThreadSanitizer"
  bash scripts/setup.sh build-tsan -DCMAKE_BUILD_TYPE=Debug -DLD_TSAN=ON "${lines_only[@]}"
  LD_STRESS_RUNS=30 ctest --test-dir build-tsan --output-on-failure -j"$jobs"
elif [[ $mode != --quick ]]; then
  echo "== the same suite under AddressSanitizer and UndefinedBehaviorSanitizer"
  bash scripts/setup.sh build-asan -DCMAKE_BUILD_TYPE=Debug -DLD_SANITIZE=ON "${lines_only[@]}"
  # What the sanitizers watch is the project's code on every path, not the behaviour the normal
  # pass has just checked: the console tables (screens held against gdb's and lldb's own) and the
  # DAP table's lldb script row (the same adapter code as the lldb helper row) would take half of
  # this pass. LD_ALL_UNDER_ASAN=1 runs them too.
  skip=()
  [[ ${LD_ALL_UNDER_ASAN:-} == 1 ]] || skip=(-E '^python\.test_console|^dap\.sessions\.lldb-script$')
  LD_STRESS_RUNS=150 ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j"$jobs" "${skip[@]}"
fi
