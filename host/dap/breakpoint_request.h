#pragma once
// A breakpoint as an editor asks for it, read the same way for every debugger: where, under which
// condition, after how many hits, whether it logs instead of stopping; or why it cannot be set, in which case only it is answered
// unverified with that reason and the rest are set.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/dap/dap_channel.h"
#include "host/dap/log_message.h"

namespace local_debugger::dap {

struct BreakpointRequest {
    Json where;                         // its line or function name, as given
    std::string condition;              // empty: none
    std::optional<int64_t> ignoreCount; // the hits to pass over first
    std::optional<LogMessage> log;      // set: a log point, which writes this and goes on
    std::optional<std::string> problem; // set: not given to the debugger

    // The answer for one that cannot be set.
    Json unverified() const { return {{"verified", false}, {"message", problem.value_or("")}}; }
};

// The request's breakpoints in order: key names where each is ("line", "name"), fallback what an
// absent one means.
std::vector<BreakpointRequest> breakpointRequests(const Json &arguments, const char *key, const Json &fallback);

} // namespace local_debugger::dap
