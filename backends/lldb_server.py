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
import fcntl
import json
import math
import os
import select
import signal
import struct
import sys
import termios
import threading
import time

BACKEND_NAME = "lldb_server"
DEBUG_SERVER_VARIABLE = "LLDB_DEBUGSERVER_PATH"
DEBUG_SERVER_PATH = "/usr/lib/llvm-16/bin/lldb-server"
PYTHON_CACHE_DIRECTORY = "python-cache"
SHUTDOWN_DEADLINE = 10.0
SETTLE_PATIENCE = 3.0
OUTPUT_CHUNK = 65536
WAIT_FOREVER = 0xFFFFFFFF
MARK = 1
# How long a command's result waits for the event thread to report what came before it; only an
# event thread stuck inside LLDB takes this long.
CATCH_UP_PATIENCE = 5.0
# How long the debuggee's output waits for the echo of keys typed to it; LLDB can take the echo
# itself, mark and all, when it handles an event meanwhile.
ECHO_PATIENCE = 0.25

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


def result_record(seq, ok, output, error, matches=None, body=None):
    record = {"type": "result", "seq": seq, "ok": ok, "output": output, "error": error}
    if matches is not None:
        record["matches"] = matches
    if body is not None:
        record["body"] = body
    return record


def output_record(stream, data):
    return {"type": "output", "stream": stream, "data": data}


def write_all(fd, data):
    while data:
        try:
            data = data[os.write(fd, data):]
        except InterruptedError:
            continue
        except OSError:
            return


def console_ended_record():
    return {"type": "console", "state": "ended"}


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
UINT32_MAX = 0xFFFFFFFF
INT64_MIN = -(1 << 63)
STEP_KINDS = ("over", "into", "out", "continue", "overInstruction", "intoInstruction")
# The most bytes one readMemory or writeMemory request moves, and the most instructions one
# disassemble request lists: an answer is held whole.
MAX_MEMORY_BYTES = 1 << 20
MAX_INSTRUCTIONS = 1 << 18


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


def json_quoted(text):
    """The text as a JSON string, as error texts quote names."""
    return json.dumps(text, ensure_ascii=False)


def _field_error(field, problem):
    return RequestError('error: field "%s" %s\n' % (field, problem))


def _is_integer(value):
    # A bool is an int to Python, not to JSON.
    return isinstance(value, int) and not isinstance(value, bool)


class Fields:
    """The fields of one object: the request itself, or an entry of one of its arrays. Each
    getter checks presence, then type, then value, so fields are refused in the order read."""

    NO_NUL = 1
    NOT_EMPTY = 2

    def __init__(self, values, owner):
        self.values = values
        self.owner = owner

    def has(self, name):
        return name in self.values

    def need(self, name):
        if name not in self.values:
            raise RequestError('error: %s has no "%s" field\n' % (self.owner, name))
        return self.values[name]

    def string(self, name, rules=0):
        return self._string(name, self.need(name), rules)

    def optional_string(self, name, rules=0):
        return self._string(name, self.values[name], rules) if name in self.values else None

    def count(self, name):
        return self._count(name, self.need(name))

    def optional_count(self, name):
        return self._count(name, self.values[name]) if name in self.values else None

    def ranged(self, name, low):
        """An integer from low to the largest 32-bit value, as LLDB takes lines and ignore counts."""
        value = self.need(name)
        if not _is_integer(value) or not low <= value <= UINT32_MAX:
            raise _field_error(name, "must be an integer from %d to 4294967295" % low)
        return value

    def flag(self, name, otherwise):
        if name not in self.values:
            return otherwise
        if not isinstance(self.values[name], bool):
            raise _field_error(name, "must be true or false")
        return self.values[name]

    def strings(self, name):
        """An array of strings, none holding a NUL; absent, none."""
        value = self.values.get(name, [])
        if not isinstance(value, list) or not all(isinstance(entry, str) for entry in value):
            raise _field_error(name, "must be an array of strings")
        if any("\0" in entry for entry in value):
            raise _field_error(name, "must not hold a NUL character")
        return value

    def entries(self, name):
        """An array whose entries are all objects."""
        value = self.need(name)
        if not isinstance(value, list) or not all(isinstance(entry, dict) for entry in value):
            raise _field_error(name, "must be an array of objects")
        return value

    @staticmethod
    def _string(name, value, rules):
        if not isinstance(value, str):
            raise _field_error(name, "must be a string")
        if rules & Fields.NO_NUL and "\0" in value:
            raise _field_error(name, "must not hold a NUL character")
        if rules & Fields.NOT_EMPTY and not value:
            raise _field_error(name, "must not be empty")
        return value

    @staticmethod
    def _count(name, value):
        # An integer too large for 64 bits is a float to lldb-helper's parser.
        if not _is_integer(value) or not 0 <= value < UINT64_LIMIT:
            raise _field_error(name, "must be a non-negative integer")
        return value


def _stopping(entry):
    """What a breakpoint entry adds to where it is: a condition ("" for none), an ignore count."""
    condition = entry.optional_string("condition", Fields.NO_NUL) or ""
    ignore_count = entry.ranged("ignoreCount", 0) if entry.has("ignoreCount") else 0
    return {"condition": condition, "ignore_count": ignore_count}


def _parse_input(fields):
    return {"data": fields.string("data")}


def _parse_complete(fields):
    text = fields.string("line", Fields.NO_NUL)
    cursor = len(text)
    if fields.has("cursor"):
        cursor = fields.count("cursor")
        if cursor > len(text):
            raise RequestError('error: field "cursor" is past the end of "line"\n')
    return {"line": text, "cursor": cursor}


def _parse_breakpoints(fields):
    request = {"file": fields.string("file", Fields.NO_NUL | Fields.NOT_EMPTY), "lines": []}
    for values in fields.entries("lines"):
        entry = Fields(values, 'an entry of "lines"')
        line = entry.ranged("line", 1)
        request["lines"].append(dict(line=line, **_stopping(entry)))
    return request


def _parse_function_breakpoints(fields):
    request = {"functions": []}
    for values in fields.entries("functions"):
        entry = Fields(values, 'an entry of "functions"')
        name = entry.string("name", Fields.NO_NUL | Fields.NOT_EMPTY)
        request["functions"].append(dict(name=name, **_stopping(entry)))
    return request


def _place(fields):
    """Thread index and frame index as given; None means LLDB's selection."""
    return {"thread": fields.optional_count("thread"), "frame": fields.optional_count("frame")}


def _page(fields):
    """The start and count of a page of a list; without a count, all of it from start on."""
    start = fields.optional_count("start")
    return {"start": start or 0, "count": fields.optional_count("count")}


def _parse_frames(fields):
    return dict(thread=fields.optional_count("thread"), **_page(fields))


def _hex_format(fields):
    """"format": "natural" (the default) or "hex"."""
    value = fields.optional_string("format")
    if value is not None and value not in ("natural", "hex"):
        raise _field_error("format", 'must be "natural" or "hex"')
    return value == "hex"


def _parse_variables(fields):
    return dict(handle=fields.count("handle"), **_page(fields), hex=_hex_format(fields))


def _parse_evaluate(fields):
    return dict(expression=fields.string("expression", Fields.NO_NUL), **_place(fields),
                hex=_hex_format(fields))


def _parse_set_expression(fields):
    expression = fields.string("expression", Fields.NO_NUL)
    value = fields.string("value", Fields.NO_NUL)
    return dict(expression=expression, value=value, **_place(fields), hex=_hex_format(fields))


def _parse_set_variable(fields):
    handle = fields.count("handle")
    name = fields.string("name", Fields.NO_NUL)
    return {"handle": handle, "name": name, "value": fields.string("value", Fields.NO_NUL)}


