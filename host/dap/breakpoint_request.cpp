#include "host/dap/breakpoint_request.h"

#include <cstdlib>

namespace local_debugger::dap {

namespace {

std::string nonEmptyText(const Json &breakpoint, const char *field)
{
    const auto found = breakpoint.find(field);
    return found != breakpoint.end() && found->is_string() ? found->get<std::string>() : "";
}

// A hit condition is the number of the hit to stop at ("3": the third), so one less is passed over.
void readHitCondition(const Json &breakpoint, BreakpointRequest &wanted)
{
    const std::string hits = nonEmptyText(breakpoint, "hitCondition");
    if (hits.empty())
        return;
    char *end = nullptr;
    const long long count = strtoll(hits.c_str(), &end, 10);
    if (end == hits.c_str() || *end != '\0' || count < 1)
        wanted.problem = "a hit condition is a number of hits, not \"" + hits + "\"";
    else
        wanted.ignoreCount = count - 1;
}

} // namespace

std::vector<BreakpointRequest> breakpointRequests(const Json &arguments, const char *key, const Json &fallback)
{
    std::vector<BreakpointRequest> allWanted;
    for (const auto &breakpoint : arguments.value("breakpoints", Json::array())) {
        BreakpointRequest wanted{breakpoint.value(key, fallback), nonEmptyText(breakpoint, "condition"), {}, {}, {}};
        readHitCondition(breakpoint, wanted);
        if (const std::string message = nonEmptyText(breakpoint, "logMessage"); !message.empty())
            wanted.log.emplace(message);
        allWanted.push_back(std::move(wanted));
    }
    return allWanted;
}

} // namespace local_debugger::dap
