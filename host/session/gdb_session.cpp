#include "host/session/gdb_session.h"

#include "host/command_quoting.h"
#include "host/session/signal_exit.h"

namespace local_debugger {

std::optional<std::string> GdbSession::command(uint64_t token, std::string_view command)
{
    if (command.find('\n') != std::string_view::npos)
        return std::nullopt;
    return std::to_string(token) + std::string(command) + "\n";
}

std::string GdbSession::console(uint64_t token, std::string_view line)
{
    return std::to_string(token) + "-interpreter-exec console " + doubleQuoted(line) + "\n";
}

std::string GdbSession::quoted(std::string_view word)
{
    return doubleQuoted(word);
}

// With --start, GDB stops at the entry point on a breakpoint of its own; an interrupt shows as
// SIGINT, or as a stop without a reason when the debuggee was between stops.
DebuggeeStop GdbSession::stop(const MiRecord &stopped)
{
    const std::string reason(stopped.text("reason").value_or(""));
    DebuggeeStop stop;
    stop.thread = miNumber(stopped.text("thread-id"));
    stop.allThreads = stopped.text("stopped-threads").value_or("") == "all";
    if (reason == "breakpoint-hit") {
        stop.cause = DebuggeeStop::Cause::Breakpoint;
        stop.breakpoint = miNumber(stopped.text("bkptno"));
        stop.mayBeEntry = true;
    } else if (reason == "signal-received") {
        stop.cause = DebuggeeStop::Cause::Signal;
        stop.signal = stopped.text("signal-name").value_or("");
        stop.description = stop.signal + ": " + std::string(stopped.text("signal-meaning").value_or(""));
        stop.mayBePause = stop.signal == "SIGINT";
    } else if (reason == "watchpoint-trigger" || reason == "read-watchpoint-trigger" ||
               reason == "access-watchpoint-trigger") {
        stop.cause = DebuggeeStop::Cause::Watchpoint;
        for (const char *kind : {"wpt.number", "hw-rwpt.number", "hw-awpt.number"})
            stop.breakpoint = stop.breakpoint != 0 ? stop.breakpoint : miNumber(stopped.text(kind));
    } else {
        stop.mayBePause = reason.empty();
    }
    return stop;
}

std::optional<int64_t> GdbSession::exitCode(const MiRecord &stopped)
{
    const std::string reason(stopped.text("reason").value_or(""));
    if (reason == "exited")
        return miNumber(stopped.text("exit-code"), 8); // GDB writes it in octal
    if (reason == "exited-signalled")
        return signalExitCode(stopped.text("signal-name").value_or(""));
    if (reason == "exited-normally")
        return 0;
    return std::nullopt;
}

bool GdbSession::answers(std::string_view lineStart)
{
    size_t at = 0;
    while (at < lineStart.size() && lineStart[at] >= '0' && lineStart[at] <= '9')
        ++at;
    return at < lineStart.size() && lineStart[at] == '^';
}

} // namespace local_debugger
