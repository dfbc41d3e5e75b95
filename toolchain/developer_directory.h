#pragma once
// The active developer directory and the shared frameworks directory beside it.

#include <optional>
#include <string>
#include <string_view>

inline constexpr std::string_view developerDirectoryTool = "/usr/bin/xcode-select";
inline constexpr std::string_view commandLineToolsMarker = "CommandLineTools";
inline constexpr std::string_view defaultDeveloperDirectory = "/Applications/Xcode.app/Contents/Developer";
inline constexpr std::string_view sharedFrameworksDirectoryName = "SharedFrameworks";

// Asks the developer-directory tool (every call runs it again). A command-line-tools answer or
// no answer gives way to the default directory when that exists.
std::optional<std::string> developerDirectoryPath();

// "SharedFrameworks" beside a fresh developer directory; not checked for existence.
std::optional<std::string> sharedFrameworksPath();
