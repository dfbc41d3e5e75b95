"""No value a host, an editor or a person sends reaches a debugger as a command, with GDB and both
LLDB back ends, through DAP, the console and raw mode. Each hostile value holds commands that would
create a marker file were any of them run; the debuggee, a copy of /bin/sh, writes down the
arguments and directory it got, which must be exactly those sent."""

import json
import os
import select
import shutil
import subprocess
import tempfile
import time
import unittest

from test_console import Console

HOST = os.environ.get("LD_HOST", os.path.join(os.environ["LD_BIN_DIR"], "debugger-host"))
EXAMPLE = os.path.join(os.environ["LD_BIN_DIR"], "example-program")
TIMEOUT = 30

# The debugger and how each mode names it; how a host launches the loaded program in raw mode
# (a person types run).
DEBUGGERS = {
    "gdb": {"option": "--gdb", "dap": [], "backend": "gdb", "raw run": "-exec-run"},
    "lldb-helper": {"option": "--lldb=helper", "dap": ["--lldb=helper"], "backend": "lldb",
                    "raw run": "process launch"},
    "lldb-script": {"option": "--lldb=script", "dap": ["--lldb=script"], "backend": "lldb",
                    "raw run": "process launch"},
}


def hostile(marker):
    """Values that run `touch marker` wherever they are read as a command line of GDB/MI, GDB's
    console, LLDB, a back-end request line or a shell; and values that such reading would change."""
    return [
        'x\n-interpreter-exec console "shell touch %s" x' % marker,
        "x\nshell touch %s\n" % marker,
        "x\nplatform shell touch %s" % marker,
        '"}\nplatform shell touch %s\n{"request":"threads' % marker,
        "'; touch %s; '" % marker,
        "$(touch %s)" % marker,
        "`touch %s`" % marker,
        "tick `1+1`", "", "a\"b\\c\\", " lead and trail ", "\t\r", "é ü €",
    ]


class Scratch:
    """A temporary directory with the marker's place, the debuggee (/bin/sh under a hostile name)
    and the file it writes its arguments and directory to."""

    def __init__(self, test, newline_in_program=True):
        self.path = tempfile.mkdtemp(prefix="ld-inject-")
        test.addCleanup(shutil.rmtree, self.path)
        self.marker = os.path.join(self.path, "marker")
        self.written = os.path.join(self.path, "written")
        folder = os.path.join(self.path, "it's \"`$HOME`\" %s" % ("a\nb" if newline_in_program else "ab"))
        os.mkdir(folder)
        self.program = os.path.join(folder, "sh é")
        shutil.copy("/bin/sh", self.program)
        self.values = hostile(self.marker)
        # Components of a path may hold anything but "/": the injected line names the marker.
        self.cwd = os.path.join(self.path, 'd\n-interpreter-exec console "shell touch %s"\nplatform shell touch %s'
                                % (self.marker, self.marker))
        os.makedirs(self.cwd)

    def arguments(self):
        """/bin/sh's own arguments, then the values: it writes each one bracketed, then its directory."""
        return ["-c", 'printf "[%s]" "$@" > "$0"; pwd -P >> "$0"', self.written] + self.values

    def expected(self, cwd):
        return "".join("[%s]" % value for value in self.values) + os.path.realpath(cwd) + "\n"

    def written_text(self, test):
        deadline = time.monotonic() + TIMEOUT
        while time.monotonic() < deadline:
            if os.path.exists(self.written):
                with open(self.written, encoding="utf-8", newline="") as text:
                    got = text.read()
                if got.endswith("\n"):
                    return got
            time.sleep(0.05)
        test.fail("the debuggee wrote nothing to %s" % self.written)


