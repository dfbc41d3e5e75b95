#pragma once
// GDB console commands that read more lines than their own: a block's body up to "end", or an
// interactive interpreter's input. Through MI those lines are the next commands the adapter
// sends, so GDB would take them, and the session would wait for answers that never come.

#include <string_view>

namespace local_debugger::dap {

// True when GDB, given this console line, would read the lines after it.
bool startsGdbBlock(std::string_view line);

} // namespace local_debugger::dap
