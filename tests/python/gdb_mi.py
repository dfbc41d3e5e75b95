"""A GDB/MI conversation over a local_debugger_host.ServiceClient, shared by the Python tests."""

import os
import re

TIMEOUT = 30
STOP_AT_COMPUTE = re.compile(rb'\*stopped,reason="breakpoint-hit".*func="compute",args=\[\{name="x",value="1"\}\]')


def example_program():
    return os.path.join(os.environ["LD_BIN_DIR"], "example-program")


def mi(client, command, until, timeout=TIMEOUT):
    """Sends one MI command; the lines up to the first holding until, as one bytes value."""
    client.send_bytes(command.encode() + b"\n")
    return b"".join(client.read_until(until, timeout))


def breakpoint_session(test, client):
    """Breaks at compute in the example program, runs it to its end and lets GDB exit; checks
    every step, and that the service ended with GDB."""
    test.assertIs(client.launch_gdb(), True)
    mi(client, "-file-exec-and-symbols " + example_program(), "^done")
    mi(client, "-break-insert compute", "^done,bkpt=")
    stop = mi(client, "-exec-run", "*stopped")
    test.assertRegex(stop, STOP_AT_COMPUTE)
    test.assertIn(b'^done,value="10"', mi(client, "-data-evaluate-expression x*10", "^done"))
    mi(client, "-break-delete", "^done")
    end = mi(client, "-exec-continue", '*stopped,reason="exited-normally"')
    test.assertIn(b"done 17\n", end)
    mi(client, "-gdb-exit", "^exit")
    test.assertTrue(client.wait_closed(TIMEOUT), "the service did not end after GDB exited")
    test.assertEqual(client.end, "closed")