def _parse_locate(fields):
    handle = fields.optional_count("handle")
    return dict(handle=handle, name=fields.string("name", Fields.NO_NUL), **_place(fields))


def _parse_watchpoints(fields):
    watchpoints = []
    for values in fields.entries("watchpoints"):
        entry = Fields(values, 'an entry of "watchpoints"')
        address, size = entry.count("address"), entry.count("size")
        access = entry.optional_string("access") or "write"
        if access not in ("read", "write", "readWrite"):
            raise _field_error("access", 'must be "read", "write" or "readWrite"')
        watchpoints.append(dict(address=address, size=size, read=access != "write",
                                write=access != "read", **_stopping(entry)))
    return {"watchpoints": watchpoints}


def _parse_step(fields):
    kind = fields.string("kind")
    if kind not in STEP_KINDS:
        raise _field_error("kind", 'must be "over", "into", "out", "continue", "overInstruction" '
                                   'or "intoInstruction"')
    return {"kind": kind, "thread": fields.optional_count("thread")}


def _parse_launch(fields):
    request = {"arguments": fields.strings("arguments"),
               "cwd": fields.optional_string("cwd", Fields.NO_NUL | Fields.NOT_EMPTY),
               "stop_at_entry": fields.flag("stopAtEntry", False),
               "start": fields.flag("start", True),
               "terminal": fields.optional_string("terminal", Fields.NO_NUL | Fields.NOT_EMPTY)}
    if not request["start"] and (request["cwd"] is not None or request["stop_at_entry"]):
        raise RequestError('error: "cwd" and "stopAtEntry" need "start": true\n')
    return request


def _parse_console(fields):
    return {"terminal": fields.string("terminal", Fields.NO_NUL | Fields.NOT_EMPTY),
            "init_file": fields.flag("initFile", False)}


def _at_most(name, value, most):
    if value > most:
        raise _field_error(name, "must be at most %d" % most)
    return value


def _parse_read_memory(fields):
    address = fields.count("address")
    return {"address": address, "count": _at_most("count", fields.count("count"), MAX_MEMORY_BYTES)}


def _parse_write_memory(fields):
    address = fields.count("address")
    data = fields.string("data")
    if len(data) % 2 or any(digit not in "0123456789abcdefABCDEF" for digit in data):
        raise _field_error("data", "must be hex digits, two for each byte")
    _at_most("data", len(data) // 2, MAX_MEMORY_BYTES)
    return {"address": address, "bytes": bytes.fromhex(data)}


def _parse_disassemble(fields):
    address = fields.count("address")
    end = fields.optional_count("end")
    return {"address": address, "end": end,
            "count": _at_most("count", fields.count("count"), MAX_INSTRUCTIONS)}


def _parse_instruction_breakpoints(fields):
    request = {"addresses": []}
    for values in fields.entries("addresses"):
        entry = Fields(values, 'an entry of "addresses"')
        address = entry.count("address")
        request["addresses"].append(dict(address=address, **_stopping(entry)))
    return request


REQUEST_PARSERS = {
    "input": _parse_input,
    "complete": _parse_complete,
    "breakpoints": _parse_breakpoints,
    "functionBreakpoints": _parse_function_breakpoints,
    "threads": lambda fields: {},
    "modules": lambda fields: {},
    "sources": lambda fields: {},
    "frames": _parse_frames,
    "scopes": _place,
    "variables": _parse_variables,
    "evaluate": _parse_evaluate,
    "setVariable": _parse_set_variable,
    "setExpression": _parse_set_expression,
    "locate": _parse_locate,
    "watchpoints": _parse_watchpoints,
    "step": _parse_step,
    "launch": _parse_launch,
    "console": _parse_console,
    "consoleSize": lambda fields: {},
    "readMemory": _parse_read_memory,
    "writeMemory": _parse_write_memory,
    "disassemble": _parse_disassemble,
    "instructionBreakpoints": _parse_instruction_breakpoints,
}


def parse_request(line):
    """(name, fields as checked); RequestError carries the one-line error text that answers the
    line instead. A complete request's cursor is a character index."""
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
        raise _field_error("request", "must be a string")
    parser = REQUEST_PARSERS.get(name)
    if parser is None:
        raise RequestError("error: unknown request %s\n" % json_quoted(name))
    return name, parser(Fields(request, "request %s" % json_quoted(name)))


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


def terminal_problem(path):
    """Why path cannot be a terminal for LLDB's console or the program; "" when it can."""
    try:
        fd = os.open(path.encode("utf-8", "surrogateescape"), os.O_RDWR | os.O_NOCTTY | os.O_CLOEXEC)
    except OSError as failure:
        return "error: cannot open %s: %s\n" % (path, os.strerror(failure.errno))
    terminal = os.isatty(fd)
    os.close(fd)
    return "" if terminal else "error: %s is not a terminal\n" % path


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


# ---------------------------------------------------------------------------------------------
# What LLDB's objects say, in the protocol's terms: shared by the records of process events and
# the answers to requests. The worker imports LLDB's module into this global; the supervisor
# never does, and stays small.

lldb = None


def text(value):
    """LLDB's text as honest UTF-8; None for a missing or empty string."""
    if not value:
        return None
    return from_lldb(value)


def path_of(source_file):
    """A file's full path from its directory and name, as far as LLDB knows them."""
    if not source_file.IsValid():
        return None
    directory = text(source_file.GetDirectory())
    name = text(source_file.GetFilename())
    if directory is not None and name is not None:
        return directory + ("" if directory.endswith("/") else "/") + name
    return name if name is not None else directory


MAX_SOURCES = 1000


def program_modules(target):
    """The target's modules, the executable first: debug information, load address."""
    if not target.IsValid():
        return refused("error: no target\n")
    listed = []
    for index in range(target.GetNumModules()):
        module = target.GetModuleAtIndex(index)
        path = path_of(module.GetFileSpec()) or ""
        entry = {"path": path, "name": path[path.rfind("/") + 1:], "symbols": module.GetNumCompileUnits() > 0}
        loaded = module.GetObjectFileHeaderAddress().GetLoadAddress(target)
        if loaded != lldb.LLDB_INVALID_ADDRESS:
            entry["address"] = "0x%x" % loaded
        listed.append(entry)
    return Answer(body={"modules": listed})


def program_sources(target):
    """Every compile unit's primary file, the executable's first, each once, MAX_SOURCES at most."""
    if not target.IsValid():
        return refused("error: no target\n")
    seen, listed = set(), []
    for index in range(target.GetNumModules()):
        module = target.GetModuleAtIndex(index)
        for unit in range(module.GetNumCompileUnits()):
            if len(listed) >= MAX_SOURCES:
                return Answer(body={"files": listed})
            path = path_of(module.GetCompileUnitAtIndex(unit).GetFileSpec())
            if path and path not in seen:
                seen.add(path)
                listed.append(path)
    return Answer(body={"files": listed})


def is_live(process):
    """Whether the process has a pid and has not exited or been detached."""
    if not process.IsValid() or process.GetProcessID() == lldb.LLDB_INVALID_PROCESS_ID:
        return False
    return process.GetState() not in (lldb.eStateExited, lldb.eStateDetached,
                                      lldb.eStateInvalid, lldb.eStateUnloaded)


def is_stopped(process):
    return process.GetState() in (lldb.eStateStopped, lldb.eStateSuspended)


def error_line(message, fallback):
    """LLDB's error text as the one line a result's error holds: its first line that starts with
    "error: ", else its first line that is not empty after "error: ", else the fallback."""
    whole = text(message)
    if whole is None:
        return fallback
    first = None
    for line in whole.split("\n"):
        if line.startswith("error: "):
            return line + "\n"
        if first is None and line:
            first = line
    return "error: %s\n" % first if first is not None else fallback


def state_name(state):
    return {
        lldb.eStateLaunching: "launching",
        lldb.eStateStopped: "stopped",
        lldb.eStateSuspended: "stopped",
        lldb.eStateRunning: "running",
        lldb.eStateStepping: "running",
        lldb.eStateExited: "exited",
        lldb.eStateCrashed: "crashed",
        lldb.eStateDetached: "detached",
    }.get(state)


def stop_reason_name(reason):
    return {
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
    }.get(reason, "unknown")


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
        source = path_of(entry.GetFileSpec())
        if source is not None:
            result["file"] = source
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
    record["reason"] = stop_reason_name(reason)
    if reason == lldb.eStopReasonSignal and thread.GetStopReasonDataCount() > 0:
        signal_name = text(process.GetUnixSignals().GetSignalAsCString(
            thread.GetStopReasonDataAtIndex(0)))
        if signal_name is not None:
            record["signal"] = signal_name
    if reason == lldb.eStopReasonBreakpoint and thread.GetStopReasonDataCount() > 0:
        record["breakpoint"] = thread.GetStopReasonDataAtIndex(0)
    if reason == lldb.eStopReasonWatchpoint and thread.GetStopReasonDataCount() > 0:
        record["watchpoint"] = thread.GetStopReasonDataAtIndex(0)
    record["thread"] = thread.GetIndexID()
    frame = frame_of(thread)
    if frame:
        record["frame"] = frame


def resumed(process, last_state):
    """Whether LLDB has resumed the process, told by what it shows before it publishes that."""
    state = process.GetState()
    if state in (lldb.eStateRunning, lldb.eStateStepping, lldb.eStateLaunching):
        return True
    # A launch leaves the process stopped only when asked to, and then LLDB publishes that stop
    # before the command returns; otherwise LLDB has resumed it, unannounced so far.
    if last_state == "launching":
        return state == lldb.eStateStopped
    # From a resume until its stop is published LLDB holds the process's run lock, and while it
    # does the process's threads read as invalid.
    return process.GetNumThreads() > 0 and not process.GetSelectedThread().IsValid()


# ---------------------------------------------------------------------------------------------
# The debuggee's output


class OutputReader:
    """Reads what the debuggee wrote, as bytes.

    The lldb module hands process output over as str, and raises on bytes that are not UTF-8
    (losing them). The raw bytes come from the same library entry point lldb-helper calls.
    """

    def __init__(self):
        self._buffer = ctypes.create_string_buffer(OUTPUT_CHUNK)
        try:
            library = ctypes.CDLL(lldb._lldb.__file__)
            self._raw_reads = {}
            for stream, symbol in (("stdout", "_ZNK4lldb9SBProcess9GetSTDOUTEPcm"),
                                   ("stderr", "_ZNK4lldb9SBProcess9GetSTDERREPcm")):
                function = getattr(library, symbol)
                function.restype = ctypes.c_size_t
                function.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_size_t]
                self._raw_reads[stream] = function
        except (OSError, AttributeError):
            self._raw_reads = None

    def read(self, process, stream):
        if self._raw_reads is not None:
            n = self._raw_reads[stream](ctypes.c_void_p(int(process.this)), self._buffer,
                                        OUTPUT_CHUNK)
            return self._buffer.raw[:n]
        read = process.GetSTDOUT if stream == "stdout" else process.GetSTDERR
        try:
            return read(OUTPUT_CHUNK).encode("utf-8", "surrogateescape")
        except SystemError:
            return b"\xff"  # the bytes are gone; leave a replacement character in their place


