"""debugger-host's console, driven as a person would: over a pseudo-terminal, with real debuggers."""

import fcntl
import os
import pty
import re
import select
import shutil
import signal
import struct
import subprocess
import tempfile
import termios
import time
import unittest

from test_hosts import SANDBOX_REFUSED, sandboxed_host

HOST = os.path.join(os.environ["LD_BIN_DIR"], "debugger-host")
EXAMPLE = os.path.join(os.environ["LD_BIN_DIR"], "example-program")
READING = os.path.join(os.environ["LD_STANDIN_DIR"], "reading_program")
TIMEOUT = 30
UP = "\x1b[A"
COLOURS = re.compile(rb"\x1b\[[0-9;]*m")  # the debuggers' own consoles style what they write

# What each debugger is told, and what shows it understood: (typed, expected on the screen).
DEBUGGERS = {
    "gdb": {
        "option": "--gdb",
        "prompt": "(gdb) ",
        "break": ("break comp\t", "Breakpoint 1 at"),  # completed by Tab
        "run": ("run", "Breakpoint 1, compute (x=1)"),  # " at FILE" goes on a line of its own for a long path
        "print": ("print x * 10", "= 10"),
        "next": ("next", "return square + 1;"),
        "error": ("print nosuch", 'No symbol "nosuch" in current context.'),
        "finish": ("delete 1", None),
        "end": ("continue", "exited normally]"),
        "interrupted": "Program received signal SIGINT",
        "continue": ("continue", "Continuing."),
        "loaded": "",
        "quit asked": "Quit anyway? (y or n) ",
        # ours, in libedit's form: a header line, then one line each, spaces written as \040
        "history": ("local-debugger/history-gdb", ""),
    },
    "lldb": {
        "option": "--lldb=helper",
        "prompt": "\n(lldb) ",  # on a line of its own: LLDB's line editor draws it again as keys come
        "break": ("breakpoint se\t-n compute", "Breakpoint 1: where = example-program`compute"),
        "run": ("process launch", "stop reason = breakpoint 1.1"),
        "print": ("print x * 10", "= 10"),
        "next": ("next", "example_program.c:11"),
        "error": ("print nosuch", "error: "),
        "finish": ("breakpoint delete 1", "1 breakpoints deleted"),
        "end": ("continue", "exited with status = 0"),
        "interrupted": "stop reason = signal SIGSTOP",
        "continue": ("continue", "resuming"),
        "loaded": "Current executable set to",  # LLDB's own console shows the program loaded
        "quit asked": "Do you really want to proceed: [Y",  # wrapped at 80 columns
        "history": (".lldb/lldb-widehistory", "\\012"),  # LLDB's own, each line's end kept
    },
}


