"""LLDB back end run by the system's Python: lldb_server.py <command-fd> <event-fd>.

Reads LLDB command lines from the command descriptor and writes newline-delimited JSON records
to the event descriptor, exactly as lldb-helper does; a host cannot tell the two apart.

The process splits in two at start. This one stays the supervisor that the service signals: it
passes SIGINT and SIGTERM on, and once the worker has ended it kills and reaps whatever is left
below it. It is a child subreaper, so a debuggee whose debug server died comes back to it rather
than to init. The worker imports lldb and does the debugging; it gets SIGTERM when the
supervisor dies, even by SIGKILL, so the debuggee never outlives the back end.
"""

import codecs
import ctypes
import json
import math
import os
import select
import signal
import sys
import threading

BACKEND_NAME = "lldb_server"
DEBUG_SERVER_VARIABLE = "LLDB_DEBUGSERVER_PATH"
DEBUG_SERVER_PATH = "/usr/lib/llvm-16/bin/lldb-server"
SHUTDOWN_DEADLINE = 10.0
SETTLE_PATIENCE = 3.0
OUTPUT_CHUNK = 65536
WAIT_FOREVER = 0xFFFFFFFF
MARK = 1
# How long a command's result waits for the event thread to report what came before it; only an
# event thread stuck inside LLDB takes this long.
CATCH_UP_PATIENCE = 5.0

PR_SET_PDEATHSIG = 1
PR_SET_CHILD_SUBREAPER = 36

_libc = ctypes.CDLL(None, use_errno=True)


def _prctl(option, value):
    return _libc.prctl(ctypes.c_int(option), ctypes.c_ulong(value), ctypes.c_ulong(0),
                       ctypes.c_ulong(0), ctypes.c_ulong(0)) == 0


def _say(text):
    try:
        os.write(2, ("lldb_server.py: %s\n" % text).encode("utf-8", "replace"))
    except OSError:
        pass


# ---------------------------------------------------------------------------------------------
# Text and records


def lossy(data):
    """Bytes to text, each maximal ill-formed subpart becoming one U+FFFD (as lldb-helper does)."""
    return data.decode("utf-8", "replace")


def from_lldb(value):
    """A string that the lldb module decoded with surrogateescape, back to honest UTF-8 text."""
    if value is None:
        return None
    return lossy(value.encode("utf-8", "surrogateescape"))


def dump(record):
    return json.dumps(record, ensure_ascii=False, separators=(",", ":"))


def ready_record(version):
    return {"type": "ready", "backend": BACKEND_NAME, "version": version}


def result_record(seq, ok, output, error, matches=None):
    record = {"type": "result", "seq": seq, "ok": ok, "output": output, "error": error}
    if matches is not None:
        record["matches"] = matches
    return record


def output_record(stream, data):
    return {"type": "output", "stream": stream, "data": data}


def error_record(message):
    return {"type": "error", "message": message}


class EventWriter:
    """Whole-line output on the event descriptor, shared by every thread."""

    def __init__(self, fd, wake_fd=-1):
        self._fd = fd
        self._wake_fd = wake_fd
        self._lock = threading.Lock()
        self._broken = False
        self._sealed = False

    def write(self, record):
        data = (dump(record) + "\n").encode("utf-8")
        with self._lock:
            if self._broken or self._sealed:
                return False
            view = memoryview(data)
            while view:
                try:
                    n = os.write(self._fd, view)
                except OSError:
                    self._broken = True
                    if self._wake_fd >= 0:
                        try:
                            os.write(self._wake_fd, b"\x01")
                        except OSError:
                            pass
                    return False
                view = view[n:]
            return True

    def broken(self):
        with self._lock:
            return self._broken

    def seal(self):
        with self._lock:
            self._sealed = True


# ---------------------------------------------------------------------------------------------
# Requests: input lines that hold a JSON object instead of an LLDB command. Every refusal is
# decided here, with the texts lldb-helper gives, and the parser is held to what lldb-helper's
# accepts.

MAX_NESTING = 64
UINT64_LIMIT = 1 << 64
INT64_MIN = -(1 << 63)


class RequestError(Exception):
    pass


def is_request(line):
    """A line is a request when its first character other than a space or a tab is '{'."""
    return line.lstrip(" \t").startswith("{")


def nesting(text):
    depth = deepest = 0
    in_string = escaped = False
    for c in text:
        if in_string:
            if escaped:
                escaped = False
            elif c == "\\":
                escaped = True
            elif c == '"':
                in_string = False
        elif c == '"':
            in_string = True
        elif c in "{[":
            depth += 1
            deepest = max(deepest, depth)
        elif c in "}]":
            depth -= 1
    return deepest


