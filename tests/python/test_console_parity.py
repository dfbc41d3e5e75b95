"""debugger-host side by side with the debugger's own console (gdb, lldb-16): the same keys on the
same program, each on a terminal of its own, and the screens compared once pids, addresses and
GDB's lines that only its machine interface gets are set aside."""

import fcntl
import glob
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

import pyte

HOST = os.path.join(os.environ["LD_BIN_DIR"], "debugger-host")
PROGRAM = os.path.join(os.environ["LD_STANDIN_DIR"], "console_program")
# LLDB indexes libc's debug information at a program's first run: tens of seconds on a loaded machine.
TIMEOUT = 90
P = "(gdb) "
ASKED = "(y or n) "
RESIZE = ("resize", 30, 100)

# GDB writes these to its machine interface, not to a second console's terminal, and its own
# console writes them at another moment.
MACHINE_ONLY = re.compile(rb"\[Thread debugging using libthread_db enabled\]\r?\n"
                          rb"|Using host libthread_db library [^\n]*\n|\[Detaching after v?fork from child process \d+\]\r?\n")

# name and steps: keys, then what the line under the cursor ends with once they took effect (None:
# the console ends). Both consoles get the same steps; the program's argument is typed with run.
SCENARIOS = [
    ("break run bt print next step finish display", [
        ("break sum\r", P), ("run\r", P), ("bt\r", P), ("print n * 2\r", P), ("display total\r", P),
        ("next\r", P), ("next\r", P), ("step\r", P), ("finish\r", P), ("continue\r", P)]),
    ("a watchpoint until its scope ends", [
        ("break sum\r", P), ("run\r", P), ("watch total\r", P), ("continue\r", P), ("continue\r", P),
        ("continue\r", P), ("continue\r", P)]),
    ("python, commands and define blocks, dprintf", [
        ("python\r", ">"), ("print(6 * 7)\r", ">"), ("end\r", P),
        ("define twice\r", ">"), ("print $arg0 * 2\r", ">"), ("end\r", P), ("twice 21\r", P),
        ("break square\r", P), ("commands\r", ">"), ("silent\r", ">"), ("print x\r", ">"), ("end\r", P),
        ('dprintf sum,"n is %d\\n", n\r', P), ("run\r", P), ("continue\r", P)]),
    ("Enter goes on after x/2x and after list", [
        ("break sum\r", P), ("run\r", P), ("x/2x $sp\r", P), ("\r", P), ("list square\r", P), ("\r", P),
        ("\r", P)]),
    ("an interactive program reads its answer; keys typed after it wait for the prompt at its stop", [
        ("break sum\r", P), ("run ask\r", "name? "), ("Ada\rprint 1\rpri", "(gdb) pri"), ("nt 2\r", P),
        ("continue\r", P)]),
    ("keys typed after the program's last answer wait for the prompt at its exit", [
        ("run ask\r", "name? "), ("Ada\rprint 3\r", P)]),
    ("Ctrl-C in a busy loop, at the prompt, and with no program", [
        ("run spin\r", "~spinning"), ("\x03", P), ("\x03", P), ("kill\r", ASKED), ("y\r", P), ("\x03", P)]),
    ("a resize reaches the program", [(RESIZE, None), ("run size\r", P)]),
    ("Tab completes through GDB", [("break squ\t", "break square "), ("\r", P), ("info break\r", P)]),
    ("run, delete, quit and Ctrl-D with a live program ask first", [
        ("break sum\r", P), ("run\r", P), ("r\r", ASKED), ("n\r", P), ("delete\r", ASKED), ("y\r", P),
        ("quit\r", ASKED), ("n\r", P), ("\x04", ASKED), ("y\r", None)]),
]

