#pragma once
// A debuggee that a signal ended reads as a shell reports it: 128 + the signal's number.

#include <cstdint>
#include <optional>
#include <string_view>

namespace local_debugger {

// The number of a signal by the name a debugger gives it (SIGSEGV); nullopt for one this
// system has no signal of.
std::optional<int> signalNumber(std::string_view name);

// The exit code of a debuggee the named signal ended.
inline int64_t signalExitCode(std::string_view name)
{
    return 128 + signalNumber(name).value_or(0);
}

} // namespace local_debugger