def _finite_float(text):
    value = float(text)
    if not math.isfinite(value):
        raise ValueError("number out of range")
    return value


def _integer(text):
    # lldb-helper's parser reads an integer beyond 64 bits as a float, and refuses an infinite one.
    value = int(text)
    if not INT64_MIN <= value < UINT64_LIMIT:
        _finite_float(text)
    return value


def _refuse_constant(text):
    raise ValueError("not JSON: " + text)


def _well_formed(value):
    if isinstance(value, str):
        try:
            value.encode("utf-8")
        except UnicodeEncodeError:  # a lone surrogate written as an escape
            return False
    elif isinstance(value, list):
        return all(_well_formed(item) for item in value)
    return True


def _object(pairs):
    # Checked before duplicate names collapse: lldb-helper's parser sees every pair.
    for name, value in pairs:
        if not _well_formed(name) or not _well_formed(value):
            raise ValueError("ill-formed string")
    return dict(pairs)


def _missing(request, field):
    return RequestError('error: request "%s" has no "%s" field\n' % (request, field))


def _not_a_string(field):
    return RequestError('error: field "%s" must be a string\n' % field)


def parse_request(line):
    """("input", data) or ("complete", line, cursor as a character index); RequestError
    carries the one-line error text that answers the line instead."""
    if nesting(line) > MAX_NESTING:
        raise RequestError("error: request line is nested too deeply\n")
    try:
        request = json.loads(line, object_pairs_hook=_object, parse_float=_finite_float,
                             parse_int=_integer, parse_constant=_refuse_constant)
    except ValueError:
        raise RequestError("error: request line is not valid JSON\n") from None
    # A line that starts with '{' and parses can only be an object.
    if not isinstance(request, dict):
        raise RequestError("error: request line is not valid JSON\n")
    if "request" not in request:
        raise RequestError('error: request has no "request" field\n')
    name = request["request"]
    if not isinstance(name, str):
        raise _not_a_string("request")
    if name == "input":
        if "data" not in request:
            raise _missing("input", "data")
        if not isinstance(request["data"], str):
            raise _not_a_string("data")
        return ("input", request["data"])
    if name == "complete":
        if "line" not in request:
            raise _missing("complete", "line")
        text = request["line"]
        if not isinstance(text, str):
            raise _not_a_string("line")
        if "\0" in text:
            raise RequestError('error: field "line" must not hold a NUL character\n')
        cursor = request.get("cursor", len(text))
        # A bool is an int to Python, not to JSON; an integer too large for 64 bits is a float
        # to lldb-helper's parser.
        if (isinstance(cursor, bool) or not isinstance(cursor, int)
                or not 0 <= cursor < UINT64_LIMIT):
            raise RequestError('error: field "cursor" must be a non-negative integer\n')
        if cursor > len(text):
            raise RequestError('error: field "cursor" is past the end of "line"\n')
        return ("complete", text, cursor)
    raise RequestError("error: unknown request %s\n" % json.dumps(name, ensure_ascii=False))


# ---------------------------------------------------------------------------------------------
# Processes


def parent_of(pid):
    try:
        with open("/proc/%d/stat" % pid, "rb") as stat:
            content = stat.read()
    except OSError:
        return None
    close = content.rfind(b")")
    if close < 0:
        return None
    fields = content[close + 1:].split()
    if len(fields) < 2:
        return None
    try:
        return int(fields[1])
    except ValueError:
        return None


def launched_here(pid):
    """A debuggee this back end launched runs under a debug server that is our child.

    One that has already gone can only have been launched: LLDB holds an attached process
    stopped until it is resumed, so it is still there when first seen.
    """
    server = parent_of(pid)
    if server is None:
        return True
    return parent_of(server) == os.getpid()


def all_pids():
    try:
        return [int(entry) for entry in os.listdir("/proc") if entry.isdigit()]
    except OSError:
        return []


def own_children():
    """Direct children of the calling (single-threaded) process; None when /proc is unreadable."""
    try:
        with open("/proc/self/task/%d/children" % os.getpid()) as listing:
            return [int(word) for word in listing.read().split()]
    except OSError:
        pass
    # Kernels without the children file: look for our pid as a parent in every /proc entry.
    if not os.access("/proc/self/stat", os.R_OK):
        return None
    me = os.getpid()
    return [pid for pid in all_pids() if parent_of(pid) == me]


