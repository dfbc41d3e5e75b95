"""Real runs through the Python host module and through debugger-host."""

import os
import select
import shutil
import signal
import subprocess
import tempfile
import time
import unittest

import local_debugger_host as ldh

BUNDLE = os.environ["LD_BUNDLE_DIR"]
EXAMPLE = os.path.join(os.environ["LD_BIN_DIR"], "example-program")
HOST = os.path.join(os.environ["LD_BIN_DIR"], "debugger-host")
TIMEOUT = 30


def sandbox_refused():
    """Why bubblewrap cannot make the sandbox here, or None: it may be missing, or the kernel may
    refuse unprivileged user namespaces to it ("No permissions to create new namespace")."""
    if not shutil.which("bwrap"):
        return "needs bubblewrap"
    probe = subprocess.run(["bwrap", "--unshare-all", "--ro-bind", "/", "/", "true"], capture_output=True,
                           text=True, timeout=TIMEOUT)
    return None if probe.returncode == 0 else "bubblewrap cannot make a sandbox here: " + probe.stderr.strip()


SANDBOX_REFUSED = sandbox_refused()


def mi(client, command, until):
    """Sends one MI command; the lines up to the first holding until, as one bytes value."""
    client.send_bytes(command.encode() + b"\n")
    return b"".join(client.read_until(until, TIMEOUT))


class PythonModule(unittest.TestCase):
    def test_breakpoint_session_runs_to_the_end_and_the_service_ends_with_gdb(self):
        with ldh.ServiceClient.start(os.path.join(BUNDLE, "local-debugger"), stderr=subprocess.DEVNULL) as client:
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


