#pragma once
// GDB's machine interface as one debugger's protocol: commands go out as lines that carry a
// token, answers come back carrying it, and every line GDB writes reads as a record or as the
// debuggee's own text. Words from outside reach GDB only quoted, so that none ends a line.

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "host/mi_record.h"
#include "host/session/debuggee_stop.h"

namespace local_debugger {

class GdbSession {
public:
    // A token no command of this session has carried yet, from 1.
    uint64_t nextToken() { return next_++; }

    // The line that runs an MI command; its answer carries token. Nullopt when the command holds
    // a newline, which would end it early and run the rest as a command of its own.
    static std::optional<std::string> command(uint64_t token, std::string_view command);
    // The line that runs a command of GDB's own command line, as its console would.
    static std::string console(uint64_t token, std::string_view line);
    // A word as one MI C string, whatever bytes it holds but NUL.
    static std::string quoted(std::string_view word);

    // One line GDB wrote (without its newline); nullopt when it is not a record.
    static std::optional<MiRecord> read(std::string_view line) { return parseMiRecord(line); }
    // Whether a record is the answer to a command, and to which (its token).
    static std::optional<uint64_t> answerTo(const MiRecord &record)
    {
        return record.kind == MiRecord::Kind::Result ? record.token : std::nullopt;
    }
    // A *stopped record that is not the debuggee's end, as a stop.
    static DebuggeeStop stop(const MiRecord &stopped);
    // How a *stopped record tells the debuggee's end: its exit code, or nullopt when it is a stop.
    static std::optional<int64_t> exitCode(const MiRecord &stopped);

    // Whether a line, from its start, is an answer: for counting answers without reading them.
    static bool answers(std::string_view lineStart);

private:
    std::atomic<uint64_t> next_ = 1;
};

} // namespace local_debugger
