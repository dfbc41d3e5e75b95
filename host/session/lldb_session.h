#pragma once
// An LLDB back end's protocol: it numbers every line it reads from 1 and answers each with one
// result record carrying that number, so the session numbers lines as it frames them. A text
// that would be two lines (a newline inside) is refused here, since it would take two numbers
// and shift every later answer onto the wrong line.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "host/session/debuggee_stop.h"

namespace local_debugger {

struct LldbRecord {
    enum class Kind { Result, Process, Output, Error, Other };
    Kind kind = Kind::Other;
    nlohmann::json fields; // the whole record

    // A result's line number (0 for other records) and outcome.
    uint64_t seq() const { return kind == Kind::Result ? fields.value("seq", uint64_t{0}) : 0; }
    bool ok() const { return fields.value("ok", false); }
    std::string text(const char *field) const { return fields.value(field, ""); }
    // A process record's stop ("state":"stopped").
    DebuggeeStop stop() const;
};

class LldbSession {
public:
    struct Line {
        uint64_t seq;      // the number its answer will carry
        std::string bytes; // the line as sent, newline included
    };

    // Numbers are taken in the order lines are sent: callers frame and send under one lock.
    // Nullopt when text holds a newline.
    std::optional<Line> line(std::string_view text);
    // A word for an LLDB command line, double-quoted; nullopt when it holds a newline or a NUL,
    // which no word there can.
    static std::optional<std::string> quoted(std::string_view word);
    // A request to the back end itself, always one line.
    Line request(const nlohmann::json &request);

    // One line the back end wrote (without its newline); nullopt when it is not a record.
    static std::optional<LldbRecord> read(std::string_view line);
    // The exit code of an exited record, the debuggee's last stop having been for
    // lastStopSignal ("" for none): 128 + the number of a signal that ended it.
    static int64_t exitCode(const LldbRecord &exited, std::string_view lastStopSignal);
    // Whether a line, from its start, is an answer: for counting answers without reading them.
    static bool answers(std::string_view lineStart) { return lineStart.starts_with("{\"type\":\"result\""); }

private:
    uint64_t last_ = 0;
};

} // namespace local_debugger
