#pragma once
// How a debuggee's stop by a signal reads to an editor, whichever debugger told it.

#include <string>
#include <string_view>

#include "host/dap/dap_channel.h"

namespace local_debugger::dap {

// Signals that mean the program has faulted: shown as an exception, not as a signal it takes.
inline bool faultSignal(std::string_view signal)
{
    return signal == "SIGSEGV" || signal == "SIGBUS" || signal == "SIGFPE" || signal == "SIGILL" || signal == "SIGABRT";
}

// The stopped event's body for a stop by a signal (or a fault the debugger names otherwise).
inline Json signalStop(std::string_view signal, bool fault, std::string description)
{
    return {{"reason", fault ? "exception" : "signal"}, {"description", std::move(description)}, {"text", signal}};
}

} // namespace local_debugger::dap
