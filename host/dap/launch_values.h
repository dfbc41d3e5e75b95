#pragma once
// The values of a launch request that become the debuggee's: its program, arguments and
// working directory, and those no debugger can carry as they stand.

#include <optional>
#include <string>
#include <vector>

#include "host/dap/dap_channel.h"

namespace local_debugger::dap {

// The program's arguments as given; one that is not a string, as its JSON text.
inline std::vector<std::string> programArguments(const Json &arguments)
{
    std::vector<std::string> words;
    const auto found = arguments.find("args");
    if (found == arguments.end() || !found->is_array())
        return words;
    for (const auto &argument : *found)
        words.push_back(argument.is_string() ? argument.get<std::string>() : argument.dump());
    return words;
}

// Why the launch cannot be carried out as asked, or nullopt. A NUL ends a C string: no path or
// argument holds one. LLDB reads its program's path from a command line, which a newline ends.
inline std::optional<std::string> refusedLaunchValue(const Json &arguments, bool pathOnCommandLine = false)
{
    const auto text = [&](const char *field) {
        const auto found = arguments.find(field);
        return found != arguments.end() && found->is_string() ? found->get<std::string>() : std::string();
    };
    const std::string nul(1, '\0');
    if (text("program").find(nul) != std::string::npos)
        return "the program's path holds a NUL character";
    if (pathOnCommandLine && text("program").find('\n') != std::string::npos)
        return "LLDB cannot load a program whose path holds a newline";
    if (text("cwd").find(nul) != std::string::npos)
        return "the working directory (cwd) holds a NUL character";
    for (const auto &word : programArguments(arguments)) {
        if (word.find(nul) != std::string::npos)
            return "a program argument holds a NUL character";
    }
    return std::nullopt;
}

} // namespace local_debugger::dap