L = "(lldb) "
# The same for LLDB, through both back ends; the question to quit wraps at 80 columns. None
# continues to a program's end: lldb-16 writes "resuming" and the program's output in either order.
LLDB_SCENARIOS = [
    ("break run bt print next step finish display", [
        ("b sum\r", L), ("run\r", L), ("bt\r", L), ("p n * 2\r", L), ("display total\r", L),
        ("next\r", L), ("next\r", L), ("step\r", L), ("finish\r", L)]),
    # Typed in one burst, the echo of the answer's last keys can come after the program's reply to
    # it: the answer is seen echoed before Enter, as a person types.
    ("an interactive program reads its answer", [
        ("b sum\r", L), ("run ask\r", "name? "), ("Ada", "name? Ada"), ("\r", L)]),
    ("Ctrl-C in a busy loop and at the prompt", [("run spin\r", "~spinning"), ("\x03", L), ("\x03", L)]),
    ("Ctrl-C with no program", [("\x03", L), ("print 6 * 7\r", L)]),
    ("Tab completes through LLDB", [("breakpoint se\t", "breakpoint set "), ("-n square\r", L)]),
    ("a resize reaches LLDB", [(RESIZE, None), ("run size\r", L), ("settings show term-width\r", L)]),
    ("quit with a live program asks first", [
        ("b sum\r", L), ("run\r", L), ("quit\r", "/n]"), ("n\r", L), ("quit\r", "/n]"), ("y\r", None)]),
]


def descendants(pid):
    """Every process below pid, as each of its threads lists its children."""
    found, parents = [], [pid]
    while parents:
        for path in glob.glob("/proc/%d/task/*/children" % parents.pop()):
            try:
                with open(path) as listed:
                    children = [int(child) for child in listed.read().split()]
            except OSError:
                continue
            found += children
            parents += children
    return found


