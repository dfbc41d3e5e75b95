#!/usr/bin/python3
"""A GDB/MI session through the local-debugger service: break at compute in a program, run it,
print the stop record, then let it run to its end."""

from example_service import USAGE, await_end, fail, open_service, parse_arguments

TIMEOUT = 30
MI_RECORD_STARTS = (b"^", b"*", b"+", b"=", b"~", b"@", b"&", b"(gdb)")
__doc__ += "\n" + USAGE % {"name": "gdb_session.py"}


def main():
    args = parse_arguments(__doc__.splitlines()[0])
    with open_service(args) as service:
        if not service.launch_gdb():
            fail("the service refused to launch GDB (run with --log to see why)")

        def mi(command, until):
            service.send_bytes(command.encode() + b"\n")
            return service.read_until(until, TIMEOUT)

        mi("-file-exec-and-symbols " + args.program, "^done")
        mi("-break-insert compute", "^done")
        for line in mi("-exec-run", "*stopped"):
            if line.startswith(b"*stopped"):
                print("stopped:", line.decode(errors="replace").rstrip())
        mi("-break-delete", "^done")
        # The program writes to GDB's standard output too: its lines are the ones that are not
        # MI records.
        lines = mi("-exec-continue", '*stopped,reason="exited')
        for line in lines[:-1]:
            if not line.startswith(MI_RECORD_STARTS):
                print("program:", line.decode(errors="replace").rstrip())
        print("end:", lines[-1].decode(errors="replace").rstrip())
        mi("-gdb-exit", "^exit")
        await_end(service, TIMEOUT)
    print("GDB exited, and the service with it.")


if __name__ == "__main__":
    main()
