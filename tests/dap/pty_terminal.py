#!/usr/bin/env python3
"""An editor's terminal for the DAP tests: runs the command given on a new pseudo-terminal, as
its session leader, types what arrives on standard input and shows the screen on standard output.
Ends once nothing holds the terminal open any more, with the command's exit status."""
import os
import pty
import select
import sys

pid, master = pty.fork()
if pid == 0:
    os.execvp(sys.argv[1], sys.argv[1:])
watched = [master, sys.stdin.fileno()]
while True:
    ready, _, _ = select.select(watched, [], [])
    if sys.stdin.fileno() in ready:
        typed = os.read(sys.stdin.fileno(), 4096)
        if typed:
            os.write(master, typed)
        else:
            watched.remove(sys.stdin.fileno())
    if master in ready:
        try:
            shown = os.read(master, 4096)
        except OSError:  # EIO: every other end has closed
            shown = b""
        if not shown:
            break
        os.write(sys.stdout.fileno(), shown)
_, status = os.waitpid(pid, 0)
sys.exit(os.waitstatus_to_exitcode(status))
