"""An installed copy: `cmake --install` into a fresh prefix, then used from another directory by
debugger-host, the Python host module and its example, a C++ host built against the CMake
package, and the systemd units run by systemd-socket-activate in both of its modes."""

import importlib.util
import os
import queue
import re
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from gdb_mi import TIMEOUT, breakpoint_session, example_program

BUILD = os.environ["LD_BUILD_DIR"]
SOCKET_ACTIVATE = shutil.which("systemd-socket-activate") or "/usr/lib/systemd/systemd-socket-activate"


def setUpModule():
    global PREFIX, ELSEWHERE, ldh
    top = tempfile.mkdtemp(prefix="ld-install-")
    PREFIX = os.path.join(top, "prefix")
    ELSEWHERE = os.path.join(top, "elsewhere")
    os.mkdir(ELSEWHERE)
    installed = subprocess.run(["cmake", "--install", BUILD, "--prefix", PREFIX],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if installed.returncode != 0:
        raise RuntimeError("cmake --install failed:\n" + installed.stdout.decode(errors="replace"))
    # The installed module, not the source one.
    spec = importlib.util.spec_from_file_location(
        "installed_local_debugger_host", os.path.join(PREFIX, "lib/python3/dist-packages/local_debugger_host.py"))
    ldh = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(ldh)


def tearDownModule():
    shutil.rmtree(os.path.dirname(PREFIX), ignore_errors=True)


def installed(*parts):
    return os.path.join(PREFIX, *parts)


def unit_entries(name):
    """Key/value lines of an installed unit, in order."""
    entries = []
    with open(installed("lib/systemd/user", name)) as unit:
        for line in unit:
            line = line.strip()
            if line and not line.startswith(("#", "[")):
                key, _, value = line.partition("=")
                entries.append((key, value))
    return entries


class Layout(unittest.TestCase):
    def test_bundle_host_toolchains_library_and_module_are_in_place(self):
        for program in ("local-debugger", "gdb-x86_64", "gdb-aarch64", "lldb-helper"):
            path = installed("libexec/local-debugger", program)
            self.assertTrue(os.path.isfile(path) and os.access(path, os.X_OK), path)
        for path in (installed("libexec/local-debugger/lldb_server.py"),
                     installed("bin/debugger-host"),
                     installed("share/local-debugger/toolchains/lldb/usr/bin/xcode-select"),
                     installed("include/local-debugger/host/service_client.h"),
                     installed("include/local-debugger/platform/connection.h"),
                     installed("include/local-debugger/platform/message.h"),
                     installed("lib/python3/dist-packages/local_debugger_host.py"),
                     installed("share/doc/local-debugger/host-protocol.md")):
            self.assertTrue(os.path.isfile(path), path)
        self.assertEqual(ldh.default_service_path(), installed("libexec/local-debugger/local-debugger"))

    def test_units_name_the_installed_service_and_pass_systemd_checks(self):
        socket_unit = dict(unit_entries("local-debugger.socket"))
        self.assertEqual(socket_unit["ListenStream"], "%t/local-debugger.sock")
        self.assertEqual(socket_unit["Accept"], "yes")
        service_unit = unit_entries("local-debugger@.service")
        self.assertIn(("ExecStart", installed("libexec/local-debugger/local-debugger")), service_unit)
        for key, value in service_unit:
            self.assertNotIn("@", value.replace("local-debugger@", ""), key)
        analyze = shutil.which("systemd-analyze")
        self.assertIsNotNone(analyze, "systemd-analyze is missing (Debian package systemd)")
        checked = subprocess.run([analyze, "verify", installed("lib/systemd/user/local-debugger.socket"),
                                  installed("lib/systemd/user/local-debugger@.service")],
                                 stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=TIMEOUT)
        self.assertEqual(checked.returncode, 0, checked.stdout)
        self.assertEqual(checked.stdout.strip(), b"")


class InstalledHosts(unittest.TestCase):
    def test_debugger_host_runs_a_gdb_session_from_another_directory(self):
        host = subprocess.Popen([installed("bin/debugger-host"), "--gdb", "--env-clear", "--env", "HOME=/tmp"],
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                cwd=ELSEWHERE)
        lines = queue.Queue()
        threading.Thread(target=lambda: [lines.put(line) for line in host.stdout], daemon=True).start()

        def expect(text):
            seen = b""
            deadline = time.monotonic() + TIMEOUT
            while time.monotonic() < deadline:
                try:
                    line = lines.get(timeout=max(0.0, deadline - time.monotonic()))
                except queue.Empty:
                    break
                seen += line
                if text in line:
                    return seen
            self.fail("%r did not arrive; received %r" % (text, seen))

        try:
            for command, until in (("-file-exec-and-symbols " + example_program(), b"^done"),
                                   ("-break-insert compute", b"^done"),
                                   ("-exec-run", b"*stopped"),
                                   ("-break-delete", b"^done"),
                                   ("-exec-continue", b'*stopped,reason="exited-normally"'),
                                   ("-gdb-exit", b"^exit")):
                host.stdin.write(command.encode() + b"\n")
                host.stdin.flush()
                received = expect(until)
                if command == "-exec-run":
                    self.assertIn(b'func="compute"', received)
            self.assertEqual(host.wait(TIMEOUT), 0)
        finally:
            if host.poll() is None:
                host.kill()
                host.wait()
            host.stdin.close()
            host.stdout.close()

    def test_python_example_debugs_the_program_through_the_installed_service(self):
        # As a user runs it: no PYTHONPATH, so the example finds the module installed beside it.
        env = {name: value for name, value in os.environ.items() if name != "PYTHONPATH"}
        run = subprocess.run([sys.executable, installed("share/local-debugger/examples/gdb_session.py"),
                              example_program()], cwd=ELSEWHERE, env=env, timeout=TIMEOUT * 2,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertRegex(run.stdout, rb'stopped: \*stopped,reason="breakpoint-hit".*func="compute"')
        self.assertIn(b"program: done 17\n", run.stdout)
        self.assertIn(b'end: *stopped,reason="exited-normally"', run.stdout)

    def test_lldb_runs_with_the_installed_toolchain_layout(self):
        with ldh.ServiceClient.start(stderr=subprocess.DEVNULL) as client:
            client.set_environment({"HOME": "/tmp"})
            self.assertIs(client.launch_lldb(), True)
            self.assertIn(b'"type":"ready"', client.read_until('"type":"ready"', TIMEOUT)[-1])
            client.send_bytes(("target create %s\nbreakpoint set -n compute\nprocess launch\n"
                               % example_program()).encode())
            stop = client.read_until('"state":"stopped"', TIMEOUT)[-1]
            self.assertIn(b'"function":"compute"', stop)
            self.assertIs(client.stop(), True)
            self.assertEqual(client.wait_for_exit(TIMEOUT), 0)

    def test_cpp_host_builds_against_the_cmake_package(self):
        source = os.path.join(ELSEWHERE, "consumer")
        os.makedirs(source, exist_ok=True)
        with open(os.path.join(source, "CMakeLists.txt"), "w") as lists:
            lists.write("cmake_minimum_required(VERSION 3.25)\n"
                        "project(consumer CXX)\n"
                        "set(CMAKE_CXX_STANDARD 20)\n"
                        "find_package(LocalDebuggerHost REQUIRED)\n"
                        "add_executable(consumer main.cpp)\n"
                        "target_link_libraries(consumer PRIVATE LocalDebuggerHost::host)\n")
        with open(os.path.join(source, "main.cpp"), "w") as main:
            main.write(r'''
#include <chrono>
#include <cstdio>
#include <sys/wait.h>
#include "host/service_client.h"

int main(int, char **argv)
{
    using namespace std::chrono_literals;
    ServiceStartOptions options;
    options.executable = argv[1];
    auto client = ServiceClient::start(options, {});
    if (!client)
        return 10;
    client->sendData("set_env", {'H', '=', '1', 0, 0});
    auto launched = client->requestResult("launch_gdb", 30s);
    auto second = client->requestResult("launch_gdb", 30s);
    auto stopped = client->requestResult("stop", 30s);
    auto status = client->waitForExit(30s);
    std::printf("launch=%d second=%d stop=%d exit=%d\n", launched.value_or(false), second.value_or(true),
                stopped.value_or(false), status && WIFEXITED(*status) ? WEXITSTATUS(*status) : -1);
    return 0;
}
''')
        build = os.path.join(ELSEWHERE, "consumer-build")
        for command in (["cmake", "-S", source, "-B", build, "-DCMAKE_PREFIX_PATH=" + PREFIX],
                        ["cmake", "--build", build]):
            step = subprocess.run(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=TIMEOUT * 4)
            self.assertEqual(step.returncode, 0, step.stdout.decode(errors="replace"))
        run = subprocess.run([os.path.join(build, "consumer"), installed("libexec/local-debugger/local-debugger")],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=TIMEOUT * 2)
        self.assertEqual(run.returncode, 0)
        self.assertEqual(run.stdout, b"launch=1 second=0 stop=1 exit=0\n")


class SocketActivation(unittest.TestCase):
    """The service unit's own command line and environment, under systemd-socket-activate."""

    def setUp(self):
        self.assertTrue(os.access(SOCKET_ACTIVATE, os.X_OK), "systemd-socket-activate is missing (Debian package systemd)")
        self.directory = tempfile.mkdtemp(prefix="ld-sock-", dir=ELSEWHERE)
        self.path = os.path.join(self.directory, "local-debugger.sock")

    def activate(self, accept):
        entries = unit_entries("local-debugger@.service")
        command = shlex.split(dict(entries)["ExecStart"])
        arguments = [SOCKET_ACTIVATE, "--listen=" + self.path]
        if accept:
            arguments.append("--accept")
        for key, value in entries:
            if key == "Environment":
                arguments.append("--setenv=" + value)
        self.log = open(os.path.join(self.directory, "activate.log"), "w+b")
        activator = subprocess.Popen(arguments + command, stdout=self.log, stderr=subprocess.STDOUT,
                                     cwd=self.directory)
        self.addCleanup(self.finish, activator)
        # The socket file exists from bind(); connections are taken only once this line is out,
        # after listen(). A probing connection would itself start a service.
        deadline = time.monotonic() + TIMEOUT
        while "Listening on %s" % self.path not in self.output():
            self.assertIsNone(activator.poll(), "systemd-socket-activate ended: %s" % self.output())
            self.assertLess(time.monotonic(), deadline, "no socket at %s: %s" % (self.path, self.output()))
            time.sleep(0.01)
        return activator

    def finish(self, activator):
        if activator.poll() is None:
            activator.send_signal(signal.SIGTERM)
            activator.wait(TIMEOUT)
        self.log.close()

    def output(self):
        with open(self.log.name, "rb") as log:
            return log.read().decode(errors="replace")

    def session(self):
        with ldh.ServiceClient.connect(self.path) as client:
            client.set_environment({"HOME": "/tmp"})
            breakpoint_session(self, client)

    def test_accepted_connections_each_get_a_fresh_service(self):
        activator = self.activate(accept=True)
        self.session()
        self.session()
        self.assertIsNone(activator.poll())
        pids = re.findall(r"launching local debugger \(pid (\d+)\)", self.output())
        self.assertEqual(len(set(pids)), 2, self.output())

    def test_listening_socket_serves_one_run_then_the_service_ends(self):
        activator = self.activate(accept=False)
        self.session()
        self.assertEqual(activator.wait(TIMEOUT), 0)
        self.assertEqual(len(re.findall(r"launching local debugger", self.output())), 1, self.output())

    def test_lldb_back_end_finds_the_unit_s_toolchain_layout(self):
        self.activate(accept=True)
        with ldh.ServiceClient.connect(self.path) as client:
            client.set_environment({"HOME": "/tmp"})
            self.assertIs(client.launch_lldb(), True)
            self.assertIn(b'"backend":"lldb-helper"', client.read_until('"type":"ready"', TIMEOUT)[-1])
            self.assertIs(client.stop(), True)


if __name__ == "__main__":
    unittest.main()
