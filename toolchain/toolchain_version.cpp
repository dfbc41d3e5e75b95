#include "toolchain/toolchain_version.h"

#include <limits>

#include "platform/paths.h"
#include "platform/property_list.h"
#include "toolchain/developer_directory.h"

int32_t majorVersionFromString(std::string_view version)
{
    std::string_view major = version.substr(0, version.find('.'));
    size_t i = 0;
    while (i < major.size() && (major[i] == ' ' || (major[i] >= '\t' && major[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < major.size() && (major[i] == '+' || major[i] == '-')) {
        negative = major[i] == '-';
        ++i;
    }
    // Accumulated as a magnitude that stops growing once it is past either limit.
    constexpr int64_t ceiling = int64_t{std::numeric_limits<int32_t>::max()} + 1;
    int64_t magnitude = 0;
    for (; i < major.size() && major[i] >= '0' && major[i] <= '9'; ++i) {
        magnitude = magnitude * 10 + (major[i] - '0');
        if (magnitude > ceiling)
            magnitude = ceiling;
    }
    int64_t value = negative ? -magnitude : magnitude;
    if (value > std::numeric_limits<int32_t>::max())
        return std::numeric_limits<int32_t>::max();
    if (value < std::numeric_limits<int32_t>::min())
        return std::numeric_limits<int32_t>::min();
    return static_cast<int32_t>(value);
}

std::optional<int32_t> toolchainMajorVersion()
{
    std::optional<std::string> developerDirectory = developerDirectoryPath();
    if (!developerDirectory)
        return std::nullopt;
    std::string propertyList = joinPath(parentPath(*developerDirectory), std::string(toolchainPropertyListName));
    if (!pathExists(propertyList))
        return std::nullopt;
    std::optional<std::string> version = readPropertyListString(propertyList, std::string(toolchainVersionKey));
    if (!version)
        return std::nullopt;
    return majorVersionFromString(*version);
}

DebuggerBackend chooseLldbBackend()
{
    std::optional<int32_t> major = toolchainMajorVersion();
    if (!major)
        return DebuggerBackend::LldbHelper;
    if (*major >= versionThreshold)
        return DebuggerBackend::LldbHelper;
    return DebuggerBackend::LldbPython;
}