class ProgramTerminal:
    """The terminal a debuggee launched while LLDB's interpreter runs on a console writes to.

    Its output comes here rather than through LLDB, which would hand bytes that arrive late to
    its own console instead of the records; the back end reads it and gives every byte to both.
    """

    # Written after the debuggee's last bytes: once it is read back, all before it has arrived.
    # No output mode of a terminal changes these control characters.
    SETTLED = b"\x1e\x1f\x1c\x1d\x1e\x1f\x1c\x1d"
    # A terminal whose output the debuggee has suspended never gives the mark back.
    SETTLE_PATIENCE = 1.0
    # Written to the debuggee's input terminal, LLDB's: it comes back to LLDB after the echo of
    # every key typed to the debuggee before it. Should LLDB's own console take it first, it
    # shows nothing: it only resets the colours, twice.
    INPUT_MARK = b"\x1b[0m\x1b[0m"

    def __init__(self, size_from):
        self.master, self.slave = os.openpty()  # the slave held: a debuggee's end is no error
        self.path = os.ttyname(self.slave)
        os.set_blocking(self.master, False)
        os.set_blocking(self.slave, False)
        self.take_size(size_from)

    def take_size(self, source):
        try:
            fcntl.ioctl(self.master, termios.TIOCSWINSZ, fcntl.ioctl(source, termios.TIOCGWINSZ, b"\0" * 8))
        except OSError:
            pass

    def _take(self):
        taken = b""
        while True:
            try:
                chunk = os.read(self.master, OUTPUT_CHUNK)
            except InterruptedError:
                continue
            except OSError:
                return taken
            if not chunk:
                return taken
            taken += chunk

    def read(self, settled):
        """What the debuggee wrote and can be read now. settled: everything it wrote before the
        call, which the system may still be carrying to this end (for a debuggee stopped or gone)."""
        if not settled:
            return self._take()
        data, mark = b"", self.SETTLED
        while mark:
            try:
                mark = mark[os.write(self.slave, mark):]
            except BlockingIOError:
                data += self._take()  # room for the mark
            except InterruptedError:
                continue
            except OSError:
                break
        while not mark and self.SETTLED not in data:
            if not select.select([self.master], [], [], self.SETTLE_PATIENCE)[0]:
                break
            data += self._take()
        return data.replace(self.SETTLED, b"", 1)

    def mark_input(self, pid):
        """Writes INPUT_MARK to the debuggee's input terminal when that is one of LLDB's."""
        try:
            fd = os.open("/proc/%d/fd/0" % pid, os.O_WRONLY | os.O_NOCTTY | os.O_NONBLOCK | os.O_CLOEXEC)
        except OSError:
            return False
        try:
            if not os.isatty(fd) or os.fstat(fd).st_rdev == os.fstat(self.slave).st_rdev:
                return False
            return os.write(fd, self.INPUT_MARK) == len(self.INPUT_MARK)
        except OSError:
            return False
        finally:
            os.close(fd)


