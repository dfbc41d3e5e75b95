#include "host/dap/breakpoint_spec.h"

#include <cstdlib>

namespace local_debugger::dap {

namespace {

std::string nonEmptyText(const Json &breakpoint, const char *field)
{
    const auto found = breakpoint.find(field);
    return found != breakpoint.end() && found->is_string() ? found->get<std::string>() : "";
}

// A hit condition is the number of the hit to stop at ("3": the third), so one less is passed over.
void readHitCondition(const Json &breakpoint, BreakpointSpec &spec)
{
    const std::string hits = nonEmptyText(breakpoint, "hitCondition");
    if (hits.empty())
        return;
    char *end = nullptr;
    const long long count = strtoll(hits.c_str(), &end, 10);
    if (end == hits.c_str() || *end != '\0' || count < 1)
        spec.problem = "a hit condition is a number of hits, not \"" + hits + "\"";
    else
        spec.ignoreCount = count - 1;
}

} // namespace

std::vector<BreakpointSpec> breakpointSpecs(const Json &arguments, const char *key, const Json &fallback)
{
    std::vector<BreakpointSpec> specs;
    for (const auto &breakpoint : arguments.value("breakpoints", Json::array())) {
        BreakpointSpec spec{breakpoint.value(key, fallback), nonEmptyText(breakpoint, "condition"), {}, {}};
        readHitCondition(breakpoint, spec);
        specs.push_back(std::move(spec));
    }
    return specs;
}

} // namespace local_debugger::dap