class DebuggerHost(unittest.TestCase):
    def test_bridges_bytes_both_ways_turns_each_ctrl_c_into_one_break_and_stops_at_end_of_input(self):
        bundle = tempfile.mkdtemp(prefix="ld-host-")
        self.addCleanup(shutil.rmtree, bundle)
        shutil.copytree(BUNDLE, bundle, dirs_exist_ok=True)
        os.remove(os.path.join(bundle, "gdb-x86_64"))
        shutil.copy(os.path.join(os.environ["LD_STANDIN_DIR"], "report"), os.path.join(bundle, "gdb-x86_64"))
        # Started like a foreground job: in a process group of its own.
        # The stand-in answers no line the way GDB does: end of input waits a short --timeout.
        host = subprocess.Popen([HOST, "--gdb", "--env-clear", "--timeout", "0.2",
                                 "--env", "A=1", "--env", "B=x=y", "--service", os.path.join(bundle, "local-debugger")],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, start_new_session=True)
        output = b""

        def wait_for(text):
            nonlocal output
            while text not in output:
                self.assertTrue(select.select([host.stdout], [], [], 20)[0], "no %r in %r" % (text, output))
                chunk = os.read(host.stdout.fileno(), 65536)
                self.assertTrue(chunk, "output ended before %r: %r" % (text, output))
                output += chunk

        wait_for(b"END-REPORT\n")
        every_byte = bytes(range(256))
        host.stdin.write(every_byte)
        host.stdin.flush()
        wait_for(every_byte)
        for seen in (b"<SIGINT>\n", b"<SIGINT>\n<SIGINT>\n"):
            os.killpg(host.pid, signal.SIGINT)
            wait_for(seen)
        host.stdin.close()
        output += host.stdout.read()
        self.assertEqual(host.wait(TIMEOUT), 0)
        self.assertEqual([line for line in output.split(b"\n") if line.startswith(b"env=")], [b"env=A=1", b"env=B=x=y"])
        rest = output.split(every_byte, 1)[1]
        self.assertTrue(rest.startswith(b"<SIGINT>\n<SIGINT>\n") and rest.count(b"<SIGINT>") == 2, rest)
        # The back end is gone with the run (at most a zombie nobody reaped yet).
        stat = "/proc/%s/stat" % output.split(b"pid=")[1].split(b"\n")[0].decode()
        for _ in range(2000):
            if not os.path.exists(stat) or open(stat).read().rsplit(")", 1)[1].split()[0] == "Z":
                break
            time.sleep(0.01)
        else:
            self.fail("the back end outlived the run")

    def test_the_run_ends_with_its_connection_while_standard_input_stays_open(self):
        bundle = tempfile.mkdtemp(prefix="ld-host-")
        self.addCleanup(shutil.rmtree, bundle)
        shutil.copytree(BUNDLE, bundle, dirs_exist_ok=True)
        debugger = os.path.join(bundle, "gdb-x86_64")
        # A debugger that ends by itself, and one that lives until the host is told to stop.
        for script, stop, written in (("#!/bin/sh\necho ready\n", None, b"ready\n"),
                                      (None, signal.SIGTERM, b"END-REPORT\n")):
            os.remove(debugger)
            if script:
                with open(debugger, "w") as text:
                    text.write(script)
                os.chmod(debugger, 0o755)
            else:
                shutil.copy(os.path.join(os.environ["LD_STANDIN_DIR"], "report"), debugger)
            host = subprocess.Popen([HOST, "--gdb", "--service", os.path.join(bundle, "local-debugger")],
                                    stdin=subprocess.PIPE, stdout=subprocess.PIPE, start_new_session=True)
            self.addCleanup(host.stdin.close)
            self.addCleanup(host.kill)
            output = b""
            while written not in output:
                self.assertTrue(select.select([host.stdout], [], [], 20)[0], output)
                chunk = os.read(host.stdout.fileno(), 65536)
                self.assertTrue(chunk, output)
                output += chunk
            if stop:
                host.send_signal(stop)
            self.assertEqual(host.wait(TIMEOUT), 0, output)
            host.stdout.close()

    def test_piped_input_gets_every_answer_and_what_the_debugger_writes_while_ending(self):
        lldb = ("file %s\nbreakpoint set -n compute\nrun\n" % EXAMPLE).encode()
        # The debuggee stopped at the end of input is killed as the debugger quits: LLDB's
        # record of that is the last thing written.
        for mode, lines, expected in (("--gdb", b"-gdb-version\n", b"\n^done"),
                                      ("--lldb=helper", lldb, b'"state":"exited"'),
                                      ("--lldb=script", lldb, b'"state":"exited"')):
            run = subprocess.run([HOST, mode], input=lines, capture_output=True, timeout=TIMEOUT)
            self.assertEqual(run.returncode, 0, (mode, run.stderr))
            self.assertIn(expected, run.stdout, mode)

    def test_each_failure_is_one_line_and_its_own_status(self):
        bundle = tempfile.mkdtemp(prefix="ld-host-")
        self.addCleanup(shutil.rmtree, bundle)
        shutil.copytree(BUNDLE, bundle, dirs_exist_ok=True)
        os.remove(os.path.join(bundle, "gdb-x86_64"))
        with open(os.path.join(bundle, "gdb-x86_64"), "w") as script:
            script.write("#!/bin/sh\nexit 1\n")
        os.chmod(os.path.join(bundle, "gdb-x86_64"), 0o755)
        cases = (
            (["--gdb", "--arch", "sparc"], 2, "debugger-host: --arch takes x86_64, aarch64 or arm64, not \"sparc\""),
            (["--lldb", "--root", "/nonexistent"], 2, "debugger-host: --root /nonexistent: no such directory"),
            (["--lldb", "--root", bundle], 2,
             "debugger-host: --root %s: no toolchain layout there (no usr/bin/xcode-select)" % bundle),
            (["--gdb", "--", "/nonexistent/program"], 2, "debugger-host: /nonexistent/program: No such file or directory"),
            (["--gdb", "--bogus"], 2, "debugger-host: unknown argument \"--bogus\""),
            (["--dap", "--gdb"], 2, "debugger-host: --dap takes its debugger and program from the editor's launch "
                                    "request: give it without --gdb, --lldb, --arch, --raw or a program"),
            (["--gdb", "--service", "/bin/true"], 5, "debugger-host: the service ended without answering the launch of GDB"),
            (["--gdb", "--service", os.path.join(bundle, "local-debugger")], 6,
             "debugger-host: GDB ended before writing anything"),
        )
        for arguments, status, line in cases:
            run = subprocess.run([HOST] + arguments, stdin=subprocess.DEVNULL, capture_output=True, timeout=TIMEOUT,
                                 text=True)
            own = [text for text in run.stderr.splitlines() if text.startswith("debugger-host: ")]
            self.assertEqual((run.returncode, own), (status, [line]), arguments)
            self.assertLess(len(run.stderr.splitlines()), 5, run.stderr)

    @unittest.skipIf(SANDBOX_REFUSED, SANDBOX_REFUSED)
    def test_a_host_in_a_sandbox_with_no_debugger_debugs_through_the_socket(self):
        sandbox, path = sandboxed_host(self)
        run = subprocess.run(sandbox + ["/host", "--gdb", "--env-clear", "--socket", path],
                             input=("-file-exec-and-symbols %s\n-break-insert compute\n-exec-run\n-stack-info-frame\n"
                                    % EXAMPLE).encode(),
                             capture_output=True, timeout=TIMEOUT)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertRegex(run.stdout, rb'\*stopped,reason="breakpoint-hit".*func="compute"')


def sandboxed_host(test):
    """A service listening on a socket, and the command that runs debugger-host (as /host) in a
    sandbox with every namespace unshared, no debugger and no service inside: the libraries, the
    host, and the socket's folder alone. Returns (command, socket path)."""
    folder = tempfile.mkdtemp(prefix="ld-sock-")
    test.addCleanup(shutil.rmtree, folder)
    path = os.path.join(folder, "service.sock")
    service = subprocess.Popen(["systemd-socket-activate", "-l", path, os.path.join(BUNDLE, "local-debugger")],
                               stderr=subprocess.DEVNULL)
    test.addCleanup(service.wait, TIMEOUT)
    test.addCleanup(service.terminate)
    for _ in range(2000):
        if os.path.exists(path):
            break
        time.sleep(0.01)
    return ["bwrap", "--unshare-all", "--die-with-parent", "--ro-bind", "/usr/lib", "/usr/lib",
            "--symlink", "usr/lib", "/lib", "--symlink", "usr/lib64", "/lib64", "--ro-bind", "/usr/lib64",
            "/usr/lib64", "--proc", "/proc", "--dev", "/dev", "--ro-bind", HOST, "/host",
            "--bind", folder, folder], path


if __name__ == "__main__":
    unittest.main()