# ---------------------------------------------------------------------------------------------
# Process events


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

    def __init__(self, writer, output):
        self.writer = writer
        self.output = output
        self.pids = PidList()
        self.condition = threading.Condition()
        self.processes = {}
        self.marks = None
        self.debugger_listener = None
        self.console_fd = None
        self.program = None
        self.program_decoder = codecs.getincrementaldecoder("utf-8")("replace")
        self.marks_sent = 0
        self.marks_passed = 0

    def listen(self, listener, debugger_listener):
        """Before any event is read: the listener must also hear the reporter's own marks.
        LLDB's own listener is taken off every process, so that each event reaches it only once
        the records have what it carried."""
        self.marks = lldb.SBBroadcaster("lldb_server.marks")
        listener.StartListeningForEvents(self.marks, MARK)
        self.debugger_listener = debugger_listener

    def set_console(self, terminal_fd, program):
        """While LLDB's interpreter runs on a terminal: what the debuggee writes is copied there
        as it is read, and the events go on to LLDB's own listener. A debuggee launched
        meanwhile writes to the program's terminal, read here; LLDB's own terminal for it
        carries only the echo of what is typed to it."""
        with self.condition:
            self.console_fd = terminal_fd
            self.program = program

    def relay_program(self):
        """The program's terminal has something to read."""
        with self.condition:
            # What the debuggee writes may answer keys typed to it: their echo goes first, once
            # all of it has come back to LLDB.
            for tracked in self.processes.values():
                if not tracked.ended:
                    self.settle_echo(tracked)
                    self.drain(tracked)
            self.drain_program(False)

    def settle_echo(self, tracked):
        if self.program is None or not self.program.mark_input(tracked.pid):
            return
        echo = b""
        deadline = time.monotonic() + ECHO_PATIENCE
        while ProgramTerminal.INPUT_MARK not in echo and time.monotonic() < deadline:
            data = self.output.read(tracked.process, "stdout")
            if not data:
                time.sleep(0.0002)
            echo += data
        self.pass_on("stdout", tracked.decoders["stdout"], echo.replace(ProgramTerminal.INPUT_MARK, b"", 1))

    def pass_on(self, stream, decoder, data):
        if self.console_fd is not None:
            write_all(self.console_fd, data)
        decoded = decoder.decode(data, False)
        if decoded:
            self.writer.write(output_record(stream, decoded))

    def drain_program(self, settled):
        if self.program is None:
            return
        self.pass_on("stdout", self.program_decoder, self.program.read(settled))

    def console_running(self):
        with self.condition:
            return self.console_fd is not None

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
        process.GetBroadcaster().RemoveListener(self.debugger_listener)
        if tracked.launched_here:
            self.writer.write({"type": "process", "state": "launching", "pid": tracked.pid})
            tracked.last_state = "launching"
        return tracked

    def drain(self, tracked, settled=False):
        for stream in ("stdout", "stderr"):
            while True:
                data = self.output.read(tracked.process, stream)
                if not data:
                    break
                self.pass_on(stream, tracked.decoders[stream], data)
        self.drain_program(settled)

    def flush(self, tracked):
        decoders = list(tracked.decoders.items()) + [("stdout", self.program_decoder)]
        for stream, decoder in decoders:
            decoded = decoder.decode(b"", True)
            if decoded:
                self.writer.write(output_record(stream, decoded))

    def report(self, tracked, state):
        if tracked.ended:
            return
        name = state_name(state)
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
        # A stop or an end: the debuggee wrote its last bytes before it.
        self.drain(tracked, True)
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
        order = ("type", "state", "pid", "status", "reason", "signal", "breakpoint", "watchpoint",
                 "thread", "frame")
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
        if lldb.SBTarget.EventIsTargetEvent(event):
            # Modules load while a launch still holds the process's events: LLDB's own listener
            # comes off it before the debuggee writes anything.
            process = lldb.SBTarget.GetTargetFromEvent(event).GetProcess()
            if process.IsValid():
                process.GetBroadcaster().RemoveListener(self.debugger_listener)
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


# ---------------------------------------------------------------------------------------------
# Structured requests that act on LLDB: breakpoints, and reading and driving the debuggee


class Answer:
    """What a result record says of a request carried out or refused."""

    def __init__(self, ok=True, error="", body=None):
        self.ok = ok
        self.error = error
        self.body = body


def refused(error):
    return Answer(False, error)


NOT_RESOLVED = "not resolved yet"
NO_CODE = "no code at this line"


class WatchpointRequests:
    """The watchpoints that watchpoints requests set: each request replaces what the one before
    set in the same target; watchpoints made by command lines are never touched."""

    def __init__(self):
        self.target = lldb.SBTarget()
        self.made = []

    def set(self, target, request):
        if not target.IsValid():
            return refused("error: no target\n")
        if target == self.target:
            for number in self.made:
                target.DeleteWatchpoint(number)
        self.target, self.made = target, []
        placed = []
        for wanted in request["watchpoints"]:
            error = lldb.SBError()
            watchpoint = target.WatchAddress(wanted["address"], wanted["size"], wanted["read"],
                                             wanted["write"], error)
            if not watchpoint.IsValid() or error.Fail():
                message = error_line(error.GetCString(), "error: cannot watch that memory\n")
                placed.append({"verified": False, "message": message[7:-1]})
                continue
            if wanted["condition"]:
                watchpoint.SetCondition(wanted["condition"])
            watchpoint.SetIgnoreCount(wanted["ignore_count"])
            self.made.append(watchpoint.GetID())
            placed.append({"id": watchpoint.GetID(), "verified": True})
        return Answer(body={"watchpoints": placed})


class BreakpointRequests:
    """The breakpoints that breakpoints and functionBreakpoints requests set. Each request
    replaces what earlier ones of its kind (for breakpoints, for the same file) set in the same
    target; breakpoints made by command lines are never touched."""

    def __init__(self):
        # (owner, breakpoint): the owner is the file a breakpoints request named, None for a
        # functionBreakpoints request.
        self.made = []

    def set_lines(self, target, request):
        if not target.IsValid():
            return refused("error: no target\n")
        owner = request["file"]
        self._remove(target, owner)
        # A file the program's debug information knows has had all its code looked at already.
        known = target.FindCompileUnits(lldb.SBFileSpec(owner, False)).GetSize() > 0
        placed = []
        for wanted in request["lines"]:
            breakpoint = target.BreakpointCreateByLocation(owner, wanted["line"])
            self._keep(owner, breakpoint, wanted)
            placed.append(self._placed(breakpoint, wanted["line"], NO_CODE if known else NOT_RESOLVED))
        return Answer(body={"breakpoints": placed})

    def set_functions(self, target, request):
        if not target.IsValid():
            return refused("error: no target\n")
        self._remove(target, None)
        placed = []
        for wanted in request["functions"]:
            breakpoint = target.BreakpointCreateByName(wanted["name"])
            self._keep(None, breakpoint, wanted)
            placed.append(self._placed(breakpoint, None, NOT_RESOLVED))
        return Answer(body={"breakpoints": placed})

    def set_instructions(self, target, request):
        if not target.IsValid():
            return refused("error: no target\n")
        # A NUL, which no file's name holds, owns the instruction breakpoints.
        self._remove(target, "\0")
        placed = []
        for wanted in request["addresses"]:
            breakpoint = target.BreakpointCreateByAddress(wanted["address"])
            self._keep("\0", breakpoint, wanted)
            placed.append(self._placed(breakpoint, None, NOT_RESOLVED))
        return Answer(body={"breakpoints": placed})

    def _remove(self, target, owner):
        kept = []
        for made_owner, breakpoint in self.made:
            # One deleted by a command line is gone already.
            if not breakpoint.IsValid():
                continue
            if made_owner == owner and breakpoint.GetTarget() == target:
                target.BreakpointDelete(breakpoint.GetID())
                continue
            kept.append((made_owner, breakpoint))
        self.made = kept

    def _keep(self, owner, breakpoint, stopping):
        if not breakpoint.IsValid():
            return
        if stopping["condition"]:
            breakpoint.SetCondition(stopping["condition"])
        if stopping["ignore_count"]:
            breakpoint.SetIgnoreCount(stopping["ignore_count"])
        self.made.append((owner, breakpoint))

    @staticmethod
    def _placed(breakpoint, requested, unverified):
        entry = {}
        verified = breakpoint.IsValid() and breakpoint.GetNumLocations() > 0
        if breakpoint.IsValid():
            entry["id"] = breakpoint.GetID()
        entry["verified"] = verified
        line = None
        if verified:
            line_entry = breakpoint.GetLocationAtIndex(0).GetAddress().GetLineEntry()
            number = line_entry.GetLine() if line_entry.IsValid() else 0
            if number not in (0, 0xFFFFFFFF):
                line = number
        if line is None:
            line = requested
        if line is not None:
            entry["line"] = line
        if not verified:
            entry["message"] = unverified
        return entry


# LLDB's error code for an expression that has no value, such as a call of a void function.
NO_RESULT = 0x1001
LOCALS, ARGUMENTS, REGISTERS = "Locals", "Arguments", "Registers"


