#pragma once
// What both consoles share of libedit: bounded lines, a bounded history file, whole writes.

#include <cstddef>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace local_debugger::console {

// The system's libedit corrupts its heap on a line of some 5 KB (sooner once its history holds
// one over 4 KB): a line stops growing well before, and no long line is kept or read back.
constexpr int lineLimit = 4000;
constexpr size_t historyLineLimit = 2048;

void writeAll(int fd, std::string_view bytes);
// $XDG_STATE_HOME/local-debugger/history-DEBUGGER, its directory made; none without a home.
std::optional<std::string> historyPath(const char *debugger);
// libedit's key reader: past lineLimit a key that would add to the line rings the bell.
int readKey(FILE *in);
void readHistory(const std::string &path);
// The line ends the debugger: quit or an abbreviation of it, exit, -gdb-exit.
bool quitsDebugger(std::string_view line);

} // namespace local_debugger::console
