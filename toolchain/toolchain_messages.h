#pragma once
// The diagnostic texts of the toolchain lookups, and the "%@" substitution they use.

#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

inline constexpr std::string_view xcodeSelectMissingMessage = "Unable to find the xcode-select tool.";
inline constexpr std::string_view xcrunMissingMessage = "Unable to find the xcrun tool.";
inline constexpr std::string_view toolFoundFormat = "%@ tool found at %@";
inline constexpr std::string_view toolNotFoundTryingDefaultsFormat = "%@ tool not found, trying default paths.";
inline constexpr std::string_view toolNotFoundFormat = "%@ tool not found";
inline constexpr std::string_view pythonFrameworkFoundFormat = "LLDB Python Framework found at %@";

// How a missing object reads inside a message.
inline constexpr std::string_view missingObjectText = "(null)";

// Each "%@" of format takes the next argument in order; an absent or surplus one reads "(null)".
std::string formatMessage(std::string_view format, std::initializer_list<std::optional<std::string_view>> arguments);
