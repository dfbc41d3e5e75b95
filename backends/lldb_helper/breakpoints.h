// The breakpoints that "breakpoints", "functionBreakpoints" and "instructionBreakpoints" requests set. Each request
// replaces what earlier ones of its kind (for breakpoints, for the same file) set in the same
// target; breakpoints made by command lines are never touched.
#pragma once

#include "backends/lldb_helper/requests.h"

#include <lldb/API/LLDB.h>

#include <optional>
#include <string>
#include <vector>

namespace lldb_helper {

class BreakpointRequests {
public:
    requests::Answer set(lldb::SBTarget target, const requests::Breakpoints& request);
    requests::Answer set(lldb::SBTarget target, const requests::FunctionBreakpoints& request);
    requests::Answer set(lldb::SBTarget target, const requests::InstructionBreakpoints& request);

private:
    // The file a breakpoints request named; none for a functionBreakpoints request; a NUL, which
    // no file's name holds, for an instructionBreakpoints request.
    using Owner = std::optional<std::string>;

    struct Made {
        Owner owner;
        lldb::SBBreakpoint breakpoint;
    };

    void remove(lldb::SBTarget& target, const Owner& owner);
    void keep(const Owner& owner, lldb::SBBreakpoint& breakpoint, const requests::Stopping& stopping);

    std::vector<Made> made_;
};

}  // namespace lldb_helper
