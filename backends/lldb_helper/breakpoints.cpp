#include "backends/lldb_helper/breakpoints.h"

#include "backends/lldb_helper/records.h"

namespace lldb_helper {

namespace {

constexpr const char* kNotResolved = "not resolved yet";
constexpr const char* kNoCode = "no code at this line";

std::optional<std::uint32_t> first_line(lldb::SBBreakpoint& breakpoint)
{
    lldb::SBLineEntry entry = breakpoint.GetLocationAtIndex(0).GetAddress().GetLineEntry();
    const std::uint32_t line = entry.IsValid() ? entry.GetLine() : 0;
    if (line == 0 || line == UINT32_MAX)
        return std::nullopt;
    return line;
}

records::Body placed(lldb::SBBreakpoint& breakpoint, std::optional<std::uint32_t> requested, const char* unverified)
{
    records::Body entry = records::Body::object();
    const bool verified = breakpoint.IsValid() && breakpoint.GetNumLocations() > 0;
    if (breakpoint.IsValid())
        entry["id"] = breakpoint.GetID();
    entry["verified"] = verified;
    std::optional<std::uint32_t> line = verified ? first_line(breakpoint) : std::nullopt;
    if (!line)
        line = requested;
    if (line)
        entry["line"] = *line;
    if (!verified)
        entry["message"] = unverified;
    return entry;
}

}  // namespace

void BreakpointRequests::remove(lldb::SBTarget& target, const Owner& owner)
{
    std::vector<Made> kept;
    for (Made& made : made_) {
        // One deleted by a command line is gone already.
        if (!made.breakpoint.IsValid())
            continue;
        if (made.owner == owner && made.breakpoint.GetTarget() == target) {
            target.BreakpointDelete(made.breakpoint.GetID());
            continue;
        }
        kept.push_back(made);
    }
    made_ = std::move(kept);
}

void BreakpointRequests::keep(const Owner& owner, lldb::SBBreakpoint& breakpoint, const requests::Stopping& stopping)
{
    if (!breakpoint.IsValid())
        return;
    if (!stopping.condition.empty())
        breakpoint.SetCondition(stopping.condition.c_str());
    if (stopping.ignore_count != 0)
        breakpoint.SetIgnoreCount(stopping.ignore_count);
    made_.push_back(Made{owner, breakpoint});
}

requests::Answer BreakpointRequests::set(lldb::SBTarget target, const requests::Breakpoints& request)
{
    if (!target.IsValid())
        return requests::refused("error: no target\n");
    const Owner owner = request.file;
    remove(target, owner);
    // A file the program's debug information knows has had all its code looked at already.
    const bool known = target.FindCompileUnits(lldb::SBFileSpec(request.file.c_str(), false)).GetSize() > 0;
    records::Body placed_list = records::Body::array();
    for (const requests::LineBreakpoint& wanted : request.lines) {
        lldb::SBBreakpoint breakpoint = target.BreakpointCreateByLocation(request.file.c_str(), wanted.line);
        keep(owner, breakpoint, wanted.stopping);
        placed_list.push_back(placed(breakpoint, wanted.line, known ? kNoCode : kNotResolved));
    }
    return requests::answered({{"breakpoints", placed_list}});
}

requests::Answer BreakpointRequests::set(lldb::SBTarget target, const requests::FunctionBreakpoints& request)
{
    if (!target.IsValid())
        return requests::refused("error: no target\n");
    const Owner owner;
    remove(target, owner);
    records::Body placed_list = records::Body::array();
    for (const requests::FunctionBreakpoint& wanted : request.functions) {
        lldb::SBBreakpoint breakpoint = target.BreakpointCreateByName(wanted.name.c_str(), nullptr);
        keep(owner, breakpoint, wanted.stopping);
        placed_list.push_back(placed(breakpoint, std::nullopt, kNotResolved));
    }
    return requests::answered({{"breakpoints", placed_list}});
}

requests::Answer BreakpointRequests::set(lldb::SBTarget target, const requests::InstructionBreakpoints& request)
{
    if (!target.IsValid())
        return requests::refused("error: no target\n");
    const Owner owner = std::string(1, '\0');
    remove(target, owner);
    records::Body placed_list = records::Body::array();
    for (const requests::InstructionBreakpoint& wanted : request.addresses) {
        lldb::SBBreakpoint breakpoint = target.BreakpointCreateByAddress(wanted.address);
        keep(owner, breakpoint, wanted.stopping);
        placed_list.push_back(placed(breakpoint, std::nullopt, kNotResolved));
    }
    return requests::answered({{"breakpoints", placed_list}});
}

}  // namespace lldb_helper
