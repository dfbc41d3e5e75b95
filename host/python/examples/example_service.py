"""What the examples share: the local_debugger_host module, found where it is installed beside
them (or in the source tree), their options, and the service they name started or reached."""

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

USAGE = """
    %(name)s PROGRAM                  start the service installed with the module
    %(name)s --service PATH PROGRAM   start that service executable
    %(name)s --connect PROGRAM        connect to the socket unit's socket,
                                      $XDG_RUNTIME_DIR/local-debugger.sock
    %(name)s --socket PATH PROGRAM    connect to that listening socket
"""


def parse_arguments(description):
    """The example's options; the program to debug as an absolute path."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("program", help="the program to debug, built with -g")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--service", help="the service executable to start")
    where.add_argument("--connect", action="store_true", help="connect to the socket unit's socket")
    where.add_argument("--socket", help="connect to this listening socket")
    parser.add_argument("--log", action="store_true", help="the service's diagnostics on standard error")
    args = parser.parse_args()
    args.program = os.path.abspath(args.program)
    if not os.path.isfile(args.program):
        fail("no program at %s" % args.program)
    return args


def open_service(args):
    """The service the options name, started or reached, the debugger's environment set."""
    try:
        if args.connect or args.socket:
            service = ldh.ServiceClient.connect(args.socket)
        else:
            service = ldh.ServiceClient.start(args.service, log_to_stderr=args.log)
    except ldh.ServiceError as error:
        fail(str(error))
    # The debugger gets this environment and nothing else.
    service.set_environment({"HOME": os.environ.get("HOME", "/tmp"), "PATH": "/usr/bin:/bin"})
    if args.log:
        service.log()
    return service


def await_end(service, timeout):
    """Once the debugger has been told to end: the run's end, then the started service's exit."""
    if not service.wait_closed(timeout):
        fail("the service did not end after the debugger did")
    status = service.wait_for_exit(timeout)
    if status not in (None, 0):
        fail("the service ended with status %s" % status)


def fail(problem):
    sys.exit("%s: %s" % (os.path.splitext(os.path.basename(sys.argv[0]))[0], problem))
