#pragma once
// Words for a debugger's command line, quoted so that it reads them back as they stand.

#include <string>
#include <string_view>

namespace local_debugger {

// A double-quoted word with backslash escapes: GDB/MI's C strings, and the command lines of
// GDB and LLDB. A newline is written as \n, so that the word stays on its line.
inline std::string doubleQuoted(std::string_view text)
{
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            quoted += '\\';
        if (c == '\n')
            quoted += "\\n";
        else
            quoted += c;
    }
    return quoted + '"';
}

// A word for a shell: a program's arguments reach it through GDB's shell.
inline std::string shellQuoted(std::string_view word)
{
    std::string quoted = "'";
    for (char c : word)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

} // namespace local_debugger