def shown(value):
    """The value as frame variable shows it after the type."""
    plain = text(value.GetValue())
    summary = text(value.GetSummary())
    if plain is not None and summary is not None:
        return plain + " " + summary
    if plain is not None:
        return plain
    if summary is not None:
        return summary
    return "{...}" if value.GetNumChildren() > 0 else ""


def is_array_like(value, children):
    """An array, or a value whose children are indexed as an array's are: a std::vector's
    synthetic children, [0], [1], ..."""
    if value.GetType().GetCanonicalType().IsArrayType():
        return True
    return children > 0 and (text(value.GetChildAtIndex(0).GetName()) or "").startswith("[")


def address_of(value):
    """What a pointer points to; where an array or a structure lies."""
    kind = value.GetType().GetCanonicalType()
    if kind.IsPointerType():
        return value.GetValueAsUnsigned()
    aggregates = (lldb.eTypeClassArray | lldb.eTypeClassStruct | lldb.eTypeClassClass
                  | lldb.eTypeClassUnion)
    if not kind.GetTypeClass() & aggregates:
        return None
    address = value.GetLoadAddress()
    return None if address == lldb.LLDB_INVALID_ADDRESS else address


def known_number(number):
    return None if number in (0, 0xFFFFFFFF) else number


class Examiner:
    """The requests that read and drive the debuggee of LLDB's selected target: threads,
    frames, scopes, variables, evaluate, setVariable and step.

    Scopes and values are named by handles, valid while the back end's view of the debuggee
    stays what it was when they were given: the same selected target, the same process, the
    same stop. Handle numbers are never reused, so a stale handle is refused rather than taken
    for a new one.
    """

    def __init__(self, debugger):
        self.debugger = debugger
        # A handle names a scope, (frame, scope name), or an SBValue.
        self.handles = {}
        self.last_handle = 0
        self.view = (lldb.SBTarget(), 0, 0)

    def thread_of(self, index):
        """The thread a request names; RequestError carries the error that answers it."""
        process = self.debugger.GetSelectedTarget().GetProcess()
        if not is_live(process):
            raise RequestError("error: no process\n")
        if not is_stopped(process):
            raise RequestError("error: the process is not stopped\n")
        if index is None:
            selected = process.GetSelectedThread()
            if not selected.IsValid():
                raise RequestError("error: no thread selected\n")
            return selected
        thread = process.GetThreadByIndexID(index) if index <= UINT32_MAX else lldb.SBThread()
        if not thread.IsValid():
            raise RequestError("error: no thread %d\n" % index)
        return thread

    def frame_of(self, place):
        thread = self.thread_of(place["thread"])
        index = place["frame"]
        if index is None:
            index = thread.GetSelectedFrame().GetFrameID()
        frame = thread.GetFrameAtIndex(index) if index <= UINT32_MAX else lldb.SBFrame()
        if not frame.IsValid():
            raise RequestError("error: no frame %d\n" % index)
        return frame

    def refresh(self):
        """Drops every handle when the view has changed or the process is not stopped."""
        target = self.debugger.GetSelectedTarget()
        process = target.GetProcess()
        view = (target, 0, 0)
        running = False
        if is_live(process):
            view = (target, process.GetUniqueID(), process.GetStopID())
            running = not is_stopped(process)
        if running or not (view[0] == self.view[0] and view[1:] == self.view[1:]):
            self.handles.clear()
        self.view = view

    def hold(self, held):
        self.last_handle += 1
        self.handles[self.last_handle] = held
        return self.last_handle

    @staticmethod
    def contents(held, start=0, count=None):
        """What the handle holds, from index start on, count of them at most. Only the page's
        children are made: each of an array's costs LLDB a value of its own."""
        if isinstance(held, tuple):
            frame, scope = held
            if scope == REGISTERS:
                values = frame.GetRegisters()
            else:
                values = frame.GetVariables(scope == ARGUMENTS, scope == LOCALS, False, True)
            total, child = values.GetSize(), values.GetValueAtIndex
        else:
            total, child = held.GetNumChildren(), held.GetChildAtIndex
        end = total if count is None else min(total, start + count)
        return [child(index) for index in range(start, end)]

    def describe_value(self, value, entry, hexadecimal=False):
        """A value's value, type, handle and, for an array-like one, elements fields, added to
        the entry; integers in hexadecimal when asked."""
        value.SetFormat(lldb.eFormatHex if hexadecimal else lldb.eFormatDefault)
        entry["value"] = shown(value)
        type_name = text(value.GetDisplayTypeName())
        if type_name is not None:
            entry["type"] = type_name
        children = value.GetNumChildren()
        entry["handle"] = self.hold(value) if children > 0 else 0
        if is_array_like(value, children):
            entry["elements"] = children
        address = address_of(value)
        if address is not None:
            entry["address"] = "0x%016x" % address
        return entry

    def threads(self, request):
        listed = []
        process = self.debugger.GetSelectedTarget().GetProcess()
        for index in range(process.GetNumThreads() if is_live(process) else 0):
            thread = process.GetThreadAtIndex(index)
            # While the process runs LLDB calls its threads invalid, yet still knows their numbers.
            number = thread.GetIndexID()
            if number == lldb.LLDB_INVALID_INDEX32:
                continue
            listed.append({"id": number, "name": text(thread.GetName()) or "thread #%d" % number})
        return Answer(body={"threads": listed})

    def frames(self, request):
        thread = self.thread_of(request["thread"])
        total = thread.GetNumFrames()
        start, count = request["start"], request["count"]
        listed = []
        for index in range(start, total):
            if count is not None and index - start >= count:
                break
            frame = thread.GetFrameAtIndex(index)
            entry = {"index": index, "function": text(frame.GetFunctionName()) or "??"}
            line_entry = frame.GetLineEntry()
            if line_entry.IsValid():
                source = path_of(line_entry.GetFileSpec())
                if source is not None:
                    entry["file"] = source
                line = known_number(line_entry.GetLine())
                if line is not None:
                    entry["line"] = line
                column = known_number(line_entry.GetColumn())
                if column is not None:
                    entry["column"] = column
            entry["address"] = "0x%016x" % frame.GetPC()
            listed.append(entry)
        return Answer(body={"frames": listed, "total": total})

    def scopes(self, request):
        self.refresh()
        frame = self.frame_of(request)
        return Answer(body={"scopes": [{"name": scope, "handle": self.hold((frame, scope))}
                                       for scope in (LOCALS, ARGUMENTS, REGISTERS)]})

    def held(self, handle):
        self.refresh()
        if handle not in self.handles:
            raise RequestError("error: no such handle %d\n" % handle)
        return self.handles[handle]

    def variables(self, request):
        listed = []
        for value in self.contents(self.held(request["handle"]), request["start"], request["count"]):
            listed.append(self.describe_value(value, {"name": text(value.GetName()) or ""},
                                              request["hex"]))
        return Answer(body={"variables": listed})

    def evaluate(self, request):
        self.refresh()
        target = self.debugger.GetSelectedTarget()
        if is_live(target.GetProcess()) or request["thread"] is not None or request["frame"] is not None:
            frame = self.frame_of(request)
            value = frame.EvaluateExpression(request["expression"])
            # What the expression parser cannot read may still be a path through the frame's
            # variables, as frame variable reads one: numbers[1] of a std::vector.
            if not value.IsValid() or value.GetError().Fail():
                path = frame.GetValueForVariablePath(request["expression"])
                if path.IsValid() and path.GetError().Success():
                    value = path
        else:
            if not target.IsValid():
                return refused("error: no target\n")
            value = target.EvaluateExpression(request["expression"])
        error = value.GetError()
        if value.IsValid() and error.Success():
            return Answer(body=self.describe_value(value, {}, request["hex"]))
        if error.GetError() == NO_RESULT and error.GetType() == lldb.eErrorTypeGeneric:
            return Answer(body={"value": "", "handle": 0})
        return refused(error_line(error.GetCString(), "error: cannot evaluate the expression\n"))

    def set_variable(self, request):
        handle, name = request["handle"], request["name"]
        for child in self.contents(self.held(handle)):
            if (text(child.GetName()) or "") != name:
                continue
            error = lldb.SBError()
            if not child.SetValueFromCString(request["value"], error):
                return refused(error_line(error.GetCString(),
                                          "error: cannot set %s\n" % json_quoted(name)))
            return Answer(body={"value": shown(child)})
        return refused("error: handle %d has no child %s\n" % (handle, json_quoted(name)))

    def set_expression(self, request):
        self.refresh()
        frame = self.frame_of(request)
        # A path through the frame's variables runs no code; any other lvalue is reached through
        # its address, since an expression's result is a copy that writes nothing back.
        target = frame.GetValueForVariablePath(request["expression"])
        if not target.IsValid() or target.GetError().Fail():
            address = frame.EvaluateExpression("&(" + request["expression"] + ")")
            if not address.IsValid() or address.GetError().Fail():
                return refused(error_line(address.GetError().GetCString(),
                                          "error: cannot assign to the expression\n"))
            target = address.Dereference()
        error = lldb.SBError()
        if not target.SetValueFromCString(request["value"], error):
            return refused(error_line(error.GetCString(),
                                      "error: cannot assign to the expression\n"))
        return Answer(body=self.describe_value(target, {}, request["hex"]))

    def locate(self, request):
        """Where a value lies: the child of a handle by name, or the expression name in a
        frame."""
        name = request["name"]
        if request["handle"] is not None:
            handle = request["handle"]
            value = next((child for child in self.contents(self.held(handle))
                          if (text(child.GetName()) or "") == name), None)
            if value is None:
                return refused("error: handle %d has no child %s\n" % (handle, json_quoted(name)))
        else:
            self.refresh()
            frame = self.frame_of(request)
            value = frame.GetValueForVariablePath(name)
            if not value.IsValid() or value.GetError().Fail():
                value = frame.EvaluateExpression("&(" + name + ")").Dereference()
        address, size = value.GetLoadAddress(), value.GetByteSize()
        if address == lldb.LLDB_INVALID_ADDRESS or size == 0:
            return refused("error: %s is not in memory\n" % json_quoted(name))
        return Answer(body={"address": address, "size": size})

    def step(self, request):
        """Resumes the debuggee; the caller reports its running before the result."""
        thread = self.thread_of(request["thread"])
        process = thread.GetProcess()
        process.SetSelectedThread(thread)
        error = lldb.SBError()
        kind = request["kind"]
        if kind == "over":
            thread.StepOver(lldb.eOnlyDuringStepping, error)
        elif kind == "into":
            thread.StepInto(None, lldb.LLDB_INVALID_LINE_NUMBER, error, lldb.eOnlyDuringStepping)
        elif kind == "out":
            thread.StepOut(error)
        elif kind in ("overInstruction", "intoInstruction"):
            thread.StepInstruction(kind == "overInstruction", error)
        else:
            error = process.Continue()
        if error.Fail():
            return refused(error_line(error.GetCString(), "error: cannot resume the process\n"))
        return Answer()


