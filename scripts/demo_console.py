"""Plays a person at debugger-host's console: types each line once the prompt is back, and shows
the screen as it comes. Usage: demo_console.py DEBUGGER-HOST PROGRAM"""

import os
import pty
import select
import sys
import time

host, program = sys.argv[1], sys.argv[2]
lines = ["break compute", "run", "print x * 10", "next", "bt", "delete", "continue"]

pid, fd = pty.fork()
if pid == 0:
    os.execv(host, [host, "--gdb", program])


def show_until(text, timeout=30):
    screen = b""
    deadline = time.monotonic() + timeout
    while text not in screen and time.monotonic() < deadline:
        if select.select([fd], [], [], 0.5)[0]:
            try:
                chunk = os.read(fd, 65536)
            except OSError:
                break
            if not chunk:
                break
            screen += chunk
            sys.stdout.write(chunk.decode(errors="replace").replace("\r\n", "\n"))
            sys.stdout.flush()
    if text not in screen:
        sys.exit("demo: the console did not show %r" % text.decode())


show_until(b"(gdb) ")
for line in lines:
    time.sleep(0.3)  # a person's pace: the line is typed once the prompt is back
    os.write(fd, line.encode() + b"\n")
    show_until(b"(gdb) ")
os.write(fd, b"\x04")
show_until(b"\n")
_, status = os.waitpid(pid, 0)
sys.exit(os.waitstatus_to_exitcode(status))
