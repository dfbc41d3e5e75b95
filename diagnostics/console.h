#pragma once
// Console lines: always written, to the service's standard error as it was at start.

#include <string>
#include <string_view>

#include "diagnostics/child_line.h"

// Keeps a close-on-exec copy of standard error; main calls it first.
void initConsole();

// The saved standard error (close-on-exec), shared with the stderr form of the diagnostic log.
int consoleDescriptor();

// Writes text whole to the saved standard error (a failed write drops the rest).
void writeToConsole(std::string_view text);

// "YYYY-MM-DD HH:MM:SS.mmm local-debugger[PID:TID] message"
void consoleLine(std::string_view message);

// The same line for a forked child, whose pid is both its PID and TID.
ChildLine prepareChildConsoleLine(std::string_view message);