def stopped_process(target):
    """The live, stopped process whose memory a request reads or writes."""
    process = target.GetProcess()
    if not is_live(process):
        raise RequestError("error: no process\n")
    if not is_stopped(process):
        raise RequestError("error: the process is not stopped\n")
    return process


def read_memory(target, request):
    process = stopped_process(target)
    error = lldb.SBError()
    data = process.ReadMemory(request["address"], request["count"], error) if request["count"] else b""
    if request["count"] and not data:
        return refused(error_line(error.GetCString(), "error: cannot read the memory\n"))
    return Answer(body={"data": data.hex()})


def write_memory(target, request):
    process = stopped_process(target)
    error = lldb.SBError()
    data = request["bytes"]
    written = process.WriteMemory(request["address"], data, error) if data else 0
    if written != len(data):
        return refused(error_line(error.GetCString(), "error: cannot write the memory\n"))
    return Answer(body={"written": written})


def described_instruction(target, instruction):
    address = instruction.GetAddress()
    data = instruction.GetData(target)
    error = lldb.SBError()
    raw = data.ReadRawData(error, 0, data.GetByteSize()) if data.GetByteSize() else b""
    mnemonic = text(instruction.GetMnemonic(target)) or ""
    operands = text(instruction.GetOperands(target))
    entry = {"address": address.GetLoadAddress(target), "bytes": (raw or b"").hex(),
             "text": mnemonic + " " + operands if operands is not None else mnemonic}
    symbol = text(address.GetSymbol().GetName())
    if symbol is not None:
        entry["symbol"] = symbol
    line = address.GetLineEntry()
    source = path_of(line.GetFileSpec()) if line.IsValid() else None
    if source is not None and known_number(line.GetLine()) is not None:
        entry["file"] = source
        entry["line"] = line.GetLine()
    return entry


def disassemble(target, request):
    if not target.IsValid():
        return refused("error: no target\n")
    listed = []
    end = request["end"]
    if request["count"] and (end is None or request["address"] < end):
        instructions = target.ReadInstructions(target.ResolveLoadAddress(request["address"]),
                                               request["count"])
        for index in range(instructions.GetSize()):
            instruction = instructions.GetInstructionAtIndex(index)
            if not instruction.IsValid():
                break
            if end is not None and instruction.GetAddress().GetLoadAddress(target) >= end:
                break
            listed.append(described_instruction(target, instruction))
    return Answer(body={"instructions": listed})


MEMORY_REQUESTS = {"readMemory": read_memory, "writeMemory": write_memory, "disassemble": disassemble}


# ---------------------------------------------------------------------------------------------
# The worker's session: command lines in, LLDB started and stopped, signals taken