class Console:
    """debugger-host on a terminal of its own; the screen is what it wrote, control sequences and all."""

    def __init__(self, test, arguments, state, command=(HOST,)):
        self.pid, self.fd = pty.fork()
        if self.pid == 0:
            os.environ["XDG_STATE_HOME"] = os.environ["HOME"] = state
            # A size, as a person's terminal has: LLDB edits lines only on a terminal with one.
            fcntl.ioctl(0, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
            os.execvp(command[0], list(command) + arguments)
        self.test = test
        self.screen = b""
        test.addCleanup(self.close)

    def expect(self, text):
        """Waits for text to appear after what was already expected; returns what came up to it."""
        wanted = text.encode()
        deadline = time.monotonic() + TIMEOUT
        while wanted not in self.screen:
            ready = select.select([self.fd], [], [], max(0, deadline - time.monotonic()))[0]
            self.test.assertTrue(ready, "no %r on the screen: %r" % (text, self.screen[-2000:]))
            try:
                chunk = os.read(self.fd, 65536)
            except OSError:
                chunk = b""
            self.test.assertTrue(chunk, "the console ended before %r: %r" % (text, self.screen[-2000:]))
            self.screen += COLOURS.sub(b"", chunk)
        at = self.screen.index(wanted) + len(wanted)
        seen, self.screen = self.screen[:at], self.screen[at:]
        return seen.decode(errors="replace")

    def interrupt(self, stop):
        """Ctrl-C until the stop shows, as a person would press it again: one pressed while the
        debugger was still resuming the program finds nothing to interrupt."""
        for _ in range(10):
            self.type("\x03")
            ready = select.select([self.fd], [], [], 2)[0]
            while ready and stop.encode() not in self.screen:
                try:
                    self.screen += COLOURS.sub(b"", os.read(self.fd, 65536))
                except OSError:
                    break
                ready = select.select([self.fd], [], [], 2)[0]
            if stop.encode() in self.screen:
                return self.expect(stop)
        self.test.fail("no %r after Ctrl-C: %r" % (stop, self.screen[-2000:]))

    def type(self, keys):
        os.write(self.fd, keys.encode())

    def exit_status(self):
        """Reads the rest of the screen until the console ends; its exit status."""
        deadline = time.monotonic() + TIMEOUT
        while time.monotonic() < deadline:
            if select.select([self.fd], [], [], 0.2)[0]:
                try:
                    if os.read(self.fd, 65536):
                        continue
                except OSError:
                    pass
            done, status = os.waitpid(self.pid, os.WNOHANG)
            if done:
                self.pid = None
                return os.waitstatus_to_exitcode(status)
        self.test.fail("the console did not end")

    def close(self):
        if self.pid:
            os.kill(self.pid, signal.SIGKILL)
            os.waitpid(self.pid, 0)
            self.pid = None
        if self.fd is not None:
            os.close(self.fd)
            self.fd = None

    # Each subtest's console ends with it, so that what one leaves cannot count against the next.
    def __enter__(self):
        return self

    def __exit__(self, *failure):
        self.close()


def service_of(host):
    """The service a debugger-host started: its child of that name."""
    for listed in os.listdir("/proc/%d/task" % host):
        with open("/proc/%d/task/%s/children" % (host, listed)) as children:
            for child in children.read().split():
                with open("/proc/%s/comm" % child) as name:
                    if name.read().strip() == "local-debugger":
                        return int(child)
    return None


def still_running(program):
    """Processes still running the program (left behind by a run)."""
    found = subprocess.run(["pgrep", "-f", program], capture_output=True, text=True).stdout.split()
    return [pid for pid in found if int(pid) != os.getpid()]


class ConsoleSessions(unittest.TestCase):
    def setUp(self):
        self.state = tempfile.mkdtemp(prefix="ld-console-")
        self.addCleanup(shutil.rmtree, self.state)

    def test_a_session_loads_the_program_stops_prints_steps_recalls_history_and_ends(self):
        for name, said in DEBUGGERS.items():
            with self.subTest(name), Console(self, [said["option"], EXAMPLE], self.state) as console:
                self.whole_session(console, name, said)

    def whole_session(self, console, name, said):
        """The session of the test above, with one debugger."""
        prompt = said["prompt"]
        console.expect(said["loaded"])
        console.expect(prompt)
        for step in ("break", "run", "print", "next", "error"):
            typed, shown = said[step]
            console.type(typed + "\n")
            self.assertIn(shown, console.expect(prompt), step)
        # Up three times brings back the print, which runs again.
        console.type(UP * 3 + "\n")
        self.assertIn(said["print"][1], console.expect(prompt), "history")
        typed, shown = said["finish"]
        console.type(typed + "\n")
        console.expect(shown or prompt)
        console.type(said["end"][0] + "\n")
        screen = console.expect(said["end"][1])
        self.assertIn("step 3 total 17", screen)
        self.assertIn("done 17", screen)
        console.expect(prompt)
        console.type("\x04")
        self.assertEqual(console.exit_status(), 0)
        path, ending = said["history"]
        with open(os.path.join(self.state, path)) as history:
            lines = [line.replace("\\040", " ").removesuffix(ending) for line in history.read().splitlines()]
        typed = [said["break"][0].replace("\t", "t " if name == "lldb" else "ute "), said["run"][0], said["print"][0]]
        self.assertIn(typed, [lines[i:i + 3] for i in range(len(lines))])

    def test_the_program_reads_what_is_typed_while_it_runs_and_ctrl_c_interrupts_it(self):
        for name, said in DEBUGGERS.items():
            with self.subTest(name), Console(self, [said["option"], "--", READING], self.state) as console:
                prompt = said["prompt"]
                console.expect(prompt)
                console.type(said["run"][0] + "\n")
                console.expect("name? ")
                console.type("Ada\n")
                console.expect("hello Ada, on a terminal")
                console.interrupt(said["interrupted"])
                console.expect(prompt)
                # The program is stopped, not ended: it goes on until interrupted again.
                # Ctrl-C right after Enter would make the terminal drop the line unread.
                console.type(said["continue"][0] + "\n")
                console.expect(said["continue"][1])
                console.interrupt(said["interrupted"])
                console.expect(prompt)
                console.type("quit\n")
                console.expect(said["quit asked"])  # as the debugger's own console asks with a live program
                console.type("y\n")
                self.assertEqual(console.exit_status(), 0)
                self.assertEqual(still_running(READING), [])

    def test_the_end_of_input_waits_for_gdbs_records_and_asks_nothing_of_a_program_gone(self):
        """GDB's terminal shows the program's end and a prompt at once; its records say so later,
        through the service (held here). Ctrl-D at that prompt quits without asking."""
        with Console(self, ["--gdb", EXAMPLE], self.state) as console:
            console.expect("(gdb) ")
            for typed in ("break compute", "run", "delete 1"):
                console.type(typed + "\n")
                console.expect("(gdb) ")
            service = service_of(console.pid)
            os.kill(service, signal.SIGSTOP)
            try:
                console.type("continue\n")
                console.expect("exited normally]")
                console.expect("(gdb) ")
                console.type("\x04")
                time.sleep(0.5)
                while select.select([console.fd], [], [], 0)[0]:
                    console.screen += os.read(console.fd, 65536)
                self.assertNotIn(b"Quit anyway?", console.screen)
            finally:
                os.kill(service, signal.SIGCONT)
            self.assertEqual(console.exit_status(), 0)

    def test_ctrl_c_at_the_prompt_drops_the_line_with_gdbs_quit_and_the_debugger_goes_on(self):
        console = Console(self, ["--gdb", EXAMPLE], self.state)
        console.expect("(gdb) ")
        console.type("print 1 +")
        console.type("\x03")
        console.expect("Quit")
        console.expect("(gdb) ")
        console.type("print 6 * 7\n")
        self.assertIn("= 42", console.expect("(gdb) "))
        self.assertNotIn("error", console.screen.decode(errors="replace"))
        console.type("\x04")
        self.assertEqual(console.exit_status(), 0)

    def test_a_line_too_long_for_libedit_is_cut_short_and_long_lines_neither_enter_the_history_nor_are_read_back(self):
        """The system's libedit writes to freed memory once a line passes some 1020 bytes: here the
        history file holds a line of 1.2 KB, and a line of 8 KB is typed."""
        folder = os.path.join(self.state, "local-debugger")
        os.makedirs(folder)
        history = os.path.join(folder, "history-gdb")
        with open(history, "w") as file:
            file.write("_HiStOrY_V2_\nprint\\0406*7\nprint\\040%s1\n" % ("1+" * 600))
        console = Console(self, ["--gdb", EXAMPLE], self.state)
        console.expect("(gdb) ")
        console.type("print 6*8" + " " * 8000 + "\n")
        self.assertIn("= 48", console.expect("(gdb) "))
        console.type(UP + "\n")  # neither the typed line nor the long one read back
        self.assertIn("= 42", console.expect("(gdb) "))
        console.type("\x04")
        self.assertEqual(console.exit_status(), 0)
        with open(history) as file:
            self.assertEqual(file.read().splitlines()[1:], ["print\\0406*7"] * 2)

    @unittest.skipIf(SANDBOX_REFUSED, SANDBOX_REFUSED)
    def test_the_record_console_in_a_sandbox_says_so_once_keeps_the_programs_order_runs_no_empty_line_refuses_blocks_and_reports_a_dead_gdb(self):
        sandbox, path = sandboxed_host(self)
        program = os.path.join(os.environ["LD_STANDIN_DIR"], "console_program")
        console = Console(self, ["--gdb", "--socket", path, program], self.state,
                          command=sandbox + ["--ro-bind", program, program, "/host"])
        self.assertEqual(console.expect("(gdb) ").count("the service cannot open this console's terminals"), 1)
        # typed, then what shows before the next prompt, in this order; an empty line runs nothing
        rows = [("print 6 * 7", ["$1 = 42"]), ("", []), ("print 1", ["$2 = 1"]),
                ("python", ["error: python reads a block of lines"]), ("commands", ["error: commands reads a block"]),
                ("python print(2 + 3)", ["5"]), ("start ask", ["Temporary breakpoint 1, main"]),
                ("break fgets", ["Breakpoint 2 at"]), ("break square", ["Breakpoint 3 at"])]
        # The program's question, unanswered, then the stop it runs into; GDB's word, then the
        # program's last line, then its exit: as written, run after run.
        rows += [("run ask", ["Starting program:", "name? \r\nBreakpoint 2, "]),
                 ("run go", ["Starting program:", "Breakpoint 3, square"]), ("disable 3", []),
                 ("continue", ["Continuing.\r\nsum 5\r\n[Inferior 1"]), ("enable 3", [])] * 3
        for typed, shown in rows:
            console.type(typed + "\n")
            screen = console.expect("(gdb) ")
            at = 0
            for text in shown:
                self.assertIn(text, screen[at:], typed)
                at = screen.index(text, at) + len(text)
            self.assertNotIn('="', screen, typed)  # no record shown raw
        console.type("python import os; os.kill(os.getpid(), 9)\n")
        self.assertEqual(console.expect("debugger-host: GDB ended unexpectedly\r\n").count("debugger-host:"), 1)
        self.assertEqual(console.exit_status(), 7)

if __name__ == "__main__":
    unittest.main()
