#include "host/session/signal_exit.h"

#include <csignal>
#include <cstring>

namespace local_debugger {

std::optional<int> signalNumber(std::string_view name)
{
    if (!name.starts_with("SIG"))
        return std::nullopt;
    name.remove_prefix(3);
    for (int number = 1; number < NSIG; ++number) {
        const char *abbreviation = sigabbrev_np(number);
        if (abbreviation != nullptr && name == abbreviation)
            return number;
    }
    return std::nullopt;
}

} // namespace local_debugger
