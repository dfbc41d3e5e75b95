#!/usr/bin/env bash
# Builds the libFuzzer targets and runs each one on a scratch copy of its corpus.
# Usage: scripts/fuzz.sh [options] [RUNS | SECONDSs]
#   RUNS       executions per target (default 10000000); "600s" means 600 seconds instead
#   --merge    afterwards, add what a clean run found that covers something new to tests/fuzz/corpus
#   --jobs N   targets run side by side (default: the number of processors)
#   --target T only this target (frame_decoder, dictionary, set_env); may be given again
# The repository's corpus only changes with --merge. Exit status: 0 if no target found anything.
# Scratch copies and logs go to build-fuzz/fuzz-work, or to $LD_FUZZ_WORK if set.
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD

all_targets=(frame_decoder dictionary set_env)
targets=()
budget=10000000
merge=0
jobs=$(nproc)
while (($#)); do
  case $1 in
    --merge) merge=1 ;;
    --jobs) jobs=$2; shift ;;
    --target) targets+=("$2"); shift ;;
    -h|--help) sed -n '2,9p' "$0"; exit 0 ;;
    [0-9]*) budget=$1 ;;
    *) echo "fuzz: unknown argument $1" >&2; exit 2 ;;
  esac
  shift
done
((${#targets[@]})) || targets=("${all_targets[@]}")
if [[ $budget =~ ^[0-9]+s$ ]]; then
  limit=(-max_total_time="${budget%s}")
elif [[ $budget =~ ^[0-9]+$ ]]; then
  limit=(-runs="$budget")
else
  echo "fuzz: expected a number of runs or of seconds (like 600s), not $budget" >&2
  exit 2
fi

# What the fuzz build needs, installed from Debian when missing: clang with its fuzzing
# runtime, and the libraries the fuzzed code uses.
packages=(cmake clang-14 libclang-rt-14-dev libmsgpack-cxx-dev libplist-dev nlohmann-json3-dev)
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
  sudo=()
  [[ $(id -u) -ne 0 ]] && sudo=(sudo)
  echo "fuzz: installing ${missing[*]}"
  { "${sudo[@]}" apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null; } ||
    { echo "fuzz: could not install ${missing[*]}" >&2; exit 1; }
fi
build_dir=$source_dir/build-fuzz
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCMAKE_C_COMPILER=clang-14 -DLD_FUZZ=ON -DLD_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" -j"$(nproc)" --target "${targets[@]/%/_fuzz}"

work=${LD_FUZZ_WORK:-$build_dir/fuzz-work}
# A smaller quarantine than the default: the targets allocate a lot and the runs are long.
export ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=16}

run_target() {
  local target=$1 dir=$work/$1
  rm -rf "$dir"
  mkdir -p "$dir/corpus" "$dir/artifacts"
  cp "$source_dir/tests/fuzz/corpus/$target/." "$dir/corpus/" -r
  # The frame decoder check decodes each input several ways, one byte at a time among them:
  # long inputs cost much and add little.
  local max_len=4096
  [[ $target == frame_decoder ]] && max_len=1024
  local status=0
  "$build_dir/fuzz/${target}_fuzz" "${limit[@]}" -max_len=$max_len -print_final_stats=1 \
    -artifact_prefix="$dir/artifacts/" "$dir/corpus" >"$dir/log" 2>&1 || status=$?
  echo "$status" >"$dir/status"
}

echo "fuzz: ${targets[*]}: ${limit[*]} each, $jobs at a time; logs in $work/<target>/log"
running=0
for target in "${targets[@]}"; do
  if ((running >= jobs)); then
    wait -n || true
    running=$((running - 1))
  fi
  run_target "$target" &
  running=$((running + 1))
done
wait

found=0
for target in "${targets[@]}"; do
  dir=$work/$target
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$dir/log")
  added=$(sed -n 's/^stat::new_units_added: *//p' "$dir/log")
  seconds=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$dir/log")
  if [[ $(cat "$dir/status") == 0 ]]; then
    printf '%-14s %s executions in %s s, %s exec/s, %s new inputs, nothing found\n' \
      "$target" "${runs:-?}" "${seconds:-?}" "${rate:-?}" "${added:-?}"
    if ((merge)); then
      # Edges only, covered by as few inputs as can be, keeps the corpus small.
      "$build_dir/fuzz/${target}_fuzz" -set_cover_merge=1 -use_counters=0 -max_len=4096 \
        "$source_dir/tests/fuzz/corpus/$target" "$dir/corpus" >"$dir/merge.log" 2>&1
      echo "               merged: $(sed -n 's/.*MERGE-OUTER: \([0-9]* new files\).*/\1/p' "$dir/merge.log" | tail -1)" \
        "into tests/fuzz/corpus/$target ($(ls "$source_dir/tests/fuzz/corpus/$target" | wc -l) files)"
    fi
  elif [[ $(cat "$dir/status") == 72 ]]; then
    found=1
    printf '%-14s interrupted after %s executions\n' "$target" "${runs:-?}"
  else
    found=1
    printf '%-14s FOUND something after %s executions; see %s/log\n' "$target" "${runs:-?}" "$dir"
    { grep -hE "^$target: |^SUMMARY: |ERROR: (Address|Leak|Undefined)Sanitizer" "$dir/log" || true; } |
      head -3 | sed 's/^/               /'
    for artifact in "$dir"/artifacts/*; do
      if [[ -e $artifact ]]; then
        echo "               input: $artifact"
      fi
    done
  fi
done
exit "$found"
