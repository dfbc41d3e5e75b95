#pragma once
// Words for a debugger's command line, quoted so that it reads them back as they stand.

#include <optional>
#include <string>
#include <string_view>

namespace local_debugger {

// A GDB/MI C string: GDB reads back every byte but NUL. Control characters are escaped, so that
// the word stays on its line whatever it holds.
inline std::string doubleQuoted(std::string_view text)
{
    static const char digits[] = "01234567";
    std::string quoted = "\"";
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (c == '\n') {
            quoted += "\\n";
        } else if (byte < 0x20 || byte == 0x7f) {
            quoted += {'\\', digits[byte >> 6], digits[(byte >> 3) & 7], digits[byte & 7]};
        } else {
            quoted += c;
        }
    }
    return quoted + '"';
}

// A double-quoted word on LLDB's command line, which takes only \" and \\ as escapes inside
// double quotes: a newline (which would end the line) or a NUL has no form there.
inline std::optional<std::string> lldbQuoted(std::string_view text)
{
    if (text.find_first_of(std::string_view("\n\0", 2)) != std::string_view::npos)
        return std::nullopt;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\')
            quoted += '\\';
        quoted += c;
    }
    return quoted + '"';
}

// A word for a POSIX shell, newlines included: a program's arguments reach it through the shell
// GDB starts the program with, and GDB's own file-name parsing reads single quotes the same way.
inline std::string shellQuoted(std::string_view word)
{
    std::string quoted = "'";
    for (char c : word)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// The CLI command that gives GDB the program's arguments, for -interpreter-exec console (MI's
// -exec-arguments takes the rest of its line raw, so a newline there would end the command);
// nullopt when one holds a NUL, which no argument can carry.
template <typename Words> std::optional<std::string> gdbSetArgs(const Words &arguments)
{
    std::string command = "set args";
    for (const auto &argument : arguments) {
        if (std::string_view(argument).find('\0') != std::string_view::npos)
            return std::nullopt;
        command.append(" ").append(shellQuoted(argument));
    }
    return command;
}

// The CLI command that loads a program (-file-exec-and-symbols is that command with the rest of
// its line raw). GDB reads the name as a shell would a word, skips words starting with - as
// options and expands a leading ~: "./" before such a relative path keeps it as it stands.
inline std::string gdbFile(std::string_view path)
{
    const bool reread = path.starts_with('~') || path.starts_with('-');
    return "file " + shellQuoted((reread ? "./" : "") + std::string(path));
}

// The CLI command that sets the program's working directory. GDB drops leading blanks and
// expands a leading ~: "./" before such a relative path names the same directory as it stands.
inline std::optional<std::string> gdbSetCwd(std::string_view directory)
{
    if (directory.find('\0') != std::string_view::npos)
        return std::nullopt;
    const bool reread = !directory.empty() && (directory[0] == '~' || directory[0] == ' ' || directory[0] == '\t');
    return "set cwd " + std::string(reread ? "./" : "") + std::string(directory);
}

} // namespace local_debugger