class Dap:
    """debugger-host --dap on pipes, spoken to as an editor would."""

    def __init__(self, test, options):
        self.test = test
        self.process = subprocess.Popen([HOST, "--dap"] + options, stdin=subprocess.PIPE,
                                        stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        test.addCleanup(self.close)
        self.seq = 0
        self.pending = b""
        self.events = []

    def send(self, command, arguments=None):
        self.seq += 1
        body = json.dumps({"seq": self.seq, "type": "request", "command": command,
                           "arguments": arguments or {}}).encode()
        self.process.stdin.write(b"Content-Length: %d\r\n\r\n%s" % (len(body), body))
        self.process.stdin.flush()
        return self.seq

    def message(self, deadline):
        while True:
            header, _, rest = self.pending.partition(b"\r\n\r\n")
            if _ and header.startswith(b"Content-Length: ") and len(rest) >= int(header[16:]):
                length = int(header[16:])
                self.pending = rest[length:]
                return json.loads(rest[:length])
            ready = select.select([self.process.stdout], [], [], max(0, deadline - time.monotonic()))[0]
            chunk = os.read(self.process.stdout.fileno(), 65536) if ready else b""
            self.test.assertTrue(chunk, "the adapter said nothing more")
            self.pending += chunk

    def request(self, command, arguments=None):
        seq = self.send(command, arguments)
        deadline = time.monotonic() + TIMEOUT
        while True:
            message = self.message(deadline)
            if message.get("type") == "response" and message.get("request_seq") == seq:
                return message
            self.events.append(message)

    def event(self, name):
        deadline = time.monotonic() + TIMEOUT
        for message in self.events:
            if message.get("event") == name:
                self.events.remove(message)
                return message
        while True:
            message = self.message(deadline)
            if message.get("event") == name:
                return message
            self.events.append(message)

    def close(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            try:
                self.process.wait(TIMEOUT)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        self.process.stdout.close()


class Injection(unittest.TestCase):
    def test_launch_values_reach_the_debuggee_intact_and_run_no_command_in_any_mode(self):
        for name, said in DEBUGGERS.items():
            lldb = said["backend"] == "lldb"
            for mode in ("dap", "console", "raw"):
                with self.subTest(name, mode=mode):
                    scratch = Scratch(self, newline_in_program=not lldb)
                    getattr(self, mode + "_launch")(scratch, said)
                    self.assertFalse(os.path.exists(scratch.marker), "a value ran as a command")

    def dap_launch(self, scratch, said):
        dap = Dap(self, said["dap"])
        dap.request("initialize", {"adapterID": "test"})
        # LLDB stops at the first instruction; GDB at main, which /bin/sh does not name.
        lldb = said["backend"] == "lldb"
        launched = dap.request("launch", {"program": scratch.program, "args": scratch.arguments(),
                                          "cwd": scratch.cwd, "stopOnEntry": lldb, "backend": said["backend"]})
        self.assertTrue(launched["success"], launched)
        self.assertTrue(dap.request("configurationDone")["success"])
        if lldb:
            stopped = dap.event("stopped")["body"]
            self.assertEqual(stopped["reason"], "entry")
            self.assertFalse(os.path.exists(scratch.written), "the debuggee ran before its entry stop")
            self.assertTrue(dap.request("continue", {"threadId": stopped["threadId"]})["success"])
        self.assertEqual(scratch.written_text(self), scratch.expected(scratch.cwd))
        dap.event("terminated")

    def console_launch(self, scratch, said):
        state = tempfile.mkdtemp(prefix="ld-state-")
        self.addCleanup(shutil.rmtree, state)
        with Console(self, [said["option"], "--", scratch.program] + scratch.arguments(), state) as console:
            prompt = "(gdb) " if said["backend"] == "gdb" else "(lldb) "
            console.expect(prompt)
            console.type("run\n")
            self.assertEqual(scratch.written_text(self), scratch.expected(os.getcwd()))
            if said["backend"] != "gdb":  # LLDB's own console says so before its prompt
                console.expect("exited with status")
            console.expect(prompt)  # the program has ended: keys are the console's again
            console.type("quit\n")
            self.assertEqual(console.exit_status(), 0)

    def raw_launch(self, scratch, said):
        host = subprocess.Popen([HOST, said["option"], "--raw", scratch.program] + scratch.arguments(),
                                stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        host.stdin.write((said["raw run"] + "\n").encode())
        host.stdin.flush()
        self.assertEqual(scratch.written_text(self), scratch.expected(os.getcwd()))
        host.stdin.close()
        self.assertEqual(host.wait(TIMEOUT), 0)

    def test_values_no_debugger_can_carry_are_refused_with_the_reason(self):
        for name, said in DEBUGGERS.items():
            lldb = said["backend"] == "lldb"
            scratch, newline = Scratch(self, newline_in_program=False), Scratch(self).program
            cases = [({"args": ["a\0b"]}, "a program argument holds a NUL character"),
                     ({"cwd": "/tmp\0x"}, "the working directory (cwd) holds a NUL character"),
                     ({"program": scratch.program + "\0x"}, "the program's path holds a NUL character")]
            if lldb:
                cases.append(({"program": newline}, "LLDB cannot load a program whose path holds a newline"))
            for arguments, reason in cases:
                with self.subTest(name, refused=reason):
                    dap = Dap(self, said["dap"])
                    dap.request("initialize", {"adapterID": "test"})
                    launched = dap.request("launch", dict({"program": scratch.program,
                                                           "backend": said["backend"]}, **arguments))
                    self.assertFalse(launched["success"])
                    self.assertIn(reason, launched["message"])
            if lldb:
                run = subprocess.run([HOST, said["option"], "--raw", newline], capture_output=True,
                                     text=True, timeout=TIMEOUT)
                self.assertEqual(run.returncode, 2)
                self.assertIn("LLDB cannot load a program whose path holds a newline", run.stderr)

    def test_editor_values_that_reach_a_debugger_command_line_run_no_command(self):
        """Breakpoint paths, conditions, hit conditions and function names, setVariable names and
        values, and watch and hover expressions: each hostile value goes everywhere an editor may
        put it, in a session stopped in compute."""
        for name, said in DEBUGGERS.items():
            with self.subTest(name):
                scratch = Scratch(self)
                dap = Dap(self, said["dap"])
                dap.request("initialize", {"adapterID": "test"})
                launched = dap.request("launch", {"program": EXAMPLE, "backend": said["backend"]})
                self.assertTrue(launched["success"], launched)
                for value in scratch.values:
                    dap.request("setBreakpoints", {"source": {"path": value}, "breakpoints": [{"line": 3}]})
                    dap.request("setBreakpoints", {"source": {"path": "/x.c"}, "breakpoints": [
                        {"line": 3, "condition": value}, {"line": 4, "hitCondition": value}]})
                    dap.request("setFunctionBreakpoints", {"breakpoints": [{"name": value}]})
                placed = dap.request("setFunctionBreakpoints", {"breakpoints": [{"name": "compute"}]})
                self.assertTrue(placed["body"]["breakpoints"][0]["verified"], placed)
                dap.request("configurationDone")
                thread = dap.event("stopped")["body"]["threadId"]
                frame = dap.request("stackTrace", {"threadId": thread})["body"]["stackFrames"][0]["id"]
                scopes = dap.request("scopes", {"frameId": frame})["body"]["scopes"]
                arguments = next(s["variablesReference"] for s in scopes if s["name"] == "Arguments")
                self.assertEqual([v["name"] for v in dap.request("variables", {"variablesReference": arguments})
                                  ["body"]["variables"]], ["x"])
                for value in scratch.values:
                    for context in ("watch", "hover"):
                        dap.request("evaluate", {"expression": value, "frameId": frame, "context": context})
                    dap.request("setVariable", {"variablesReference": arguments, "name": "x", "value": value})
                    dap.request("setVariable", {"variablesReference": arguments, "name": value, "value": "1"})
                # The session still answers, in order: nothing ran in between.
                evaluated = dap.request("evaluate", {"expression": "x * 10", "frameId": frame, "context": "watch"})
                self.assertEqual(evaluated["body"]["result"], "10", evaluated)
                dap.request("disconnect", {"terminateDebuggee": True})
                self.assertFalse(os.path.exists(scratch.marker), "a value ran as a command")


if __name__ == "__main__":
    unittest.main()
