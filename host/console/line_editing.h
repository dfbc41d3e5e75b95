#pragma once
// What both consoles share of libedit: bounded lines, a bounded history file, whole writes.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/write_all.h"

#include <sys/types.h>
#include <termios.h>

namespace local_debugger::console {

// Once a line passes some 1020 bytes, the system's libedit moves it to a larger buffer but goes
// on writing the line's end to the old one, freed by then: a line stops growing before, and no
// longer line is kept or read back.
constexpr int lineLimit = 1000;
constexpr size_t historyLineLimit = 800;

// Text on standard output; above the line being edited when editing (it is drawn again below).
void show(std::string_view text, bool editing);
// $XDG_STATE_HOME/local-debugger/history-DEBUGGER, its directory made; none without a home.
std::optional<std::string> historyPath(const char *debugger);
// Keys from the terminal, without blocking: a key poll saw may be gone by the read (a Ctrl-C
// flushes the terminal's input). -1 with EAGAIN when there is none.
ssize_t readKeys(char *buffer, size_t size);
// libedit's key reader: past lineLimit a key that would add to the line rings the bell.
int readKey(FILE *in);
void readHistory(const std::string &path);
// libedit set up for a console: its keys through readKey, no signal handling of its own, Tab
// answered by complete (the debugger's completions of the line up to the cursor), the history
// read back. Returns the history file's path.
using Completer = std::vector<std::string> (*)(const std::string &lineToCursor);
std::optional<std::string> startLineEditing(const char *debugger, Completer complete);
void saveHistory(const std::optional<std::string> &path);
// What a console puts back as it ends: the terminal's modes (none without a terminal) and the
// history file.
void endConsole(const termios *savedModes, const std::optional<std::string> &history);

// The debugger's completions for request id, once the reading thread has put them in answers
// (under lock, then notifying changed); none after 5 s or once closed holds.
struct CompletionAnswers {
    std::mutex &lock;
    std::condition_variable &changed;
    std::map<uint64_t, std::vector<std::string>> &answers;
    const bool &closed;

    std::vector<std::string> await(uint64_t id);
};
// The line ends the debugger: quit or an abbreviation of it, exit, -gdb-exit.
bool quitsDebugger(std::string_view line);

} // namespace local_debugger::console
