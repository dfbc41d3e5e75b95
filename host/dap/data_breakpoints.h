#pragma once
// Data breakpoints as the adapter gives them to an editor: a dataId names the memory a value
// lies in (its address and size), so that it still names it after the program has run on, and
// each debugger watches that memory with a watchpoint.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "host/dap/dap_channel.h"

namespace local_debugger::dap {

// The dataBreakpointInfo answer for a value at that address, of that size.
Json watchInfo(uint64_t address, uint64_t size, const std::string &label);
// The answer for a value that cannot be watched, and why.
Json noWatchInfo(const std::string &why);

struct DataBreakpointRequest {
    uint64_t address = 0;
    uint64_t size = 0;
    std::string access = "write";       // "read", "write" or "readWrite"
    std::string condition;              // empty: none
    std::optional<int64_t> ignoreCount; // the hits to pass over first
    std::optional<std::string> problem; // set: not given to the debugger

    Json unverified() const { return {{"verified", false}, {"message", problem.value_or("")}}; }
};

// The setDataBreakpoints request's breakpoints, in order.
std::vector<DataBreakpointRequest> dataBreakpointRequests(const Json &arguments);

// A number the debugger wrote (decimal, or hexadecimal after 0x), if it is all one.
std::optional<uint64_t> debuggerNumber(const std::string &text);

} // namespace local_debugger::dap