def descendants_of(root):
    """Every process below root, children before grandchildren."""
    children = {}
    for pid in all_pids():
        parent = parent_of(pid)
        if parent is not None:
            children.setdefault(parent, []).append(pid)
    found = []
    level = [root]
    while level:
        level = [child for parent in level for child in children.get(parent, [])]
        found.extend(level)
    return found


class PidList:
    """Debuggee pids for the last-resort shutdown path."""

    def __init__(self):
        self._pids = set()
        self._lock = threading.Lock()

    def add(self, pid):
        with self._lock:
            self._pids.add(pid)

    def remove(self, pid):
        with self._lock:
            self._pids.discard(pid)

    def snapshot(self):
        # Waits only briefly: the caller may be the only thread still making progress.
        if self._lock.acquire(timeout=1.0):
            try:
                return list(self._pids)
            finally:
                self._lock.release()
        return list(self._pids)


def worker_main(command_fd, event_fd, set_debug_server):
    import lldb  # only the worker needs LLDB; the supervisor stays small

    # The lldb module hands process output over as str, and raises on bytes that are not UTF-8
    # (losing them). The raw bytes come from the same library entry point lldb-helper calls.
    try:
        library = ctypes.CDLL(lldb._lldb.__file__)
        raw_reads = {}
        for stream, symbol in (("stdout", "_ZNK4lldb9SBProcess9GetSTDOUTEPcm"),
                               ("stderr", "_ZNK4lldb9SBProcess9GetSTDERREPcm")):
            function = getattr(library, symbol)
            function.restype = ctypes.c_size_t
            function.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t]
            raw_reads[stream] = function
    except (OSError, AttributeError):
        raw_reads = None
    read_buffer = ctypes.create_string_buffer(OUTPUT_CHUNK)

    def read_output(process, stream):
        if raw_reads is not None:
            n = raw_reads[stream](ctypes.c_void_p(int(process.this)), read_buffer, OUTPUT_CHUNK)
            return read_buffer.raw[:n]
        read = process.GetSTDOUT if stream == "stdout" else process.GetSTDERR
        try:
            return read(OUTPUT_CHUNK).encode("utf-8", "surrogateescape")
        except SystemError:
            return b"\xff"  # the bytes are gone; leave a replacement character in their place

    STATE_NAMES = {
        lldb.eStateLaunching: "launching",
        lldb.eStateStopped: "stopped",
        lldb.eStateSuspended: "stopped",
        lldb.eStateRunning: "running",
        lldb.eStateStepping: "running",
        lldb.eStateExited: "exited",
        lldb.eStateCrashed: "crashed",
        lldb.eStateDetached: "detached",
    }
    STOP_REASON_NAMES = {
        lldb.eStopReasonInvalid: "invalid",
        lldb.eStopReasonNone: "none",
        lldb.eStopReasonTrace: "trace",
        lldb.eStopReasonBreakpoint: "breakpoint",
        lldb.eStopReasonWatchpoint: "watchpoint",
        lldb.eStopReasonSignal: "signal",
        lldb.eStopReasonException: "exception",
        lldb.eStopReasonExec: "exec",
        lldb.eStopReasonPlanComplete: "plan-complete",
        lldb.eStopReasonThreadExiting: "thread-exiting",
        lldb.eStopReasonInstrumentation: "instrumentation",
        lldb.eStopReasonProcessorTrace: "processor-trace",
        lldb.eStopReasonFork: "fork",
        lldb.eStopReasonVFork: "vfork",
        lldb.eStopReasonVForkDone: "vfork-done",
    }

    def text(value):
        if not value:
            return None
        return from_lldb(value)

    def has_stop_reason(thread):
        return thread.GetStopReason() not in (lldb.eStopReasonInvalid, lldb.eStopReasonNone)

    def frame_of(thread):
        frame = thread.GetFrameAtIndex(0)
        if not frame.IsValid():
            return None
        result = {}
        function = text(frame.GetFunctionName())
        if function is not None:
            result["function"] = function
        entry = frame.GetLineEntry()
        if entry.IsValid():
            source = entry.GetFileSpec()
            if source.IsValid():
                directory = text(source.GetDirectory())
                name = text(source.GetFilename())
                if directory is not None and name is not None:
                    result["file"] = directory + ("" if directory.endswith("/") else "/") + name
                elif name is not None:
                    result["file"] = name
                elif directory is not None:
                    result["file"] = directory
            line = entry.GetLine()
            if line != 0 and line != 0xFFFFFFFF:
                result["line"] = line
        return result

    def describe_stop(process, record):
        thread = process.GetSelectedThread()
        if not thread.IsValid() or not has_stop_reason(thread):
            # LLDB's own event handling would move the selection to the thread that stopped;
            # this back end takes that role, so later commands act on the record's thread.
            for index in range(process.GetNumThreads()):
                candidate = process.GetThreadAtIndex(index)
                if candidate.IsValid() and has_stop_reason(candidate):
                    process.SetSelectedThread(candidate)
                    thread = candidate
                    break
        if not thread.IsValid():
            record["reason"] = "none"
            return
        reason = thread.GetStopReason()
        record["reason"] = STOP_REASON_NAMES.get(reason, "unknown")
        if reason == lldb.eStopReasonSignal and thread.GetStopReasonDataCount() > 0:
            signal_name = text(process.GetUnixSignals().GetSignalAsCString(
                thread.GetStopReasonDataAtIndex(0)))
            if signal_name is not None:
                record["signal"] = signal_name
        record["thread"] = thread.GetIndexID()
        frame = frame_of(thread)
        if frame:
            record["frame"] = frame

    def is_live(process):
        if not process.IsValid() or process.GetProcessID() == lldb.LLDB_INVALID_PROCESS_ID:
            return False
        return process.GetState() not in (lldb.eStateExited, lldb.eStateDetached,
                                          lldb.eStateInvalid, lldb.eStateUnloaded)

    def resumed(process, last_state):
        """Whether LLDB has resumed the process, told by what it shows before it publishes that."""
        state = process.GetState()
        if state in (lldb.eStateRunning, lldb.eStateStepping, lldb.eStateLaunching):
            return True
        # A launch leaves the process stopped only when asked to, and then LLDB publishes that
        # stop before the command returns; otherwise LLDB has resumed it, unannounced so far.
        if last_state == "launching":
            return state == lldb.eStateStopped
        # From a resume until its stop is published LLDB holds the process's run lock, and while
        # it does the process's threads read as invalid.
        return process.GetNumThreads() > 0 and not process.GetSelectedThread().IsValid()

    class Tracked:
        def __init__(self, process):
            self.process = process
            self.pid = process.GetProcessID()
            self.launched_here = launched_here(self.pid)
            self.last_state = ""
            self.stop_id = 0
            self.ended = False
            self.decoders = {
                "stdout": codecs.getincrementaldecoder("utf-8")("replace"),
                "stderr": codecs.getincrementaldecoder("utf-8")("replace"),
            }

    class Reporter:
        """Turns what LLDB knows about debuggee processes into process and output records.

        Fed by the event thread and by the command thread after every command (LLDB consumes
        some state changes itself, an attach's first stop for one, and replaces a process
        without an event when a new launch kills the old one). Processes are tracked by LLDB's
        unique id, so each state is reported once whichever thread sees it first. A command that
        leaves its process running gets that process's running record before its result, even
        when LLDB publishes the resumption only later.
        """

        def __init__(self, writer):
            self.writer = writer
            self.pids = PidList()
            self.condition = threading.Condition()
            self.processes = {}
            self.marks = None
            self.marks_sent = 0
            self.marks_passed = 0

        def listen(self, listener):
            """Before any event is read: the listener must also hear the reporter's own marks."""
            self.marks = lldb.SBBroadcaster("lldb_server.marks")
            listener.StartListeningForEvents(self.marks, MARK)

        def catch_up(self):
            # The listener hands out events in the order they were broadcast, so once the event
            # thread has passed this mark it has reported everything LLDB broadcast before it.
            self.marks_sent += 1
            mark = self.marks_sent
            self.marks.BroadcastEventByType(MARK)
            self.condition.wait_for(lambda: self.marks_passed >= mark, CATCH_UP_PATIENCE)

        def report_resumed(self, process):
            if not process.IsValid() or process.GetProcessID() == lldb.LLDB_INVALID_PROCESS_ID:
                return
            tracked = self.processes.get(process.GetUniqueID())
            # The event side finds running already reported and does not repeat it.
            if (tracked is not None and not tracked.ended and tracked.last_state != "running"
                    and resumed(process, tracked.last_state)):
                self.report(tracked, lldb.eStateRunning)

        def launched_and_live(self, process):
            """Whether the process is one this back end launched and has not seen end."""
            if not is_live(process):
                return False
            with self.condition:
                tracked = self.processes.get(process.GetUniqueID())
                return tracked is not None and tracked.launched_here and not tracked.ended

        def track(self, process):
            key = process.GetUniqueID()
            tracked = self.processes.get(key)
            if tracked is not None:
                return tracked
            tracked = Tracked(process)
            self.processes[key] = tracked
            self.pids.add(tracked.pid)
            if tracked.launched_here:
                self.writer.write({"type": "process", "state": "launching", "pid": tracked.pid})
                tracked.last_state = "launching"
            return tracked

        def drain(self, tracked):
            for stream in ("stdout", "stderr"):
                while True:
                    data = read_output(tracked.process, stream)
                    if not data:
                        break
                    decoded = tracked.decoders[stream].decode(data, False)
                    if decoded:
                        self.writer.write(output_record(stream, decoded))

        def flush(self, tracked):
            for stream in ("stdout", "stderr"):
                decoded = tracked.decoders[stream].decode(b"", True)
                if decoded:
                    self.writer.write(output_record(stream, decoded))

        def report(self, tracked, state):
            if tracked.ended:
                return
            name = STATE_NAMES.get(state)
            if name is None:
                self.drain(tracked)
                return
            if name == "running":
                # Whatever the debuggee writes now was written after it resumed.
                if tracked.last_state != "running":
                    self.writer.write({"type": "process", "state": name, "pid": tracked.pid})
                    tracked.last_state = name
                self.drain(tracked)
                return
            self.drain(tracked)
            record = {"type": "process", "state": name, "pid": tracked.pid}
            if name == "stopped":
                stop_id = tracked.process.GetStopID()
                if tracked.last_state == "stopped" and tracked.stop_id == stop_id:
                    return
                tracked.stop_id = stop_id
                describe_stop(tracked.process, record)
            elif name == tracked.last_state:
                return
            if name == "exited":
                record["status"] = tracked.process.GetExitStatus()
            if name in ("exited", "detached"):
                self.flush(tracked)
                tracked.ended = True
                self.pids.remove(tracked.pid)
            self.writer.write(self.ordered(record))
            tracked.last_state = name
            if tracked.ended:
                self.condition.notify_all()

        @staticmethod
        def ordered(record):
            order = ("type", "state", "pid", "status", "reason", "signal", "thread", "frame")
            return {key: record[key] for key in order if key in record}

        def end_unseen(self, tracked):
            if tracked.ended:
                return
            self.flush(tracked)
            tracked.ended = True
            self.pids.remove(tracked.pid)
            # LLDB drops a process without an event when a new launch or attach replaces it:
            # it kills one it launched and detaches from one it attached to.
            name = "exited" if tracked.launched_here else "detached"
            self.writer.write({"type": "process", "state": name, "pid": tracked.pid})
            tracked.last_state = name
            self.condition.notify_all()

        def on_event(self, event):
            if event.BroadcasterMatchesRef(self.marks):
                with self.condition:
                    self.marks_passed += 1
                    self.condition.notify_all()
                return
            if not lldb.SBProcess.EventIsProcessEvent(event):
                return
            process = lldb.SBProcess.GetProcessFromEvent(event)
            if not process.IsValid() or process.GetProcessID() == lldb.LLDB_INVALID_PROCESS_ID:
                return
            with self.condition:
                tracked = self.track(process)
                if event.GetType() & lldb.SBProcess.eBroadcastBitStateChanged:
                    state = lldb.SBProcess.GetStateFromEvent(event)
                    if state == lldb.eStateStopped and lldb.SBProcess.GetRestartedFromEvent(event):
                        self.drain(tracked)
                    else:
                        self.report(tracked, state)
                elif not tracked.ended:
                    self.drain(tracked)

        def current_processes(self, debugger):
            processes = []
            for index in range(debugger.GetNumTargets()):
                process = debugger.GetTargetAtIndex(index).GetProcess()
                if process.IsValid() and process.GetProcessID() != lldb.LLDB_INVALID_PROCESS_ID:
                    processes.append(process)
            return processes

        def close_gone(self, tracked):
            if tracked.process.IsValid():
                state = tracked.process.GetState()
                if state in (lldb.eStateExited, lldb.eStateDetached):
                    self.report(tracked, state)
            self.end_unseen(tracked)

        def after_command(self, debugger):
            with self.condition:
                self.catch_up()
                live = set()
                for process in self.current_processes(debugger):
                    live.add(process.GetUniqueID())
                    tracked = self.track(process)
                    # An attach reports its first stop to LLDB's own listener only. For a launch
                    # the current state may be a stop LLDB already resumed from, so launches
                    # wait for their events.
                    if not tracked.launched_here and not tracked.last_state:
                        self.report(tracked, process.GetState())
                for key, tracked in sorted(self.processes.items()):
                    if not tracked.ended and key not in live:
                        self.close_gone(tracked)
                self.report_resumed(debugger.GetSelectedTarget().GetProcess())

        def settle(self, debugger, patience):
            with self.condition:
                for process in self.current_processes(debugger):
                    self.track(process)
                self.condition.wait_for(
                    lambda: all(tracked.ended for tracked in self.processes.values()), patience)
                for key, tracked in sorted(self.processes.items()):
                    if not tracked.ended:
                        self.close_gone(tracked)

    wake_read, wake_write = os.pipe2(os.O_CLOEXEC | os.O_NONBLOCK)
    writer = EventWriter(event_fd, wake_write)
    reporter = Reporter(writer)
    state = {"seq": 0}
    shutdown_requested = threading.Event()
    in_command = threading.Event()
    deadline_armed = threading.Lock()

    init = lldb.SBDebugger.InitializeWithErrorHandling()
    if init.Fail():
        writer.write(error_record("cannot initialise LLDB: " + (from_lldb(init.GetCString()) or "")))
        return 1
    debugger = lldb.SBDebugger.Create(False)
    if not debugger.IsValid():
        writer.write(error_record("cannot create an LLDB debugger"))
        return 1
    debugger.SetAsync(True)
    # Commands that would read from a terminal (a bare "script", say) see end of input rather
    # than waiting forever on a pipe nobody writes to.
    try:
        null_fd = os.open("/dev/null", os.O_RDONLY | os.O_CLOEXEC)
        debugger.SetInputFile(lldb.SBFile(null_fd, "r", True))
    except OSError:
        pass
    interpreter = debugger.GetCommandInterpreter()
    setup = ["settings set auto-confirm true", "settings set use-color false"]
    if set_debug_server:
        setup.append("settings set target.unset-env-vars " + DEBUG_SERVER_VARIABLE)
    for command in setup:
        result = lldb.SBCommandReturnObject()
        interpreter.HandleCommand(command, result, False)
        if not result.Succeeded():
            writer.write(error_record("setting up LLDB failed: %s: %s"
                                      % (command, from_lldb(result.GetError()) or "")))

    def event_loop():
        listener = debugger.GetListener()
        while True:
            event = lldb.SBEvent()
            if not listener.WaitForEvent(WAIT_FOREVER, event):
                continue
            try:
                reporter.on_event(event)
            except Exception as fault:  # keep reporting whatever one event did
                writer.write(error_record("event handling failed: %s" % fault))

    def interrupt_debuggees():
        # LLDB ignores the request for a process that is not running, so no state check is
        # needed (and one would race with a resume LLDB has not reported yet).
        for index in range(debugger.GetNumTargets()):
            process = debugger.GetTargetAtIndex(index).GetProcess()
            if process.IsValid():
                process.SendAsyncInterrupt()

    def arm_deadline():
        if not deadline_armed.acquire(blocking=False):
            return

        def expire():
            # LLDB has not managed it: kill the debuggees it knows of (an attached one is not
            # below us), and everything below us (debug servers, debuggees not yet reported).
            for pid in reporter.pids.snapshot() + descendants_of(os.getpid()):
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass
            os._exit(0)

        timer = threading.Timer(SHUTDOWN_DEADLINE, expire)
        timer.daemon = True
        timer.start()

    def request_shutdown():
        shutdown_requested.set()
        arm_deadline()
        try:
            os.write(wake_write, b"\x01")
        except OSError:
            pass

    def signal_loop():
        watched = {signal.SIGINT, signal.SIGTERM}
        while True:
            signo = signal.sigwaitinfo(watched).si_signo
            if signo == signal.SIGINT:
                interrupt_debuggees()
            elif signo == signal.SIGTERM:
                request_shutdown()
                # A command that waits on the debuggee (an attach that waits for its process,
                # say) would hold up the shutdown; interrupting cuts it short.
                if in_command.is_set():
                    interrupt_debuggees()

    def run_line(raw):
        state["seq"] += 1
        seq = state["seq"]
        if raw.endswith(b"\r"):
            raw = raw[:-1]
        refusal = None
        try:
            line = raw.decode("utf-8")
        except UnicodeDecodeError:
            refusal = "is not valid UTF-8"
        else:
            if "\0" in line:
                refusal = "contains a NUL byte"
        if refusal is not None:
            writer.write(error_record("command line %d %s" % (seq, refusal)))
            writer.write(result_record(seq, False, "", "error: command line %s\n" % refusal))
            return True
        # Requests never reach LLDB's interpreter, so they stay out of its history and an empty
        # line still repeats the last command.
        if is_request(line):
            answer(seq, line)
            return True
        result = lldb.SBCommandReturnObject()
        in_command.set()
        interpreter.HandleCommand(line, result, True)
        in_command.clear()
        quit = result.GetStatus() == lldb.eReturnStatusQuit
        output = from_lldb(result.GetOutput()) or ""
        error = from_lldb(result.GetError()) or ""
        # Records derived from the command's effect go out before its result, so a host that
        # has the result has also seen the debuggee the command started.
        reporter.after_command(debugger)
        writer.write(result_record(seq, result.Succeeded() or quit, output, error))
        return not quit

    def answer(seq, line):
        try:
            request = parse_request(line)
        except RequestError as refusal:
            writer.write(result_record(seq, False, "", str(refusal)))
            return
        if request[0] == "input":
            process = debugger.GetSelectedTarget().GetProcess()
            if not reporter.launched_and_live(process):
                writer.write(result_record(seq, False, "", "error: no debuggee to write to\n"))
                return
            # Bytes, not str: for a str the lldb module passes its length in characters. LLDB
            # writes every byte to the terminal itself, looping on partial writes, and returns 0
            # whatever it wrote: the count gives nothing to loop on here.
            if request[1]:
                process.PutSTDIN(request[1].encode("utf-8"))
            writer.write(result_record(seq, True, "", ""))
            return
        _, text, cursor = request
        found = lldb.SBStringList()
        interpreter.HandleCompletion(text, len(text[:cursor].encode("utf-8")), 0, -1, found)
        # Entry 0 is what every match adds to the word at the cursor; the matches follow it.
        matches = [from_lldb(found.GetStringAtIndex(index)) or ""
                   for index in range(1, found.GetSize())]
        writer.write(result_record(seq, True, "", "", matches))

    def command_loop():
        pending = b""
        poller = select.poll()
        poller.register(command_fd, select.POLLIN)
        poller.register(wake_read, select.POLLIN)
        while True:
            if shutdown_requested.is_set() or writer.broken():
                return
            ready = dict(poller.poll())
            if ready.get(wake_read, 0) & select.POLLIN:
                try:
                    while os.read(wake_read, 4096):
                        pass
                except BlockingIOError:
                    pass
                continue
            if not ready.get(command_fd, 0):
                continue
            try:
                data = os.read(command_fd, 65536)
            except BlockingIOError:
                continue
            except OSError as fault:
                writer.write(error_record("reading commands failed: %s" % fault.strerror))
                return
            if not data:
                # A last line without its newline is still a command.
                if pending:
                    run_line(pending)
                return
            pending += data
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                if not run_line(line):
                    return
                if shutdown_requested.is_set():
                    return

    def shut_down():
        arm_deadline()
        for index in range(debugger.GetNumTargets()):
            process = debugger.GetTargetAtIndex(index).GetProcess()
            if not process.IsValid():
                continue
            if process.GetState() not in (lldb.eStateExited, lldb.eStateDetached,
                                          lldb.eStateInvalid, lldb.eStateUnloaded):
                process.Kill()
        reporter.settle(debugger, SETTLE_PATIENCE)
        writer.seal()
        # Tearing LLDB down can block on its own threads; nothing is left worth the wait.
        os._exit(0)

    reporter.listen(debugger.GetListener())
    threading.Thread(target=event_loop, daemon=True).start()
    threading.Thread(target=signal_loop, daemon=True).start()
    version = (lldb.SBDebugger.GetVersionString() or "").split("\n", 1)[0]
    writer.write(ready_record(from_lldb(version)))
    try:
        command_loop()
    except Exception as fault:
        writer.write(error_record("command handling failed: %s" % fault))
    shut_down()


