#pragma once
// How a stop of the debuggee reads to an editor, whichever debugger told it.

#include <atomic>
#include <cstdint>
#include <set>

#include "host/dap/dap_channel.h"
#include "host/session/debuggee_stop.h"

namespace local_debugger::dap {

// Whether a stop is the program's fault (a signal such as SIGSEGV, or an exception), which is worth
// the debugger's own description of it.
bool faultStop(const DebuggeeStop &stop);

// The stopped event's body. The stop at the entry point a launch asked for, and the pause the
// editor asked for, are each told once as such: the flag that awaits one is cleared by it.
Json stoppedBody(const DebuggeeStop &stop, std::atomic<bool> &entryPending, std::atomic<bool> &pauseRequested,
                 const std::set<int64_t> &functionBreakpoints, const std::set<int64_t> &instructionBreakpoints);

} // namespace local_debugger::dap