class Screen:
    """A program on a terminal of its own, 80 by 24, drawn by a terminal emulator."""

    def __init__(self, test, argv, home, directory=None):
        self.test = test
        master, slave = pty.openpty()
        fcntl.ioctl(slave, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
        self.modes = termios.tcgetattr(slave)
        environment = dict(os.environ, HOME=home, XDG_STATE_HOME=home, XDG_CONFIG_HOME=home + "/config",
                           TERM="xterm-256color")
        self.process = subprocess.Popen(argv, stdin=slave, stdout=slave, stderr=slave, env=environment,
                                        start_new_session=True, cwd=directory,
                                        preexec_fn=lambda: fcntl.ioctl(0, termios.TIOCSCTTY, 0))
        self.slave = slave
        self.fd = master
        self.written = b""
        test.addCleanup(self.close)

    def pump(self, seconds):
        ready = select.select([self.fd], [], [], seconds)[0]
        if ready:
            try:
                self.written += os.read(self.fd, 65536)
            except OSError:
                return False
        return bool(ready)

    def drawn(self):
        """The screen without GDB's lines that only its machine interface gets, which may come
        among the program's at another moment."""
        screen = pyte.Screen(80, 400)  # tall enough that nothing scrolls away
        pyte.ByteStream(screen).feed(MACHINE_ONLY.sub(b"", self.written))
        return screen

    def line(self):
        screen = self.drawn()
        return screen.display[screen.cursor.y].rstrip()

    def step(self, keys, until):
        if keys == RESIZE:
            fcntl.ioctl(self.slave, termios.TIOCSWINSZ, struct.pack("HHHH", RESIZE[1], RESIZE[2], 0, 0))
            os.killpg(self.process.pid, signal.SIGWINCH)
            while self.pump(0.3):
                pass
            return
        before = (self.drawn().cursor.y, self.line())
        os.write(self.fd, keys.encode())
        deadline = time.monotonic() + TIMEOUT
        while time.monotonic() < deadline:
            self.pump(0.1)
            if until is None and self.process.poll() is not None:
                return
            if until is not None and until.startswith("~") and until[1:] in self.text():
                return
            if until is not None and self.line().endswith(until.rstrip()) and (
                    self.drawn().cursor.y, self.line()) != before:
                while self.pump(0.3):  # what follows at once, such as a program's exit
                    pass
                return
        self.test.fail("no %r after %r:\n%s" % (until, keys, self.text()))

    def text(self):
        # Pids and addresses are set aside before the terminal lays the text out, so that their
        # lengths do not move where a long line wraps.
        written = re.sub(rb"0x[0-9a-f]+", b"0xADDR", MACHINE_ONLY.sub(b"", self.written))
        written = re.sub(rb"([Pp]rocess) \d+", rb"\1 PID", written)
        screen = pyte.Screen(80, 400)
        pyte.ByteStream(screen).feed(written)
        return "\n".join(line.rstrip() for line in screen.display).rstrip()

    def close(self):
        if self.process.poll() is None:
            # A debugger's program may run in a process group of its own; left behind, a
            # stopped one goes on running once its debugger is gone.
            below = descendants(self.process.pid)
            os.killpg(self.process.pid, signal.SIGKILL)
            for pid in below:
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass
        self.process.wait()
        for fd in (self.fd, self.slave):
            try:
                os.close(fd)
            except OSError:
                pass


def side_by_side(test, argvs, prompt, steps, directory=None):
    """The screens of each command line, given the same steps from its first prompt on."""
    shown = []
    for argv in argvs:
        screen = Screen(test, argv, test.home, directory)
        deadline = time.monotonic() + TIMEOUT
        while not screen.line().endswith(prompt.rstrip()) and time.monotonic() < deadline:
            screen.pump(0.1)
        for keys, until in steps:
            screen.step(keys, until)
        shown.append(screen.text())
        screen.close()
    return shown


class SideBySide(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="ld-parity-")
        self.addCleanup(shutil.rmtree, self.home)

    def screens(self, steps, ours=(), theirs=("--nx",), directory=None):
        return side_by_side(self, (["gdb", "-q", *theirs, PROGRAM], [HOST, "--gdb", *ours, PROGRAM]), P, steps,
                            directory)

    def test_each_scenario_shows_what_gdbs_own_console_shows(self):
        for name, steps in SCENARIOS:
            with self.subTest(name):
                theirs, ours = self.screens(steps)
                self.assertEqual(ours, theirs)

    def test_the_init_files_are_read_as_gdb_reads_them_and_nx_leaves_them(self):
        project = os.path.join(self.home, "project")
        os.mkdir(project)
        with open(os.path.join(project, ".gdbinit"), "w") as init:
            init.write("echo local init file read\\n\n")
        trusted = "add-auto-load-safe-path %s\n" % project
        # the user's init file, the options, what shows, what does not: the current directory's
        # init file is read only where the user's trusts it, and GDB says so where it does not
        rows = [("", (), ["To enable execution of this file"], ["local init file read"]),
                (trusted, (), ["user init file read", "local init file read"], ["To enable execution"]),
                (trusted, ("--nx",), [], ["init file read", "To enable execution"])]
        for user, options, shown, hidden in rows:
            with self.subTest(user=user, options=options):
                with open(os.path.join(self.home, ".gdbinit"), "w") as init:
                    init.write("echo user init file read\\n\nset listsize 2\n" + user)
                theirs, ours = self.screens([("list square\r", P)], ours=options, theirs=options, directory=project)
                self.assertEqual(ours, theirs)
                at = 0
                for text in shown:
                    self.assertIn(text, ours[at:])
                    at = ours.index(text, at)
                for text in hidden:
                    self.assertNotIn(text, ours)

class SideBySideWithLldb(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="ld-parity-")
        self.addCleanup(shutil.rmtree, self.home)
        # LLDB's progress line comes and goes with the timing of symbol loading.
        with open(os.path.join(self.home, ".lldbinit"), "w") as init:
            init.write("settings set show-progress false\n")

    def screens(self, steps, backend, ours=(), theirs=()):
        return side_by_side(self, (["lldb-16", *theirs, PROGRAM], [HOST, backend, *ours, PROGRAM]), L, steps)

    def test_each_scenario_shows_what_lldbs_own_console_shows_with_either_back_end(self):
        for backend in ("--lldb=helper", "--lldb=script"):
            for name, steps in LLDB_SCENARIOS:
                with self.subTest(name, backend=backend):
                    theirs, ours = self.screens(steps, backend)
                    self.assertEqual(ours, theirs)

    def test_the_init_file_is_read_as_lldb_reads_it_and_no_lldbinit_leaves_it(self):
        with open(os.path.join(self.home, ".lldbinit"), "a") as init:
            init.write("settings set stop-line-count-before 0\nsettings set stop-line-count-after 0\n")
        steps = [("b sum\r", L), ("run\r", L)]
        for options in ((), ("--no-lldbinit",)):
            with self.subTest(options):
                theirs, ours = self.screens(steps, "--lldb=helper", ours=options, theirs=options)
                self.assertEqual(ours, theirs)
                self.assertEqual("   16  " in ours, bool(options))


def kill_debugger(screen, wanted="gdb"):
    """SIGKILL to the debugger (GDB, or the LLDB back end) that debugger-host's service runs."""
    children = {}
    for line in subprocess.run(["ps", "-eo", "pid=,ppid=,comm="], capture_output=True, text=True).stdout.splitlines():
        pid, parent, name = line.split(None, 2)
        children.setdefault(int(parent), []).append((int(pid), name.strip()))
    pending = [screen.process.pid]
    while pending:
        for pid, name in children.get(pending.pop(), []):
            if name == wanted:
                os.kill(pid, signal.SIGKILL)
                return
            pending.append(pid)
    screen.test.fail("no %s under debugger-host" % wanted)


class OwnConsole(unittest.TestCase):
    """What has no counterpart in the debugger's own console."""

    def setUp(self):
        self.home = tempfile.mkdtemp(prefix="ld-own-")
        self.addCleanup(shutil.rmtree, self.home)

    def console(self, option, prompt):
        screen = Screen(self, [HOST, option, PROGRAM], self.home)
        deadline = time.monotonic() + TIMEOUT
        while not screen.line().endswith(prompt.rstrip()) and time.monotonic() < deadline:
            screen.pump(0.1)
        return screen

    def test_every_ending_restores_the_terminal_and_a_dead_debugger_is_one_line_and_status_7(self):
        # name, option, prompt, the ending, exit status, the line said
        endings = [
            ("GDB, Ctrl-D", "--gdb", P, lambda screen: screen.step("\x04", ASKED) or screen.step("y\r", None), 0, None),
            ("GDB killed", "--gdb", P, kill_debugger, 7, "debugger-host: GDB ended unexpectedly"),
            ("LLDB, quit", "--lldb=helper", L, lambda screen: screen.step("quit\r", "/n]") or screen.step("y\r", None),
             0, None),
            ("LLDB, Ctrl-D", "--lldb=script", L, lambda screen: screen.step("\x04", None), 0, None),
            ("LLDB killed", "--lldb=helper", L, lambda screen: kill_debugger(screen, "lldb-helper"), 7,
             "debugger-host: LLDB ended unexpectedly")]
        for name, option, prompt, end, status, said in endings:
            with self.subTest(name):
                screen = self.console(option, prompt)
                screen.step("break sum\r" if option == "--gdb" else "b sum\r", prompt)
                screen.step("run\r", prompt)
                end(screen)
                self.assertEqual(screen.process.wait(TIMEOUT), status)
                while screen.pump(0.2):
                    pass
                self.assertEqual(termios.tcgetattr(screen.slave), screen.modes)
                self.assertEqual(screen.text().count("debugger-host:"), 1 if said else 0)
                if said:
                    self.assertIn("\n" + said, screen.text())

    def test_the_history_of_one_session_is_recalled_in_the_next(self):
        # GDB's through ours, LLDB's through its own
        for option, prompt, answer in (("--gdb", P, "$1 = 42"), ("--lldb=helper", L, "$0 = 42")):
            with self.subTest(option):
                first = self.console(option, prompt)
                first.step("print 6 * 7\r", prompt)
                first.step("\x04", None)
                second = self.console(option, prompt)
                second.step("\x1b[A\r", prompt)
                self.assertEqual(second.text().count(answer), 1)


if __name__ == "__main__":
    unittest.main()
