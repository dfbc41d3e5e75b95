"""The Python host module driving real runs of the built service."""

import os
import unittest

import local_debugger_host as ldh

SERVICE = os.path.join(os.environ["LD_BUNDLE_DIR"], "local-debugger")
EXAMPLE = os.path.join(os.environ["LD_BIN_DIR"], "example-program")
TIMEOUT = 30


def start():
    return ldh.ServiceClient.start(SERVICE, stderr=ldh.subprocess.DEVNULL)


def mi(client, command, until):
    """Sends one MI command; the lines up to the first holding until, as one bytes value."""
    client.send_bytes(command.encode() + b"\n")
    return b"".join(client.read_until(until, TIMEOUT))


class GdbThroughAStartedService(unittest.TestCase):
    def test_breakpoint_session_runs_to_the_end_and_the_service_ends_with_gdb(self):
        with start() as client:
            client.set_environment({"HOME": "/tmp"})
            self.assertIs(client.launch_gdb(), True)
            mi(client, "-file-exec-and-symbols " + EXAMPLE, "^done")
            mi(client, "-break-insert compute", "^done,bkpt=")
            self.assertRegex(mi(client, "-exec-run", "*stopped"), rb'reason="breakpoint-hit".*func="compute"')
            mi(client, "-break-delete", "^done")
            self.assertIn(b"done 17\n", mi(client, "-exec-continue", '*stopped,reason="exited-normally"'))
            mi(client, "-gdb-exit", "^exit")
            self.assertTrue(client.wait_closed(TIMEOUT), "the service did not end after GDB exited")
            self.assertEqual(client.wait_for_exit(TIMEOUT), 0)

    def test_gdb_gets_exactly_the_environment_sent_and_one_launch_only(self):
        with start() as client:
            client.set_environment(["LD_FIRST=a b=c", "LD_SECOND=", b"LD_BYTES=\xff"])
            self.assertIs(client.launch_gdb(), True)
            self.assertIs(client.launch_gdb(), False)
            shown = mi(client, '-interpreter-exec console "show environment"', "^done")
            self.assertIs(client.stop(), True)
            self.assertEqual(client.wait_for_exit(TIMEOUT), 0)
        self.assertIn(b'~"LD_FIRST=a b=c\\n"', shown)
        self.assertIn(b'~"LD_SECOND=\\n"', shown)
        self.assertIn(b"LD_BYTES=", shown)
        self.assertNotIn(b"PATH=", shown)


if __name__ == "__main__":
    unittest.main()
