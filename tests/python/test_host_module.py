"""The Python host module against the built service, and against a peer that plays the service."""

import os
import shutil
import socket
import tempfile
import threading
import unittest

import msgpack

import local_debugger_host as ldh
from gdb_mi import TIMEOUT, breakpoint_session, example_program, mi

BUNDLE = os.environ["LD_BUNDLE_DIR"]
SERVICE = os.path.join(BUNDLE, "local-debugger")


def start(**options):
    return ldh.ServiceClient.start(SERVICE, stderr=ldh.subprocess.DEVNULL, **options)


class GdbThroughAStartedService(unittest.TestCase):
    def test_breakpoint_session_runs_to_the_end_and_the_service_ends_with_gdb(self):
        with start() as client:
            client.set_environment({"HOME": "/tmp"})
            breakpoint_session(self, client)
            self.assertEqual(client.wait_for_exit(TIMEOUT), 0)

    def test_debugger_gets_the_environment_sent_and_nothing_of_the_host(self):
        os.environ["LD_ONLY_IN_THE_HOST"] = "1"
        try:
            with start() as client:
                client.set_environment(["LD_FIRST=a b=c", "LD_SECOND=", b"LD_BYTES=\xff"])
                self.assertIs(client.launch_gdb(), True)
                shown = mi(client, '-interpreter-exec console "show environment"', "^done")
                client.stop()
        finally:
            del os.environ["LD_ONLY_IN_THE_HOST"]
        self.assertIn(b'~"LD_FIRST=a b=c\\n"', shown)
        self.assertIn(b'~"LD_SECOND=\\n"', shown)
        self.assertIn(b"LD_BYTES=", shown)
        self.assertNotIn(b"LD_ONLY_IN_THE_HOST", shown)
        self.assertNotIn(b"PATH=", shown)

    def test_interrupt_stops_a_program_in_an_endless_loop(self):
        with start() as client:
            client.set_environment({"HOME": "/tmp"})
            self.assertIs(client.launch_gdb(), True)
            mi(client, "-file-exec-and-symbols " + example_program(), "^done")
            mi(client, "-exec-arguments spin", "^done")
            # Stopping in spin() first makes sure the interrupt finds the program in its loop.
            mi(client, "-break-insert spin", "^done")
            mi(client, "-exec-run", '*stopped,reason="breakpoint-hit"')
            mi(client, "-break-delete", "^done")
            mi(client, "-exec-continue", "*running")
            stopped = b""
            for _ in range(5):
                client.interrupt()
                try:
                    stopped = b"".join(client.read_until("*stopped", 5))
                    break
                except TimeoutError:
                    continue
            self.assertRegex(stopped, rb'\*stopped,reason="signal-received",signal-name="SIGINT".*func="spin"')
            self.assertIs(client.stop(), True)
            self.assertEqual(client.wait_for_exit(TIMEOUT), 0)


class CommandsAndReplies(unittest.TestCase):
    def test_second_launch_is_refused_and_stop_reports_the_first(self):
        with start() as client:
            self.assertIs(client.launch_gdb(), True)
            self.assertIs(client.launch_gdb(), False)
            self.assertIs(client.stop(), True)
            self.assertTrue(client.wait_closed(TIMEOUT))
            self.assertEqual(client.wait_for_exit(TIMEOUT), 0)

    def test_stop_before_any_launch_replies_false_and_ends_the_service(self):
        with start() as client:
            self.assertIs(client.stop(), False)
            self.assertEqual(client.wait_for_exit(TIMEOUT), 0)
            self.assertTrue(client.wait_closed(TIMEOUT))

    def test_request_for_a_command_without_reply_times_out_and_the_connection_stays_usable(self):
        with start() as client:
            self.assertIsNone(client.request({"command": "break"}, 0.5))
            self.assertFalse(client.closed)
            self.assertIs(client.stop(), False)

    def test_disconnecting_ends_the_service_and_its_debugger(self):
        with start() as client:
            self.assertIs(client.launch_gdb(), True)
            client.disconnect()
            self.assertEqual(client.wait_for_exit(TIMEOUT), 0)


