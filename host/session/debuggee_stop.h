#pragma once
// A stop of the debuggee as either debugger tells it, in one form. Whether a stop may be the one
// a launch at the entry point makes, or the one an interrupt makes, depends on the debugger: its
// session says so, and whoever asked for such a stop decides.

#include <cstdint>
#include <string>

namespace local_debugger {

struct DebuggeeStop {
    enum class Cause { Breakpoint, Signal, Exception, Watchpoint, Other };
    Cause cause = Cause::Other;
    int64_t breakpoint = 0;  // a Breakpoint's number
    std::string signal;      // a Signal's or an Exception's signal name, when it has one
    std::string description; // a Signal's or an Exception's, as the debugger puts it
    std::string typeName;    // a C++ exception's type, when known
    int64_t thread = 0;
    bool allThreads = true;
    bool mayBeEntry = false; // may be the stop at the entry point a launch asked for
    bool mayBePause = false; // may be the stop an interrupt makes
};

} // namespace local_debugger
