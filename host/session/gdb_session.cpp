#include "host/session/gdb_session.h"

#include "host/command_quoting.h"

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

std::string GdbSession::quoted(std::string_view word) { return doubleQuoted(word); }

bool GdbSession::answers(std::string_view lineStart)
{
    size_t at = 0;
    while (at < lineStart.size() && lineStart[at] >= '0' && lineStart[at] <= '9')
        ++at;
    return at < lineStart.size() && lineStart[at] == '^';
}

} // namespace local_debugger