class BundleFailures(unittest.TestCase):
    """What a host sees when a back end is missing or cannot run (a copy of the bundle)."""

    def setUp(self):
        self.bundle = os.path.join(tempfile.mkdtemp(prefix="ld-bundle-"), "bundle")
        self.addCleanup(shutil.rmtree, os.path.dirname(self.bundle))
        shutil.copytree(BUNDLE, self.bundle, symlinks=True)

    def start_copy(self):
        return ldh.ServiceClient.start(os.path.join(self.bundle, "local-debugger"), stderr=ldh.subprocess.DEVNULL)

    def test_missing_back_end_refuses_the_launch_and_another_may_follow(self):
        os.remove(os.path.join(self.bundle, "gdb-x86_64"))
        with self.start_copy() as client:
            self.assertIs(client.launch_gdb(), False)
            self.assertFalse(client.closed)
            self.assertIs(client.launch_gdb(arch="aarch64"), True)
            self.assertIs(client.stop(), True)

    def test_back_end_without_gdb_is_a_launch_then_the_end_with_no_output(self):
        wrapper = os.path.join(self.bundle, "gdb-x86_64")
        with open(wrapper, "w") as script:
            script.write("#!/bin/sh\nexec /nonexistent/gdb \"$@\"\n")
        with self.start_copy() as client:
            self.assertIs(client.launch_gdb(), True)
            self.assertTrue(client.wait_closed(TIMEOUT))
            self.assertEqual(client.receive(0), b"")
            self.assertEqual(client.wait_for_exit(TIMEOUT), 0)


class FakeService:
    """The service's end of a socket pair, written and read by hand."""

    def __init__(self):
        self.sock, theirs = socket.socketpair()
        self.closed_calls = []
        self.client = ldh.ServiceClient(theirs, on_closed=lambda: self.closed_calls.append(1))
        self.unpacker = msgpack.Unpacker(raw=False)

    def plain(self, **dictionary):
        return msgpack.packb([2, "message", [dictionary]], use_bin_type=True)

    def next_message(self):
        for value in self.unpacker:
            return value
        while True:
            self.unpacker.feed(self.sock.recv(65536))
            for value in self.unpacker:
                return value

    def close(self):
        self.sock.close()
        self.client.close()


