"""Host side of the local-debugger service, for hosts written in Python.

Start the service (or connect to its socket), hand it an environment, launch a debugger, send
it bytes, read what it writes, interrupt it, stop it:

    from local_debugger_host import ServiceClient

    with ServiceClient.start() as service:
        service.set_environment({"HOME": "/tmp"})
        if not service.launch_gdb():
            raise SystemExit("launch refused")
        service.send_bytes(b"-file-exec-and-symbols /path/to/program\\n")
        print(service.read_line(timeout=10))
        service.stop()

Needs only the standard library and msgpack (Debian: python3-msgpack).
"""

import os
import queue
import socket
import subprocess
import sys
import threading
import time

import msgpack

__all__ = [
    "ServiceClient",
    "ServiceError",
    "CLOSED",
    "FAILED",
    "BAD_INPUT",
    "MAX_MESSAGE_SIZE",
    "default_service_path",
    "default_socket_path",
    "environment_payload",
]

# The service ends a connection that sends it a message encoded in more than this.
MAX_MESSAGE_SIZE = 64 * 1024 * 1024

# The bytes of one send_bytes() go out in messages of at most this many bytes; the back end
# reads one stream, so how they are cut does not matter to it.
SEND_CHUNK = 1024 * 1024

_REQUEST, _REPLY, _PLAIN = 0, 1, 2
_METHOD = "message"

# What a connection end was: the peer closed it, a socket error, or bytes that do not decode.
CLOSED, FAILED, BAD_INPUT = "closed", "failed", "bad_input"


class ServiceError(Exception):
    """The service could not be found, started or reached."""


def _installed_prefix():
    # Installed as <prefix>/lib/python3/dist-packages/local_debugger_host.py.
    here = os.path.dirname(os.path.abspath(__file__))
    return os.path.normpath(os.path.join(here, "..", "..", ".."))


def default_service_path():
    """The service installed with this module, or, in the source tree (host/python/), the one
    built in build/bundle/; None when there is neither."""
    here = os.path.dirname(os.path.abspath(__file__))
    for candidate in (os.path.join(_installed_prefix(), "libexec", "local-debugger", "local-debugger"),
                      os.path.join(here, "..", "..", "build", "bundle", "local-debugger")):
        if os.access(candidate, os.X_OK) and os.path.isfile(candidate):
            return os.path.normpath(candidate)
    return None


def default_socket_path():
    """Where the user's socket unit listens: $XDG_RUNTIME_DIR/local-debugger.sock."""
    runtime = os.environ.get("XDG_RUNTIME_DIR") or "/run/user/%d" % os.getuid()
    return os.path.join(runtime, "local-debugger.sock")


def _default_toolchain_root(service_path):
    # The LLDB toolchain layout lies beside the service: installed under share/, built beside bundle/.
    bundle = os.path.dirname(os.path.abspath(service_path))
    for candidate in (
        os.path.join(bundle, "..", "..", "share", "local-debugger", "toolchains", "lldb"),
        os.path.join(bundle, "..", "toolchains", "lldb"),
    ):
        if os.access(os.path.join(candidate, "usr", "bin", "xcode-select"), os.X_OK):
            return os.path.normpath(candidate)
    return None


def _as_bytes(text):
    return text if isinstance(text, bytes) else os.fsencode(text)


def environment_payload(environment):
    """The set_env payload: each NAME=VALUE entry ended by a NUL, then one more NUL.

    environment is a mapping of names to values or a sequence of "NAME=VALUE" entries (str or
    bytes); order is kept, and for a name given twice the first entry is the one that counts.
    """
    if hasattr(environment, "items"):
        entries = [_as_bytes(name) + b"=" + _as_bytes(value) for name, value in environment.items()]
    else:
        entries = [_as_bytes(entry) for entry in environment]
    for entry in entries:
        if b"\0" in entry:
            raise ValueError("an environment entry cannot hold a NUL byte: %r" % entry)
        if not entry:
            raise ValueError("an empty environment entry would end the payload early")
    return b"".join(entry + b"\0" for entry in entries) + b"\0"


