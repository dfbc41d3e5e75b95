#!/usr/bin/python3
"""A GDB/MI session through the local-debugger service: break at compute in a program, run it,
print the stop record, then let it run to its end.

    gdb_session.py PROGRAM                  start the service installed with the module
    gdb_session.py --service PATH PROGRAM   start that service executable
    gdb_session.py --connect PROGRAM        connect to the socket unit's socket,
                                            $XDG_RUNTIME_DIR/local-debugger.sock
    gdb_session.py --socket PATH PROGRAM    connect to that listening socket
"""

import argparse
import os
import sys

try:
    import local_debugger_host as ldh
except ImportError:
    # Installed, P/share/local-debugger/examples lies beside P/lib/python3/dist-packages; in
    # the source tree the module is one directory up.
    here = os.path.dirname(os.path.abspath(__file__))
    sys.path[:0] = [os.path.join(here, "..", "..", "..", "lib", "python3", "dist-packages"), os.path.join(here, "..")]
    import local_debugger_host as ldh

TIMEOUT = 30
MI_RECORD_STARTS = (b"^", b"*", b"+", b"=", b"~", b"@", b"&", b"(gdb)")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("program", help="the program to debug, built with -g")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--service", help="the service executable to start")
    where.add_argument("--connect", action="store_true", help="connect to the socket unit's socket")
    where.add_argument("--socket", help="connect to this listening socket")
    parser.add_argument("--log", action="store_true", help="the service's diagnostics on standard error")
    args = parser.parse_args()
    program = os.path.abspath(args.program)
    if not os.path.isfile(program):
        sys.exit("gdb_session: no program at %s" % program)

    try:
        if args.connect or args.socket:
            service = ldh.ServiceClient.connect(args.socket)
        else:
            service = ldh.ServiceClient.start(args.service, log_to_stderr=args.log)
    except ldh.ServiceError as error:
        sys.exit("gdb_session: %s" % error)
    with service:
        # The debugger gets this environment and nothing else.
        service.set_environment({"HOME": os.environ.get("HOME", "/tmp"), "PATH": "/usr/bin:/bin"})
        if args.log:
            service.log()
        if not service.launch_gdb():
            sys.exit("gdb_session: the service refused to launch GDB (run with --log to see why)")

        def mi(command, until):
            service.send_bytes(command.encode() + b"\n")
            return service.read_until(until, TIMEOUT)

        mi("-file-exec-and-symbols " + program, "^done")
        mi("-break-insert compute", "^done")
        for line in mi("-exec-run", "*stopped"):
            if line.startswith(b"*stopped"):
                print("stopped:", line.decode(errors="replace").rstrip())
        mi("-break-delete", "^done")
        # The program writes to GDB's standard output too: its lines are the ones that are
        # not MI records.
        lines = mi("-exec-continue", '*stopped,reason="exited')
        for line in lines[:-1]:
            if not line.startswith(MI_RECORD_STARTS):
                print("program:", line.decode(errors="replace").rstrip())
        print("end:", lines[-1].decode(errors="replace").rstrip())
        mi("-gdb-exit", "^exit")
        if not service.wait_closed(TIMEOUT):
            sys.exit("gdb_session: the service did not end after GDB exited")
    status = service.wait_for_exit(TIMEOUT)
    if status not in (None, 0):
        sys.exit("gdb_session: the service ended with status %s" % status)
    print("GDB exited, and the service with it.")


if __name__ == "__main__":
    main()
