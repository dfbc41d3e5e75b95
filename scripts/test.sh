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

# The normal pass's tests mostly wait on debuggers and sockets and leave the processors two-thirds
# idle, so the sanitizer build runs meanwhile, scheduled only on a processor that nothing else
# wants (SCHED_IDLE), so that it takes what the tests leave. Its lines are shown once it is done.
second=()
if [[ $mode == --tsan ]]; then
  second=(build-tsan -DCMAKE_BUILD_TYPE=Debug -DLD_TSAN=ON "${lines_only[@]}")
elif [[ $mode != --quick ]]; then
  second=(build-asan -DCMAKE_BUILD_TYPE=Debug -DLD_SANITIZE=ON "${lines_only[@]}")
fi
if ((${#second[@]})); then
  second_log=$(mktemp)
  # Its own process group, so that a failing first pass ends all of the build.
  setsid chrt --idle 0 bash scripts/setup.sh "${second[@]}" >"$second_log" 2>&1 &
  second_build=$!
  trap 'kill -- -"$second_build" 2>/dev/null || true; rm -f "$second_log"' EXIT
fi

ctest --test-dir build --output-on-failure -j"$jobs"

if ((${#second[@]})); then
  second_status=0
  wait "$second_build" || second_status=$?
  trap 'rm -f "$second_log"' EXIT
  cat "$second_log"
  if ((second_status != 0)); then
    echo "test.sh: building ${second[0]}/ failed" >&2
    exit "$second_status"
  fi
fi

# Stress tests make fewer rounds under a sanitizer: each costs several times as much there.
if [[ $mode == --tsan ]]; then
  echo "== the same suite under ThreadSanitizer"
  LD_STRESS_RUNS=30 ctest --test-dir build-tsan --output-on-failure -j"$jobs"
elif [[ $mode != --quick ]]; then
  echo "== the same suite under AddressSanitizer and UndefinedBehaviorSanitizer"
  # What the sanitizers watch is the project's code on every path, not the behaviour the normal
  # pass has just checked: the console tables (screens held against gdb's and lldb's own) and the
  # DAP table's lldb script row (the same adapter code as the lldb helper row) would take half of
  # this pass. LD_ALL_UNDER_ASAN=1 runs them too.
  skip=()
  [[ ${LD_ALL_UNDER_ASAN:-} == 1 ]] || skip=(-E '^python\.test_console|^dap\.sessions\.lldb-script$')
  LD_STRESS_RUNS=150 ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir build-asan --output-on-failure -j"$jobs" "${skip[@]}"
fi