class WireFormat(unittest.TestCase):
    def setUp(self):
        self.service = FakeService()
        self.addCleanup(self.service.close)
        self.client = self.service.client

    def test_messages_go_out_in_the_three_shapes_with_bytes_as_bin(self):
        self.client.send_command("log")
        self.assertEqual(self.service.next_message(), [2, "message", [{"command": "log"}]])
        self.client.set_environment({"A": "1", "B": "22"})
        self.assertEqual(self.service.next_message(), [2, "message", [{"command": "set_env", "data": b"A=1\0B=22\0\0"}]])
        replies = []
        thread = threading.Thread(target=lambda: replies.append(self.client.launch_gdb(arch="aarch64")))
        thread.start()
        request = self.service.next_message()
        self.assertEqual(request[0], 0)
        self.assertEqual(request[2:], ["message", [{"command": "launch_gdb", "arch": "aarch64"}]])
        self.service.sock.sendall(msgpack.packb([1, request[1], None, {"result": True}]))
        thread.join(TIMEOUT)
        self.assertEqual(replies, [True])

    def test_large_sends_are_cut_into_messages_and_oversized_messages_refused(self):
        data = bytes(range(256)) * (ldh.SEND_CHUNK // 256 * 2 + 3)
        # The peer reads while the client writes: the socket holds far less than this.
        sent = []
        writer = threading.Thread(target=lambda: sent.append(self.client.send_bytes(data)))
        writer.start()
        received = b""
        while len(received) < len(data):
            message = self.service.next_message()
            self.assertEqual(message[2][0]["command"], "send")
            self.assertLessEqual(len(message[2][0]["data"]), ldh.SEND_CHUNK)
            received += message[2][0]["data"]
        writer.join(TIMEOUT)
        self.assertEqual(sent, [True])
        self.assertEqual(received, data)
        with self.assertRaises(ValueError):
            self.client.set_environment(["X=" + "y" * ldh.MAX_MESSAGE_SIZE])
        self.client.send_command("log")
        self.assertEqual(self.service.next_message(), [2, "message", [{"command": "log"}]])

    def test_environment_payload_rejects_what_would_change_its_meaning(self):
        self.assertEqual(ldh.environment_payload([]), b"\0")
        self.assertEqual(ldh.environment_payload(["A=1", b"A=2"]), b"A=1\0A=2\0\0")
        with self.assertRaises(ValueError):
            ldh.environment_payload(["A=1\0B=2"])
        with self.assertRaises(ValueError):
            ldh.environment_payload(["A=1", ""])

    def test_replies_reach_their_own_request_and_other_values_are_ignored(self):
        replies = []
        thread = threading.Thread(target=lambda: replies.append(self.client.request({"command": "stop"}, TIMEOUT)))
        thread.start()
        msgid = self.service.next_message()[1]
        for ignored in ([1, msgid + 1, None, {"result": False}], [1, msgid, None], "text",
                        [2, "message", [{"data": b"x"}, {}]], [1, True, None, {"result": False}]):
            self.service.sock.sendall(msgpack.packb(ignored, use_bin_type=True))
        self.service.sock.sendall(msgpack.packb([1, msgid, None, {"result": True, "extra": "kept"}]))
        thread.join(TIMEOUT)
        self.assertEqual(replies, [{"result": True, "extra": "kept"}])
        self.assertEqual(self.client.receive(0), b"")

    def test_data_reads_as_lines_however_it_is_cut(self):
        encoded = (self.service.plain(data=b"^do") + self.service.plain(data=b"ne\n*stop") +
                   self.service.plain(data=b"ped\n(gdb)\n") + self.service.plain(data=b"") +
                   self.service.plain(data=b"tail"))
        # One byte a write for the first half, the rest in one write.
        half = len(encoded) // 2
        for index in range(half):
            self.service.sock.send(encoded[index:index + 1])
        self.service.sock.sendall(encoded[half:])
        self.assertEqual(self.client.read_line(TIMEOUT), b"^done\n")
        self.assertEqual(self.client.read_until("(gdb)", TIMEOUT), [b"*stopped\n", b"(gdb)\n"])
        self.assertIsNone(self.client.read_line(0.2))
        self.service.sock.shutdown(socket.SHUT_WR)
        self.assertTrue(self.client.wait_closed(TIMEOUT))
        self.assertEqual(self.client.read_line(TIMEOUT), b"tail")
        self.assertEqual(self.client.read_line(TIMEOUT), b"")
        with self.assertRaisesRegex(TimeoutError, "before the service ended"):
            self.client.read_until("^exit", TIMEOUT)

    def test_peer_closing_ends_the_connection_and_a_waiting_request(self):
        replies = []
        thread = threading.Thread(target=lambda: replies.append(self.client.request({"command": "stop"}, TIMEOUT)))
        thread.start()
        self.service.next_message()
        self.service.sock.shutdown(socket.SHUT_RDWR)
        thread.join(TIMEOUT)
        self.assertEqual(replies, [None])
        self.assertTrue(self.client.wait_closed(TIMEOUT))
        self.assertEqual(self.client.end, "closed")
        self.assertEqual(self.service.closed_calls, [1])
        self.assertFalse(self.client.send_command("log"))

    def test_undecodable_bytes_end_the_connection_as_bad_input(self):
        self.service.sock.sendall(self.service.plain(data=b"before\n") + b"\xc1")
        self.assertTrue(self.client.wait_closed(TIMEOUT))
        self.assertEqual(self.client.end, "bad_input")
        self.assertEqual(self.client.read_line(0), b"before\n")
        self.assertEqual(self.service.closed_calls, [1])

    def test_messages_go_to_on_message_when_it_is_given(self):
        seen = []
        ours, theirs = socket.socketpair()
        client = ldh.ServiceClient(theirs, on_message=seen.append)
        try:
            ours.sendall(msgpack.packb([2, "message", [{"data": b"x", "other": "y"}]], use_bin_type=True))
            ours.close()
            self.assertTrue(client.wait_closed(TIMEOUT))
        finally:
            client.close()
        self.assertEqual(seen, [{"data": b"x", "other": "y"}])
        self.assertEqual(client.receive(0), b"")


class FindingTheService(unittest.TestCase):
    def test_connecting_to_a_missing_socket_says_where_it_looked(self):
        with self.assertRaisesRegex(ldh.ServiceError, "cannot connect to /nonexistent/local-debugger.sock"):
            ldh.ServiceClient.connect("/nonexistent/local-debugger.sock")

    def test_default_socket_is_in_the_runtime_directory(self):
        saved = os.environ.get("XDG_RUNTIME_DIR")
        os.environ["XDG_RUNTIME_DIR"] = "/run/user/4242"
        try:
            self.assertEqual(ldh.default_socket_path(), "/run/user/4242/local-debugger.sock")
        finally:
            if saved is None:
                del os.environ["XDG_RUNTIME_DIR"]
            else:
                os.environ["XDG_RUNTIME_DIR"] = saved

    def test_starting_something_that_is_not_the_service_is_an_error(self):
        with self.assertRaisesRegex(ldh.ServiceError, "not an executable file"):
            ldh.ServiceClient.start(os.path.join(BUNDLE, "lldb_server.py"))


if __name__ == "__main__":
    unittest.main()
