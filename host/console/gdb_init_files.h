#pragma once
// The init files GDB itself reads at start, found and judged by GDB's own rules: the user's,
// then the one in the current directory where GDB's auto-load safe-path trusts it.

#include <optional>
#include <string>

namespace local_debugger::console {

// The first of GDB's places for the user's init file.
std::optional<std::string> gdbHomeInitFile();

// ./.gdbinit by its absolute path, when there is one and it is not the user's init file too.
std::optional<std::string> gdbLocalInitFile();

// GDB's settings, as it shows them, that decide whether the local init file is read.
struct GdbAutoLoad {
    std::string localGdbinit; // on or off
    std::string safePath;     // $debugdir and $datadir not yet replaced
    std::string debugFileDirectory;
    std::string dataDirectory;
};

// Whether GDB reads file: a pattern of the safe path matches it, or a directory it is in, by
// the path given or by its real path.
bool gdbReadsLocalInitFile(const std::string &file, const GdbAutoLoad &settings);

// What GDB says when it does not, with its advice.
std::string gdbDeclinedText(const std::string &file, const std::string &safePath);

} // namespace local_debugger::console