def parse_fd(text):
    if not text.isdigit():
        return None
    fd = int(text)
    try:
        os.fstat(fd)
    except OSError:
        return None
    return fd


def exit_code(status):
    if os.WIFEXITED(status):
        return os.WEXITSTATUS(status)
    if os.WIFSIGNALED(status):
        return 128 + os.WTERMSIG(status)
    return 1


def clear_leftovers():
    """Everything still below this process is a leftover of the session: kill it, reap it."""
    while True:
        try:
            while os.waitpid(-1, os.WNOHANG)[0] > 0:
                pass
        except ChildProcessError:
            return
        pids = own_children()
        if pids is None:
            return
        for pid in pids:
            try:
                os.kill(pid, signal.SIGKILL)
            except OSError:
                pass
        try:
            os.waitpid(-1, 0)
        except ChildProcessError:
            return


def supervise(worker):
    waited = {signal.SIGINT, signal.SIGTERM, signal.SIGCHLD}
    while True:
        signo = signal.sigwaitinfo(waited).si_signo
        if signo in (signal.SIGINT, signal.SIGTERM):
            try:
                os.kill(worker, signo)
            except OSError:
                pass
            continue
        while True:
            try:
                pid, status = os.waitpid(-1, os.WNOHANG)
            except ChildProcessError:
                break
            if pid == 0:
                break
            if pid == worker:
                clear_leftovers()
                return exit_code(status)


