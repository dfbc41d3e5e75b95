#!/usr/bin/env bash
# Builds the service and the benchmark suite in release mode (build-release/) and runs the
# suite: the service and its baselines, measured in the same run, printed as a table.
# Usage: scripts/bench.sh [--smoke] [ld-bench arguments...]
#   --smoke  a run of a few seconds, for CI
set -euo pipefail
cd "$(dirname "$0")/.."

# What configuring the project needs and GDB for the prompt measure; socat is a baseline only,
# so without it that row says "not measured".
required=(
  build-essential cmake pkg-config
  libmsgpack-cxx-dev libplist-dev nlohmann-json3-dev liblldb-16-dev
  gdb
)
optional=(socat)

missing() {
  local package
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || echo "$package"
  done
}

install() {
  local sudo=()
  if [[ $(id -u) -ne 0 ]]; then
    command -v sudo >/dev/null || return 1
    sudo=(sudo)
  fi
  "${sudo[@]}" apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

mapfile -t needed < <(missing "${required[@]}")
if ((${#needed[@]})); then
  echo "bench: installing ${needed[*]}"
  install "${needed[@]}" || { echo "bench: could not install ${needed[*]}" >&2; exit 1; }
fi
mapfile -t wanted < <(missing "${optional[@]}")
if ((${#wanted[@]})); then
  echo "bench: installing ${wanted[*]}"
  install "${wanted[@]}" || echo "bench: could not install ${wanted[*]}; going on without" >&2
fi

build_dir=build-release
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=Release -DLD_BUILD_TESTS=OFF >/dev/null
cmake --build "$build_dir" --target ld-bench -j"$(nproc)"
exec "$build_dir/bin/ld-bench" "$@"
