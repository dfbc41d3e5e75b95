#pragma once
// The type of a C++ exception being thrown, from the name its std::type_info holds (the mangled
// type, "St12out_of_range"), as the debugger shows that name's C string.

#include <optional>
#include <string>

namespace local_debugger::dap {

// "0x7ffff7d9c420 \"St12out_of_range\"" (and GDB's "<typeinfo name for ...>" between) gives
// "std::out_of_range"; nullopt when the value is not a string's (an error).
std::optional<std::string> thrownType(const std::string &shownName);

} // namespace local_debugger::dap