class Session:
    """Reads command lines, runs them (or answers requests), and ends the session on end of
    input, SIGTERM, quit or the loss of the supervisor."""

    def __init__(self, command_fd, event_fd):
        self.command_fd = command_fd
        self.wake_read, self.wake_write = os.pipe2(os.O_CLOEXEC | os.O_NONBLOCK)
        self.writer = EventWriter(event_fd, self.wake_write)
        self.reporter = Reporter(self.writer, OutputReader())
        self.seq = 0
        self.shutdown_requested = threading.Event()
        self.in_command = threading.Event()
        self.deadline_armed = threading.Lock()
        self.debugger = None
        self.interpreter = None
        self.breakpoints = BreakpointRequests()
        self.watchpoints = WatchpointRequests()
        self.examiner = None
        self.records = None
        self.console_fd = None
        self.program_terminal = None

    def start_debugger(self, set_debug_server):
        init = lldb.SBDebugger.InitializeWithErrorHandling()
        if init.Fail():
            self.writer.write(error_record("cannot initialise LLDB: "
                                           + (from_lldb(init.GetCString()) or "")))
            return False
        debugger = lldb.SBDebugger.Create(False)
        if not debugger.IsValid():
            self.writer.write(error_record("cannot create an LLDB debugger"))
            return False
        debugger.SetAsync(True)
        # Commands that would read from a terminal (a bare "script", say) see end of input
        # rather than waiting forever on a pipe nobody writes to.
        try:
            null_fd = os.open("/dev/null", os.O_RDONLY | os.O_CLOEXEC)
            debugger.SetInputFile(lldb.SBFile(null_fd, "r", True))
        except OSError:
            pass
        self.debugger = debugger
        self.interpreter = debugger.GetCommandInterpreter()
        self.examiner = Examiner(debugger)
        setup = ["settings set auto-confirm true", "settings set use-color false"]
        if set_debug_server:
            setup.append("settings set target.unset-env-vars " + DEBUG_SERVER_VARIABLE)
        for command in setup:
            result = lldb.SBCommandReturnObject()
            self.interpreter.HandleCommand(command, result, False)
            if not result.Succeeded():
                self.writer.write(error_record("setting up LLDB failed: %s: %s"
                                               % (command, from_lldb(result.GetError()) or "")))
        return True

    def event_loop(self):
        while True:
            event = lldb.SBEvent()
            if not self.records.WaitForEvent(WAIT_FOREVER, event):
                continue
            try:
                self.reporter.on_event(event)
            except Exception as fault:  # keep reporting whatever one event did
                self.writer.write(error_record("event handling failed: %s" % fault))
            # LLDB's interpreter describes stops from these, once the records have what they carry.
            # Not what the debuggee's LLDB terminal gave back (the echo of keys typed to it): the
            # reporter has shown that already, in order with the debuggee's output, and LLDB would
            # take what came since and show it whenever its thread next runs.
            stdio = lldb.SBProcess.eBroadcastBitSTDOUT | lldb.SBProcess.eBroadcastBitSTDERR
            if (lldb.SBProcess.EventIsProcessEvent(event) and not event.GetType() & stdio
                    and self.reporter.console_running()):
                self.debugger.GetListener().AddEvent(event)

    def interrupt_debuggees(self):
        # LLDB ignores the request for a process that is not running, so no state check is
        # needed (and one would race with a resume LLDB has not reported yet).
        for index in range(self.debugger.GetNumTargets()):
            process = self.debugger.GetTargetAtIndex(index).GetProcess()
            if process.IsValid():
                process.SendAsyncInterrupt()

    def arm_deadline(self):
        if not self.deadline_armed.acquire(blocking=False):
            return
        pids = self.reporter.pids

        def expire():
            # LLDB has not managed it: kill the debuggees it knows of (an attached one is not
            # below us), and everything below us (debug servers, debuggees not yet reported).
            for pid in pids.snapshot() + descendants_of(os.getpid()):
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass
            os._exit(0)

        timer = threading.Timer(SHUTDOWN_DEADLINE, expire)
        timer.daemon = True
        timer.start()

    def request_shutdown(self):
        self.shutdown_requested.set()
        self.arm_deadline()
        try:
            os.write(self.wake_write, b"\x01")
        except OSError:
            pass

    def signal_loop(self):
        watched = {signal.SIGINT, signal.SIGTERM}
        while True:
            signo = signal.sigwaitinfo(watched).si_signo
            if signo == signal.SIGINT and self.reporter.console_running():
                # As a Ctrl-C at LLDB's own console: the prompt's line is dropped, or the
                # running debuggee is interrupted.
                self.debugger.DispatchInputInterrupt()
            elif signo == signal.SIGINT:
                self.interrupt_debuggees()
            elif signo == signal.SIGTERM:
                self.request_shutdown()
                # A command that waits on the debuggee (an attach that waits for its process,
                # say) would hold up the shutdown; interrupting cuts it short.
                if self.in_command.is_set():
                    self.interrupt_debuggees()

    def run_line(self, raw):
        """Runs one command line; False when the session should end (quit)."""
        self.seq += 1
        seq = self.seq
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
            self.writer.write(error_record("command line %d %s" % (seq, refusal)))
            self.writer.write(result_record(seq, False, "", "error: command line %s\n" % refusal))
            return True
        # Requests never reach LLDB's interpreter, so they stay out of its history and an empty
        # line still repeats the last command.
        if is_request(line):
            self.answer(seq, line)
            return True
        result = lldb.SBCommandReturnObject()
        self.in_command.set()
        self.interpreter.HandleCommand(line, result, True)
        self.in_command.clear()
        quit = result.GetStatus() == lldb.eReturnStatusQuit
        output = from_lldb(result.GetOutput()) or ""
        error = from_lldb(result.GetError()) or ""
        # Records derived from the command's effect go out before its result, so a host that
        # has the result has also seen the debuggee the command started.
        self.reporter.after_command(self.debugger)
        self.writer.write(result_record(seq, result.Succeeded() or quit, output, error))
        return not quit

    def answer(self, seq, line):
        matches = None
        try:
            name, request = parse_request(line)
            if name == "complete":
                matches = self.complete(request)
                answer = Answer()
            else:
                answer = self.carry_out(name, request)
        except RequestError as refusal:
            answer = refused(str(refusal))
        self.writer.write(result_record(seq, answer.ok, "", answer.error, matches, answer.body))

    def carry_out(self, name, request):
        target = self.debugger.GetSelectedTarget()
        if name == "input":
            return self.input(request)
        if name == "breakpoints":
            return self.breakpoints.set_lines(target, request)
        if name == "functionBreakpoints":
            return self.breakpoints.set_functions(target, request)
        if name == "instructionBreakpoints":
            return self.breakpoints.set_instructions(target, request)
        if name in MEMORY_REQUESTS:
            return MEMORY_REQUESTS[name](target, request)
        if name == "watchpoints":
            return self.watchpoints.set(target, request)
        if name == "launch":
            return self.launch(target, request)
        if name == "console":
            return self.console(request)
        if name == "consoleSize":
            return self.console_size()
        if name == "step":
            stepped = self.examiner.step(request)
            # As for a command: a debuggee left running reports that before the result.
            if stepped.ok:
                self.reporter.after_command(self.debugger)
            return stepped
        if name in ("modules", "sources"):
            target = self.debugger.GetSelectedTarget()
            return program_modules(target) if name == "modules" else program_sources(target)
        handlers = {
            "threads": self.examiner.threads,
            "frames": self.examiner.frames,
            "scopes": self.examiner.scopes,
            "variables": self.examiner.variables,
            "evaluate": self.examiner.evaluate,
            "setVariable": self.examiner.set_variable,
            "setExpression": self.examiner.set_expression,
            "locate": self.examiner.locate,
        }
        return handlers[name](request)

    def console(self, request):
        if self.console_fd is not None:
            return refused("error: a console is already running\n")
        path = request["terminal"]
        problem = terminal_problem(path)
        if problem:
            return refused(problem)
        try:
            fd = os.open(path.encode("utf-8", "surrogateescape"),
                         os.O_RDWR | os.O_NOCTTY | os.O_CLOEXEC)
        except OSError as failure:
            return refused("error: cannot open %s: %s\n" % (path, os.strerror(failure.errno)))
        try:
            self.program_terminal = ProgramTerminal(fd)
        except OSError as failure:
            os.close(fd)
            return refused("error: cannot make the program's terminal: %s\n" % os.strerror(failure.errno))
        self.console_fd = fd
        # LLDB's own console on a terminal: colours, and its questions asked there. Its progress
        # line stays off: the debuggee's output reaches the terminal past LLDB, which would not
        # clear that line first.
        for command in ("settings set auto-confirm false", "settings set use-color true",
                        "settings set show-progress false"):
            self.interpreter.HandleCommand(command, lldb.SBCommandReturnObject(), False)
        self.direct_output_to_program_terminal()
        if request["init_file"]:
            # What it prints goes to the terminal; LLDB shows none of its results either.
            self.debugger.SkipLLDBInitFiles(False)
            self.interpreter.SourceInitFileInHomeDirectory(lldb.SBCommandReturnObject())
        self.debugger.SetInputFile(lldb.SBFile(os.dup(fd), "r", True))
        self.debugger.SetOutputFile(lldb.SBFile(os.dup(fd), "w", True))
        self.debugger.SetErrorFile(lldb.SBFile(os.dup(fd), "w", True))
        self.console_size()
        self.reporter.set_console(fd, self.program_terminal)
        threading.Thread(target=self.relay_loop, daemon=True).start()

        def interpret():
            self.debugger.RunCommandInterpreter(True, False, lldb.SBCommandInterpreterRunOptions(),
                                                0, False, False)
            self.writer.write(console_ended_record())
            self.request_shutdown()

        threading.Thread(target=interpret, daemon=True).start()
        return Answer()

    def console_size(self):
        if self.console_fd is None:
            return refused("error: no console\n")
        try:
            size = fcntl.ioctl(self.console_fd, termios.TIOCGWINSZ, b"\0" * 8)
            columns = struct.unpack("HHHH", size)[1]
        except OSError:
            columns = 0
        if columns > 0:
            self.debugger.SetTerminalWidth(columns)
        self.program_terminal.take_size(self.console_fd)
        return Answer()

    def direct_output_to_program_terminal(self):
        """Launches write to the program's terminal, for every target and those made later; LLDB
        keeps a terminal of its own for the debuggee's input only, and reads keys for it while
        it runs. An init file read afterwards may send the output elsewhere."""
        def run(command):
            self.interpreter.HandleCommand(command, lldb.SBCommandReturnObject(), False)
        path = json.dumps(self.program_terminal.path)
        selected = self.debugger.GetSelectedTarget()
        for index in range(self.debugger.GetNumTargets()):
            self.debugger.SetSelectedTarget(self.debugger.GetTargetAtIndex(index))
            run("settings set target.output-path " + path)
            run("settings set target.error-path " + path)
        if selected.IsValid():
            self.debugger.SetSelectedTarget(selected)
        run("settings set -g target.output-path " + path)
        run("settings set -g target.error-path " + path)

    def relay_loop(self):
        while True:
            select.select([self.program_terminal.master], [], [])
            self.reporter.relay_program()

    def launch(self, target, request):
        if not target.IsValid():
            return refused("error: no target\n")
        # Given to LLDB as data: no command line, so nothing rewrites them (backticks, quotes,
        # empty arguments, newlines). Kept as the target's, for a later process launch.
        info = target.GetLaunchInfo()
        info.SetArguments(request["arguments"], False)
        target.SetLaunchInfo(info)
        if not request["start"]:
            return Answer()
        # As process launch does: a debuggee the target still has gives way to the new one.
        previous = target.GetProcess()
        if previous.IsValid() and previous.GetState() not in (lldb.eStateExited, lldb.eStateDetached):
            previous.Kill()
        if request["cwd"] is not None:
            info.SetWorkingDirectory(request["cwd"])
        if request["stop_at_entry"]:
            info.SetLaunchFlags(info.GetLaunchFlags() | lldb.eLaunchFlagStopAtEntry)
        if request["terminal"] is not None:
            problem = terminal_problem(request["terminal"])
            if problem:
                return refused(problem)
            # The program's own standard streams, in place of a terminal of LLDB's.
            info.AddOpenFileAction(0, request["terminal"], True, False)
            info.AddOpenFileAction(1, request["terminal"], False, True)
            info.AddOpenFileAction(2, request["terminal"], False, True)
        error = lldb.SBError()
        self.in_command.set()
        target.Launch(info, error)
        self.in_command.clear()
        if error.Fail():
            return refused(error_line(error.GetCString(), "error: cannot launch the program\n"))
        # As for a command: the launch is reported before the result.
        self.reporter.after_command(self.debugger)
        return Answer()

    def input(self, request):
        process = self.debugger.GetSelectedTarget().GetProcess()
        if not self.reporter.launched_and_live(process):
            return refused("error: no debuggee to write to\n")
        # Bytes, not str: for a str the lldb module passes its length in characters. LLDB writes
        # every byte to the terminal itself, looping on partial writes, and returns 0 whatever
        # it wrote: the count gives nothing to loop on here.
        if request["data"]:
            process.PutSTDIN(request["data"].encode("utf-8"))
        return Answer()

    def complete(self, request):
        line, cursor = request["line"], request["cursor"]
        found = lldb.SBStringList()
        self.interpreter.HandleCompletion(line, len(line[:cursor].encode("utf-8")), 0, -1, found)
        # Entry 0 is what every match adds to the word at the cursor; the matches follow it.
        return [from_lldb(found.GetStringAtIndex(index)) or "" for index in range(1, found.GetSize())]

    def command_loop(self):
        pending = b""
        poller = select.poll()
        poller.register(self.command_fd, select.POLLIN)
        poller.register(self.wake_read, select.POLLIN)
        while True:
            if self.shutdown_requested.is_set() or self.writer.broken():
                return
            ready = dict(poller.poll())
            if ready.get(self.wake_read, 0) & select.POLLIN:
                try:
                    while os.read(self.wake_read, 4096):
                        pass
                except BlockingIOError:
                    pass
                continue
            if not ready.get(self.command_fd, 0):
                continue
            try:
                data = os.read(self.command_fd, 65536)
            except BlockingIOError:
                continue
            except OSError as fault:
                self.writer.write(error_record("reading commands failed: %s" % fault.strerror))
                return
            if not data:
                # A last line without its newline is still a command.
                if pending:
                    self.run_line(pending)
                return
            pending += data
            while b"\n" in pending:
                line, pending = pending.split(b"\n", 1)
                if not self.run_line(line):
                    return
                if self.shutdown_requested.is_set():
                    return

    def shut_down(self):
        self.arm_deadline()
        for index in range(self.debugger.GetNumTargets()):
            process = self.debugger.GetTargetAtIndex(index).GetProcess()
            if not process.IsValid():
                continue
            if process.GetState() not in (lldb.eStateExited, lldb.eStateDetached,
                                          lldb.eStateInvalid, lldb.eStateUnloaded):
                process.Kill()
        self.reporter.settle(self.debugger, SETTLE_PATIENCE)
        # LLDB writes its console's history as it lets the console go.
        if self.console_fd is not None:
            lldb.SBDebugger.Destroy(self.debugger)
        self.writer.seal()
        # Tearing LLDB down can block on its own threads; nothing is left worth the wait.
        os._exit(0)

    def run(self, set_debug_server):
        if not self.start_debugger(set_debug_server):
            return 1
        # The records hear every process and every target; LLDB's own listener hears a process
        # only through them.
        self.records = lldb.SBListener("lldb_server.records")
        self.records.StartListeningForEventClass(self.debugger, lldb.SBProcess.GetBroadcasterClassName(),
                                                 0xFFFFFFFF)
        self.records.StartListeningForEventClass(self.debugger, lldb.SBTarget.GetBroadcasterClassName(),
                                                 lldb.SBTarget.eBroadcastBitModulesLoaded)
        self.reporter.listen(self.records, self.debugger.GetListener())
        threading.Thread(target=self.event_loop, daemon=True).start()
        threading.Thread(target=self.signal_loop, daemon=True).start()
        version = (lldb.SBDebugger.GetVersionString() or "").split("\n", 1)[0]
        self.writer.write(ready_record(from_lldb(version)))
        try:
            self.command_loop()
        except Exception as fault:
            self.writer.write(error_record("command handling failed: %s" % fault))
        self.shut_down()


# ---------------------------------------------------------------------------------------------
# The supervisor


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
    global lldb  # imported here, for every part of the worker
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
    # LLDB's module compiled at build time (python_cache.py): read from there, not compiled anew.
    # Nothing compiled is written, as LLDB's own Python never does: not into LLDB's installation
    # (which a back end run by root could write to), nor into the bundle.
    cache = os.path.join(os.path.dirname(os.path.abspath(__file__)), PYTHON_CACHE_DIRECTORY)
    if sys.pycache_prefix is None and os.path.isdir(cache):
        sys.pycache_prefix = cache
    sys.dont_write_bytecode = True
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
    return Session(command_fd, event_fd).run(set_debug_server)


if __name__ == "__main__":
    sys.exit(main(sys.argv))
