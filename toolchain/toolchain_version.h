#pragma once
// The toolchain's major version, and the LLDB back end it calls for.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "toolchain/debugger_backend.h"

inline constexpr std::string_view toolchainPropertyListName = "Info.plist";
inline constexpr std::string_view toolchainVersionKey = "CFBundleShortVersionString";

// The lowest major version that gets LldbHelper, itself included.
inline constexpr int32_t versionThreshold = 10;

// The leading decimal integer of the text before the first ".": leading white space skipped,
// an optional sign, digits up to the first non-digit; 0 without digits; clamped to 32 bits.
int32_t majorVersionFromString(std::string_view version);

// From the property list beside a fresh developer directory; absent when there is none, it
// cannot be read, or it holds no version string.
std::optional<int32_t> toolchainMajorVersion();

// LldbHelper unless a version was read and it is below versionThreshold.
DebuggerBackend chooseLldbBackend();
