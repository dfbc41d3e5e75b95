#include "host/session/lldb_session.h"

#include "host/command_quoting.h"
#include "host/session/signal_exit.h"

namespace local_debugger {

std::optional<LldbSession::Line> LldbSession::line(std::string_view text)
{
    if (text.find('\n') != std::string_view::npos)
        return std::nullopt;
    return Line{++last_, std::string(text) + "\n"};
}

std::optional<std::string> LldbSession::quoted(std::string_view word)
{
    return lldbQuoted(word);
}

LldbSession::Line LldbSession::request(const nlohmann::json &request)
{
    // JSON text escapes every newline in its strings: the dump is one line.
    return *line(request.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

// A launch that stops at the entry point stops with SIGSTOP, and so does an interrupt; a stop
// without a reason of its own after such a launch is its stop at the entry point too.
DebuggeeStop LldbRecord::stop() const
{
    const std::string reason = text("reason");
    DebuggeeStop stop;
    stop.thread = fields.value("thread", 1);
    stop.signal = text("signal");
    stop.description = stop.signal.empty() ? reason : stop.signal;
    if (reason == "breakpoint") {
        stop.cause = DebuggeeStop::Cause::Breakpoint;
        stop.breakpoint = fields.value("breakpoint", int64_t{0});
    } else if (reason == "signal") {
        stop.cause = DebuggeeStop::Cause::Signal;
        stop.mayBeEntry = stop.mayBePause = true;
    } else if (reason == "exception") {
        stop.cause = DebuggeeStop::Cause::Exception;
    } else if (reason == "watchpoint") {
        stop.cause = DebuggeeStop::Cause::Watchpoint;
        stop.breakpoint = fields.value("watchpoint", int64_t{0});
    } else {
        stop.mayBeEntry = true;
    }
    return stop;
}

// LLDB tells a debuggee that a signal ended as one that exited with the signal's number. A stop
// for a signal that LLDB passes on comes first, so that status after such a stop is its death.
// LLDB keeps the signals of its own stops (an interrupt, a step, the entry) from the debuggee.
int64_t LldbSession::exitCode(const LldbRecord &exited, std::string_view lastStopSignal)
{
    const int64_t status = exited.fields.value("status", int64_t{0});
    const bool kept = lastStopSignal == "SIGSTOP" || lastStopSignal == "SIGTRAP" || lastStopSignal == "SIGINT";
    const std::optional<int> number = signalNumber(lastStopSignal);
    return !kept && number && *number == status ? signalExitCode(lastStopSignal) : status;
}

std::optional<LldbRecord> LldbSession::read(std::string_view line)
{
    nlohmann::json fields = nlohmann::json::parse(line, nullptr, false);
    if (!fields.is_object())
        return std::nullopt;
    // A back end that writes a record of another shape gets Other, not an exception.
    const auto found = fields.find("type");
    const std::string type = found != fields.end() && found->is_string() ? found->get<std::string>() : "";
    const LldbRecord::Kind kind = type == "result"    ? LldbRecord::Kind::Result
                                  : type == "process" ? LldbRecord::Kind::Process
                                  : type == "output"  ? LldbRecord::Kind::Output
                                  : type == "error"   ? LldbRecord::Kind::Error
                                                      : LldbRecord::Kind::Other;
    return LldbRecord{kind, std::move(fields)};
}

} // namespace local_debugger
