#pragma once
// Finding the LLDB executable and the directory that holds LLDB's Python module.

#include <array>
#include <optional>
#include <string>
#include <string_view>

inline constexpr std::string_view toolFinderPath = "/usr/bin/xcrun";
inline constexpr std::string_view lldbToolName = "lldb";
inline constexpr std::string_view pythonDirectoryArgument = "-P";

// Tried in order when the tool finder has no answer.
inline constexpr std::array<std::string_view, 2> defaultLldbPaths = {
    "/usr/bin/lldb",
    "/Applications/Xcode.app/Contents/Developer/usr/bin/lldb",
};

// Trailing components taken off the LLDB path before the fallback suffix is joined on.
inline constexpr int pythonFallbackLevels = 4;
inline constexpr std::string_view pythonFallbackSuffix = "SharedFrameworks/LLDB.framework/Versions/A/Resources/Python";

// The LLDB executable: the tool finder's answer, else the first default path that exists.
std::optional<std::string> findLldbPath();

// LLDB's own answer to "-P" when it names something that exists; after an answer that is not
// UTF-8 or names nothing, the fallback beside lldbPath. A failed run gives no directory.
std::optional<std::string> lldbPythonPath(const std::optional<std::string> &lldbPath);