def main(argv):
    if len(argv) != 3:
        _say("usage: lldb_server.py <command-fd> <event-fd>")
        return 2
    command_fd = parse_fd(argv[1])
    event_fd = parse_fd(argv[2])
    if command_fd is None or event_fd is None:
        _say("the descriptor arguments must name open descriptors")
        return 2

    # Python ignores SIGPIPE and SIGXFSZ for itself; the debuggee inherits dispositions through
    # LLDB, so put back the defaults it would get from lldb-helper. SIGINT must not become an
    # exception, and an ignored SIGCHLD would be lost rather than waited for.
    for signo in (signal.SIGINT, signal.SIGTERM, signal.SIGCHLD, signal.SIGPIPE, signal.SIGXFSZ):
        signal.signal(signo, signal.SIG_DFL)
    signal.pthread_sigmask(signal.SIG_SETMASK, {signal.SIGINT, signal.SIGTERM, signal.SIGCHLD})
    if not _prctl(PR_SET_CHILD_SUBREAPER, 1):
        _say("cannot become a subreaper: %s" % os.strerror(ctypes.get_errno()))

    supervisor = os.getpid()
    try:
        worker = os.fork()
    except OSError as fault:
        try:
            os.write(event_fd, (dump(error_record("cannot start: %s" % fault.strerror)) + "\n")
                     .encode("utf-8"))
        except OSError:
            pass
        return 1
    if worker == 0:
        status = 1
        try:
            status = worker_start(command_fd, event_fd, supervisor)
        except BaseException as fault:  # the worker must end here, never unwind into main
            try:
                os.write(event_fd, (dump(error_record("internal error: %s" % fault)) + "\n")
                         .encode("utf-8"))
            except OSError:
                pass
        finally:
            os._exit(status)
    os.close(command_fd)
    os.close(event_fd)
    return supervise(worker)


