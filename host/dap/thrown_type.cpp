#include "host/dap/thrown_type.h"

#include <cstdlib>
#include <cxxabi.h>
#include <memory>

namespace local_debugger::dap {

std::optional<std::string> thrownType(const std::string &shownName)
{
    if (!shownName.starts_with("0x")) // an error, not the string's address and text
        return std::nullopt;
    const size_t close = shownName.rfind('"');
    const size_t open = close == std::string::npos || close == 0 ? std::string::npos : shownName.rfind('"', close - 1);
    if (open == std::string::npos || close == open + 1)
        return std::nullopt;
    const std::string mangled = shownName.substr(open + 1, close - open - 1);
    int status = 0;
    const std::unique_ptr<char, decltype(&std::free)> plain(
        abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status), &std::free);
    return status == 0 && plain ? std::string(plain.get()) : mangled;
}

} // namespace local_debugger::dap
