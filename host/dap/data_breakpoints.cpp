#include "host/dap/data_breakpoints.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "host/dap/breakpoint_request.h"

namespace local_debugger::dap {

namespace {

// "0x7ffc1234/4": the address, then the size.
std::string dataId(uint64_t address, uint64_t size)
{
    char text[48];
    std::snprintf(text, sizeof text, "0x%" PRIx64 "/%" PRIu64, address, size);
    return text;
}

bool readDataId(const std::string &id, DataBreakpointRequest &wanted)
{
    const size_t slash = id.find('/');
    if (!id.starts_with("0x") || slash == std::string::npos)
        return false;
    const auto address = debuggerNumber(id.substr(0, slash));
    const auto size = debuggerNumber(id.substr(slash + 1));
    if (!address || !size || *size == 0)
        return false;
    wanted.address = *address;
    wanted.size = *size;
    return true;
}

} // namespace

std::optional<uint64_t> debuggerNumber(const std::string &text)
{
    const bool hex = text.starts_with("0x");
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || digits.find_first_not_of(hex ? "0123456789abcdefABCDEF" : "0123456789") != std::string::npos)
        return std::nullopt;
    errno = 0;
    const unsigned long long value = std::strtoull(digits.c_str(), nullptr, hex ? 16 : 10);
    if (errno == ERANGE)
        return std::nullopt;
    return value;
}

Json watchInfo(uint64_t address, uint64_t size, const std::string &label)
{
    const std::string id = dataId(address, size);
    return {{"dataId", id},
            {"description", label + " (" + std::to_string(size) + " bytes at " + id.substr(0, id.find('/')) + ")"},
            {"accessTypes", Json::array({"read", "write", "readWrite"})},
            {"canPersist", false}};
}

Json noWatchInfo(const std::string &why)
{
    return {{"dataId", nullptr}, {"description", why}};
}

std::vector<DataBreakpointRequest> dataBreakpointRequests(const Json &arguments)
{
    std::vector<DataBreakpointRequest> allWanted;
    for (const auto &given : breakpointRequests(arguments, "dataId", "")) {
        DataBreakpointRequest wanted{0, 0, "write", given.condition, given.ignoreCount, given.problem};
        const std::string id = given.where.is_string() ? given.where.get<std::string>() : "";
        if (!wanted.problem && !readDataId(id, wanted))
            wanted.problem = "not a dataId of this adapter's: \"" + id + "\"";
        allWanted.push_back(std::move(wanted));
    }
    const Json breakpoints = arguments.value("breakpoints", Json::array());
    for (size_t at = 0; at < allWanted.size() && at < breakpoints.size(); ++at) {
        const std::string access = breakpoints[at].value("accessType", "write");
        if (access != "read" && access != "write" && access != "readWrite")
            allWanted[at].problem = "accessType must be \"read\", \"write\" or \"readWrite\", not \"" + access + "\"";
        allWanted[at].access = access;
    }
    return allWanted;
}

} // namespace local_debugger::dap