def worker_start(command_fd, event_fd, supervisor):
    # SIGTERM when the supervisor dies, by whatever means, so the debuggee goes with it.
    _prctl(PR_SET_PDEATHSIG, signal.SIGTERM)
    if os.getppid() != supervisor:
        return 0
    # Only the supervisor gets the service's signals; keep a terminal's from reaching us twice.
    try:
        os.setpgid(0, 0)
    except OSError:
        pass
    os.set_inheritable(command_fd, False)
    os.set_inheritable(event_fd, False)
    # SIGINT and SIGTERM are taken by a waiting thread; SIGPIPE is blocked so a vanished reader
    # is an error value. LLDB clears the mask of the processes it starts.
    signal.pthread_sigmask(signal.SIG_SETMASK, {signal.SIGINT, signal.SIGTERM, signal.SIGPIPE})
    # LLDB finds its debug server only through this variable; a host need not know.
    set_debug_server = DEBUG_SERVER_VARIABLE not in os.environ
    if set_debug_server:
        os.environ[DEBUG_SERVER_VARIABLE] = DEBUG_SERVER_PATH
    try:
        import lldb  # fails here, with a record, rather than deep in the session
    except ImportError as fault:
        EventWriter(event_fd).write(error_record("cannot import lldb: %s" % fault))
        return 1
    # A Python directory without LLDB's native part still imports as an empty package.
    if getattr(lldb, "SBDebugger", None) is None:
        found = getattr(lldb, "__file__", None) or ", ".join(getattr(lldb, "__path__", []))
        EventWriter(event_fd).write(error_record(
            "cannot use lldb: the module found at %s has no SBDebugger (LLDB's Python bindings "
            "are incomplete there)" % found))
        return 1
    return worker_main(command_fd, event_fd, set_debug_server)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
