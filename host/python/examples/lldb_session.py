#!/usr/bin/python3
"""An LLDB session through the local-debugger service: break at compute in a program, run it,
print a variable at the stop, then let it run to its end.

The LLDB back end reads one LLDB command a line and writes one JSON record a line: exactly one
"result" record for each line sent, with the line's number as its "seq" (counting from 1), and
"process" and "output" records as the program starts, stops, writes and ends."""

import json
import os

from example_service import USAGE, await_end, fail, open_service, parse_arguments

TIMEOUT = 60
__doc__ += "\n" + USAGE % {"name": "lldb_session.py"}


class Lldb:
    """Sends LLDB command lines and reads the back end's records, numbering the lines as the
    back end does so that each result is the one for its own line. The records that come while
    a result is awaited (the program's, which may come before or after it) are kept, in order,
    for the next wait."""

    def __init__(self, service):
        self.service = service
        self.sent = 0
        self.unread = []

    def read(self):
        line = self.service.read_line(TIMEOUT)
        if not line:
            raise TimeoutError("the LLDB back end went quiet")
        return json.loads(line)

    def records(self, until):
        """The records up to and including the first for which until(record) holds."""
        records = []
        while not records or not until(records[-1]):
            records.append(self.unread.pop(0) if self.unread else self.read())
        return records

    def run(self, command):
        """Sends one command line (no newline inside: it would be two lines) and returns its
        result record."""
        if "\n" in command:
            raise ValueError("one LLDB command a line")
        self.service.send_bytes(command.encode() + b"\n")
        self.sent += 1
        while True:
            record = self.read()
            if record["type"] == "result" and record["seq"] == self.sent:
                return record
            self.unread.append(record)

    def wait_for(self, state):
        """The records up to the program's next process record in this state."""
        return self.records(lambda record: record["type"] == "process" and record["state"] == state)


def main():
    args = parse_arguments(__doc__.splitlines()[0])
    if "\n" in args.program:
        fail("LLDB cannot load a program whose path holds a newline")
    with open_service(args) as service:
        if not service.launch_lldb():
            fail("the service refused to launch LLDB (run with --log to see why)")
        lldb = Lldb(service)
        ready = lldb.records(lambda record: record["type"] in ("ready", "error"))[-1]
        if ready["type"] == "error":
            fail("LLDB did not start: %s" % ready["message"])

        quoted = '"%s"' % args.program.replace("\\", "\\\\").replace('"', '\\"')
        for command in ("target create " + quoted, "breakpoint set -n compute"):
            result = lldb.run(command)
            if not result["ok"]:
                fail("%s: %s" % (command, result["error"].rstrip()))
        lldb.run("process launch")
        frame = lldb.wait_for("stopped")[-1]["frame"]
        print("stopped: %s at %s:%s" % (frame["function"], os.path.basename(frame["file"]), frame["line"]))
        print("variable:", lldb.run("frame variable x")["output"].rstrip())
        lldb.run("breakpoint delete 1")
        lldb.run("continue")
        # What the program writes arrives in output records, in pieces as it was read from its
        # terminal (lines end in \r\n there); its end as an exited record.
        records = lldb.wait_for("exited")
        for line in "".join(record["data"] for record in records if record["type"] == "output").splitlines():
            print("program:", line)
        print("end: exited with status", records[-1]["status"])
        lldb.run("quit")
        await_end(service, TIMEOUT)
    print("LLDB quit, and the service with it.")


if __name__ == "__main__":
    main()
