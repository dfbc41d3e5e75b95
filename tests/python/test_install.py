"""An installed copy: `cmake --install` into a fresh prefix, then used from another directory by
debugger-host and the Python example."""

import importlib.util
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

EXAMPLE = os.path.join(os.environ["LD_BIN_DIR"], "example-program")
TIMEOUT = 30


def setUpModule():
    global TOP, PREFIX, ldh
    TOP = tempfile.mkdtemp(prefix="ld-install-")
    PREFIX = os.path.join(TOP, "prefix")
    installed = subprocess.run(["cmake", "--install", os.environ["LD_BUILD_DIR"], "--prefix", PREFIX],
                               stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    if installed.returncode != 0:
        raise RuntimeError("cmake --install failed:\n" + installed.stdout.decode(errors="replace"))
    # The installed module, not the source one.
    found = importlib.util.spec_from_file_location(
        "installed_local_debugger_host", os.path.join(PREFIX, "lib/python3/dist-packages/local_debugger_host.py"))
    ldh = importlib.util.module_from_spec(found)
    found.loader.exec_module(ldh)


def tearDownModule():
    shutil.rmtree(TOP, ignore_errors=True)


class InstalledCopy(unittest.TestCase):
    def test_debugger_host_and_the_python_example_find_the_installed_service_from_elsewhere(self):
        self.assertEqual(ldh.default_service_path(), os.path.join(PREFIX, "libexec/local-debugger/local-debugger"))
        host = subprocess.Popen([os.path.join(PREFIX, "bin/debugger-host"), "--gdb"], cwd=TOP,
                                stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        # GDB's own exit ends the run; the host's input stays open until then.
        host.stdin.write(b"-gdb-exit\n")
        host.stdin.flush()
        self.assertIn(b"^exit", host.stdout.read())
        self.assertEqual(host.wait(TIMEOUT), 0)
        host.stdin.close()
        # As a user runs it: no PYTHONPATH, so the example finds the module installed beside it.
        env = {name: value for name, value in os.environ.items() if name != "PYTHONPATH"}
        run = subprocess.run([sys.executable, os.path.join(PREFIX, "share/local-debugger/examples/gdb_session.py"),
                              EXAMPLE], cwd=TOP, env=env, timeout=TIMEOUT * 2, capture_output=True)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertIn(b"program: done 17\n", run.stdout)

    def test_the_lldb_example_debugs_the_example_program_through_the_installed_service(self):
        env = {name: value for name, value in os.environ.items() if name != "PYTHONPATH"}
        run = subprocess.run([sys.executable, os.path.join(PREFIX, "share/local-debugger/examples/lldb_session.py"),
                              EXAMPLE], cwd=TOP, env=env, timeout=TIMEOUT * 4, capture_output=True)
        self.assertEqual(run.returncode, 0, run.stderr)
        for expected in (b"stopped: compute at example_program.c:10\n", b"variable: (int) x = 1\n",
                         b"program: done 17\n", b"end: exited with status 0\n"):
            self.assertIn(expected, run.stdout)

    def test_the_cpp_example_builds_against_the_installed_package_and_debugs_the_example_program(self):
        build = os.path.join(TOP, "cpp-example")
        for command in (["cmake", "-S", os.path.join(PREFIX, "share/local-debugger/examples"), "-B", build,
                         "-DCMAKE_PREFIX_PATH=" + PREFIX], ["cmake", "--build", build]):
            made = subprocess.run(command, capture_output=True)
            self.assertEqual(made.returncode, 0, made.stdout + made.stderr)
        run = subprocess.run([os.path.join(build, "gdb_session"),
                              os.path.join(PREFIX, "libexec/local-debugger/local-debugger"), EXAMPLE],
                             cwd=TOP, timeout=TIMEOUT * 2, capture_output=True)
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertIn(b'stopped: *stopped,reason="breakpoint-hit"', run.stdout)
        self.assertIn(b"program: done 17\n", run.stdout)



if __name__ == "__main__":
    unittest.main()
