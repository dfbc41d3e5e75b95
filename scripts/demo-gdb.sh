#!/usr/bin/env bash
# A real debugging run through the service: debugger-host starts it and launches GDB/MI; this
# script plays the host's user, sending MI commands and showing everything that comes back.
# Then the same program in debugger-host's console, as a person at a terminal gets it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh build >/dev/null

program=$PWD/build/bin/example-program
coproc HOST { exec build/bin/debugger-host --gdb --env-clear --env HOME=/tmp 2>&1; }
trap 'kill "$HOST_PID" 2>/dev/null || true' EXIT

send() {
  printf '\n\033[1mhost sends:\033[0m %s\n' "$1"
  printf '%s\n' "$1" >&"${HOST[1]}"
}

# Shows what the host receives until a line containing the text arrives.
expect() {
  local line
  while IFS= read -r -t 30 line <&"${HOST[0]}"; do
    printf '  %s\n' "$line"
    [[ $line == *"$1"* ]] && return 0
  done
  echo "demo: did not receive \"$1\"" >&2
  return 1
}

echo "Debugging $program with GDB/MI through local-debugger"
send "-file-exec-and-symbols $program";           expect "^done"
send "-break-insert compute";                     expect "^done"
send "-exec-run";                                 expect "*stopped"
send "-data-evaluate-expression x";               expect "^done"
send "-stack-list-frames";                        expect "^done"
send "-break-delete";                             expect "^done"
send "-exec-continue";                            expect "*stopped"
send "-gdb-exit";                                 expect "^exit"
status=0
wait "$HOST_PID" || status=$?
trap - EXIT
printf '\ndebugger-host exited with status %d: GDB ended, and the service with it.\n' "$status"

printf '\n\033[1mThe same in the console a person gets at a terminal (debugger-host --gdb PROGRAM):\033[0m\n'
status=0
python3 scripts/demo_console.py build/bin/debugger-host "$program" || status=$?
printf '\n\ndebugger-host exited with status %d.\n' "$status"