class ServiceClient:
    """One connection to a one-shot service: one debugging run.

    Data messages (everything the debugger writes) are buffered in arrival order and read with
    receive() or read_line(), unless on_message is given, which then gets every message that is
    not a reply, as a dict, on the reader thread. on_closed is called once, on the reader
    thread, when the connection has ended.
    """

    def __init__(self, sock, process=None, on_message=None, on_closed=None):
        """Wraps a connected AF_UNIX stream socket; start() and connect() are the usual ways in."""
        self._sock = sock
        self._process = process
        self._on_message = on_message
        self._on_closed = on_closed
        self._send_lock = threading.Lock()
        self._state = threading.Condition()
        self._next_msgid = 1
        self._replies = {}
        self._buffer = bytearray()
        self._end = None
        self._reader = threading.Thread(target=self._read_loop, name="local-debugger-reader", daemon=True)
        self._reader.start()

    # Getting a connection.

    @classmethod
    def start(cls, executable=None, environment=None, stderr=None, log_to_stderr=False,
              toolchain_root=None, on_message=None, on_closed=None):
        """Starts the service with a connected socket on its descriptor 3.

        executable: the service; by default the one installed with this module.
        environment: the service's own environment (a mapping); by default this process's.
            It is not what the debugger gets: that is set_environment()'s.
        stderr: where the service's console lines (and, with log_to_stderr, its diagnostic
            entries) go; None: this process's standard error; a file object, descriptor or
            subprocess.DEVNULL otherwise.
        toolchain_root: the system root for LLDB toolchain discovery; by default the LLDB
            toolchain layout installed beside the service, when there is one.
        """
        if executable is None:
            executable = default_service_path()
            if executable is None:
                raise ServiceError("no local-debugger service is installed beside %s; pass its path"
                                   % os.path.abspath(__file__))
        executable = os.path.abspath(executable)
        if not (os.path.isfile(executable) and os.access(executable, os.X_OK)):
            raise ServiceError("the service %s is not an executable file" % executable)

        env = dict(os.environ if environment is None else environment)
        for name in ("LISTEN_FDS", "LISTEN_PID", "LISTEN_FDNAMES"):
            env.pop(name, None)
        if log_to_stderr:
            env["TORVEX_DEBUGGER_LOG"] = "stderr"
        if toolchain_root is None and "TORVEX_DEBUGGER_ROOT" not in env:
            toolchain_root = _default_toolchain_root(executable)
        if toolchain_root is not None:
            env["TORVEX_DEBUGGER_ROOT"] = os.path.abspath(toolchain_root)

        ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_STREAM)
        # LISTEN_PID must be the service's own pid, known only in the child: a shell that moves
        # the socket from its standard input to descriptor 3 and then becomes the service.
        trampoline = 'exec 3<&0 </dev/null; LISTEN_FDS=1 LISTEN_PID=$$; export LISTEN_FDS LISTEN_PID; exec "$0"'
        group = {"process_group": 0} if sys.version_info >= (3, 11) else {"start_new_session": True}
        try:
            process = subprocess.Popen(["/bin/sh", "-c", trampoline, executable], stdin=theirs,
                                       stdout=subprocess.DEVNULL, stderr=stderr, env=env,
                                       close_fds=True, **group)
        except OSError as error:
            ours.close()
            raise ServiceError("cannot start %s: %s" % (executable, error)) from error
        finally:
            theirs.close()
        return cls(ours, process, on_message, on_closed)

    @classmethod
    def connect(cls, path=None, on_message=None, on_closed=None):
        """Connects to a listening socket: the user's socket unit by default, whose every
        connection gets a fresh service."""
        path = default_socket_path() if path is None else path
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            sock.connect(path)
        except OSError as error:
            sock.close()
            raise ServiceError("cannot connect to %s: %s" % (path, error)) from error
        return cls(sock, None, on_message, on_closed)

    # Sending.

    def send(self, message):
        """Sends a message dictionary, awaiting no reply. False once the connection has gone."""
        return self._write([_PLAIN, _METHOD, [message]])

    def send_command(self, command, **fields):
        return self.send(dict(command=command, **fields))

    def request(self, message, timeout):
        """Sends a message dictionary as a request; its reply's dictionary, or None when the
        timeout (seconds) passed or the connection ended first."""
        with self._state:
            msgid = self._next_msgid
            self._next_msgid = (self._next_msgid + 1) & 0xFFFFFFFF
            self._replies[msgid] = None
        try:
            if not self._write([_REQUEST, msgid, _METHOD, [message]]):
                return None
            deadline = time.monotonic() + timeout
            with self._state:
                while self._replies[msgid] is None and self._end is None:
                    remaining = deadline - time.monotonic()
                    if remaining <= 0:
                        break
                    self._state.wait(remaining)
                return self._replies[msgid]
        finally:
            with self._state:
                self._replies.pop(msgid, None)

    def request_result(self, command, timeout, **fields):
        """A request for a command that replies; its "result" (True or False), or None."""
        reply = self.request(dict(command=command, **fields), timeout)
        if reply is None:
            return None
        result = reply.get("result")
        return result if isinstance(result, bool) else None

    # The commands.

    def log(self):
        """Switches the service's diagnostic log on (syslog, or its standard error)."""
        return self.send_command("log")

    def set_environment(self, environment):
        """The debugger's whole environment: nothing else of anyone's reaches it."""
        return self.send_command("set_env", data=environment_payload(environment))

    def launch_gdb(self, arch=None, timeout=30):
        """GDB in machine-interface mode; arch "aarch64" picks the aarch64 GDB."""
        fields = {} if arch is None else {"arch": arch}
        return self.request_result("launch_gdb", timeout, **fields)

    def launch_lldb(self, timeout=60):
        """An LLDB back end (one LLDB command a line in, JSON records out)."""
        return self.request_result("launch_lldb", timeout)

    def send_bytes(self, data):
        """Bytes for the debugger, in order and unchanged."""
        data = _as_bytes(data)
        for start in range(0, len(data), SEND_CHUNK):
            if not self.send_command("send", data=data[start:start + SEND_CHUNK]):
                return False
        return True

    def interrupt(self):
        """The break command: SIGINT to the debugger."""
        return self.send_command("break")

    def stop(self, timeout=10):
        """Stops the debugger and ends the service. True when a debugger had been launched;
        None when no reply came (the service may have ended before it could send one)."""
        return self.request_result("stop", timeout)

    # Receiving.

    def receive(self, timeout=None):
        """Everything the debugger wrote that has not been read yet, waiting up to timeout
        seconds (None: for ever) for some. b"" when nothing came in time or the connection has
        ended and nothing is left."""
        with self._state:
            self._state.wait_for(lambda: self._buffer or self._end is not None, timeout)
            data = bytes(self._buffer)
            self._buffer.clear()
            return data

    def read_line(self, timeout=None):
        """The next line the debugger wrote, with its "\\n"; None when no whole line came in
        time. After the end, the last bytes without a "\\n" come as a line of their own, then b""."""
        with self._state:
            self._state.wait_for(lambda: b"\n" in self._buffer or self._end is not None, timeout)
            index = self._buffer.find(b"\n")
            if index < 0:
                if self._end is None:
                    return None
                index = len(self._buffer) - 1
            line = bytes(self._buffer[:index + 1])
            del self._buffer[:index + 1]
            return line

    def read_until(self, text, timeout):
        """Returns a list of lines (bytes, each with its newline): those up to and including the
        first that contains text (str or bytes). Raises TimeoutError, holding what came, when
        it does not arrive in time."""
        text = _as_bytes(text)
        deadline = time.monotonic() + timeout
        lines = []
        while True:
            line = self.read_line(max(0.0, deadline - time.monotonic()))
            if line:
                lines.append(line)
                if text in line:
                    return lines
                continue
            ended = line == b""
            raise TimeoutError("%r did not arrive%s; received: %r"
                               % (text, " before the service ended" if ended else " in time", b"".join(lines)))

    # The end of the run.

    @property
    def closed(self):
        with self._state:
            return self._end is not None

    @property
    def end(self):
        """None while connected; then "closed", "failed" or "bad_input"."""
        with self._state:
            return self._end

    def wait_closed(self, timeout=None):
        """True once the connection has ended (the service is ending or gone)."""
        with self._state:
            return self._state.wait_for(lambda: self._end is not None, timeout)

    @property
    def pid(self):
        """The started service's pid; None for a connection to a socket."""
        return self._process.pid if self._process is not None else None

    def wait_for_exit(self, timeout=None):
        """The started service's exit status (negative: killed by that signal), or None when it
        has not exited in time or was not started by this client."""
        if self._process is None:
            return None
        try:
            return self._process.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def disconnect(self):
        """Closes our end; the service sees a connection error, kills its debugger and ends."""
        try:
            self._sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass

    def close(self):
        """Disconnects and, for a started service, makes sure it has ended and is reaped."""
        self.disconnect()
        self._reader.join()
        self._sock.close()
        if self._process is not None and self.wait_for_exit(2) is None:
            self._process.kill()
            self._process.wait()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    # Internals.

    def _write(self, value):
        encoded = msgpack.packb(value, use_bin_type=True)
        if len(encoded) > MAX_MESSAGE_SIZE:
            raise ValueError("a message of %d bytes is over the service's limit of %d"
                             % (len(encoded), MAX_MESSAGE_SIZE))
        with self._send_lock:
            try:
                self._sock.sendall(encoded)
                return True
            except OSError:
                return False

    def _read_loop(self):
        unpacker = msgpack.Unpacker(raw=False, unicode_errors="surrogateescape",
                                    max_buffer_size=MAX_MESSAGE_SIZE + SEND_CHUNK)
        end = CLOSED
        try:
            while True:
                try:
                    chunk = self._sock.recv(64 * 1024)
                except InterruptedError:
                    continue
                if not chunk:
                    break
                unpacker.feed(chunk)
                for value in unpacker:
                    self._handle(value)
        except OSError:
            end = FAILED
        except (ValueError, msgpack.UnpackException):
            # Undecodable bytes, or a value over the limit.
            end = BAD_INPUT
        try:
            self._sock.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        with self._state:
            self._end = end
            self._state.notify_all()
        if self._on_closed is not None:
            self._on_closed()

    def _handle(self, value):
        if not isinstance(value, (list, tuple)):
            return
        if len(value) == 4 and type(value[0]) is int and value[0] == _REPLY and type(value[1]) is int and isinstance(value[3], dict):
            with self._state:
                if value[1] in self._replies:
                    self._replies[value[1]] = value[3]
                    self._state.notify_all()
        elif (len(value) == 3 and type(value[0]) is int and value[0] == _PLAIN and isinstance(value[2], (list, tuple))
              and len(value[2]) == 1 and isinstance(value[2][0], dict)):
            message = value[2][0]
            if self._on_message is not None:
                self._on_message(message)
                return
            data = message.get("data")
            if isinstance(data, bytes):
                with self._state:
                    self._buffer += data
                    self._state.notify_all()
