#pragma once
// Console lines: always written, to the service's standard error as it was at start.

#include <ctime>
#include <string>
#include <string_view>
#include <vector>

#include "diagnostics/child_line.h"

// Keeps a close-on-exec copy of standard error; main calls it first.
void initConsole();

// The saved standard error (close-on-exec), shared with the stderr form of the diagnostic log.
int consoleDescriptor();

// Writes text whole to the saved standard error (a failed write drops the rest).
void writeToConsole(std::string_view text);

// "YYYY-MM-DD HH:MM:SS.mmm local-debugger[PID:TID] message"
void consoleLine(std::string_view message);

// While a hold lives, what its thread writes to the console is kept, each line with the time it
// was written, and written in order when the hold is released or ends: a reply waiting on the
// thread does not also wait for the formatting and the writes.
class ConsoleHold {
public:
    ConsoleHold();
    ~ConsoleHold();
    ConsoleHold(const ConsoleHold &) = delete;
    ConsoleHold &operator=(const ConsoleHold &) = delete;

    void release();

private:
    struct Entry {
        timespec at{};     // a console line's time; the text is its message
        bool line = false; // false: text written as it stands
        std::string text;
    };
    friend void writeToConsole(std::string_view);
    friend void consoleLine(std::string_view);
    std::vector<Entry> entries_;
    ConsoleHold *outer_ = nullptr;
};

// The same line for a forked child, whose pid is both its PID and TID.
ChildLine prepareChildConsoleLine(std::string_view message);
