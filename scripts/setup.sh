#!/usr/bin/env bash
# Installs what the project needs from Debian's packages (when missing) and builds it.
# Usage: scripts/setup.sh [BUILD_DIR [extra cmake arguments...]]
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  build-essential cmake pkg-config clang-format
  libgtest-dev libmsgpack-cxx-dev libplist-dev nlohmann-json3-dev libedit-dev
  libncurses-dev libbsd-dev # their static libraries: debugger-host is linked whole
  gdb gdb-multiarch
  lldb-16 liblldb-16-dev python3-lldb-16 python3 python3-msgpack python3-pyte
  systemd bubblewrap
)
# The DAP client's tests need Node and npm; only where missing, since another Node's package can
# conflict with Debian's npm.
command -v node >/dev/null || packages+=(nodejs)
command -v npm >/dev/null || packages+=(npm)

missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]}" >&2
  if [[ $(id -u) -eq 0 ]]; then
    sudo=()
  elif command -v sudo >/dev/null; then
    sudo=(sudo)
  else
    echo "setup: these Debian packages are missing and I am not root: ${missing[*]}" >&2
    exit 1
  fi
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

build_dir=${1:-build}
shift || true
echo "setup: configuring $build_dir/" >&2
cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
echo "setup: building $build_dir/" >&2
# The build's own lines go to standard output; when that is not a terminal (a caller keeps it
# quiet), its progress still shows on standard error: one updated line on a terminal, else a
# line for each step, so that a log keeps one message a line.
cmake --build "$build_dir" -j"$(nproc)" | {
  shown=
  while IFS= read -r line; do
    printf '%s\n' "$line"
    if [[ ! -t 1 && $line =~ ^\[\ *([0-9]+)%\] && ${BASH_REMATCH[1]} != "$shown" ]]; then
      shown=${BASH_REMATCH[1]}
      if [[ -t 2 ]]; then
        printf '\rsetup: building %s/: %s%%' "$build_dir" "$shown" >&2
      else
        printf 'setup: building %s/: %s%%\n' "$build_dir" "$shown" >&2
      fi
    fi
  done
}
if [[ ! -t 1 ]]; then
  if [[ -t 2 ]]; then
    printf '\rsetup: built %s/          \n' "$build_dir" >&2
  else
    printf 'setup: built %s/\n' "$build_dir" >&2
  fi
fi

# The DAP client for the dap.sessions tests, pinned by tests/dap/package-lock.json.
client_dir=$build_dir/dap-client
if [[ -d $client_dir/node_modules/@vscode/debugadapter-testsupport ]] &&
  cmp -s tests/dap/package-lock.json "$client_dir/package-lock.json"; then
  echo "setup: DAP client in $client_dir/ is up to date" >&2
else
  echo "setup: installing the DAP client into $client_dir/" >&2
  mkdir -p "$client_dir"
  cp tests/dap/package.json tests/dap/package-lock.json "$client_dir/"
  npm ci --prefix "$client_dir" --no-audit --no-fund
fi
