#include "toolchain/toolchain_messages.h"

std::string formatMessage(std::string_view format, std::initializer_list<std::optional<std::string_view>> arguments)
{
    constexpr std::string_view placeholder = "%@";
    std::string message;
    auto next = arguments.begin();
    size_t position = 0;
    for (;;) {
        size_t found = format.find(placeholder, position);
        message.append(format.substr(position, found - position));
        if (found == std::string_view::npos)
            break;
        if (next != arguments.end() && next->has_value())
            message.append(**next);
        else
            message.append(missingObjectText);
        if (next != arguments.end())
            ++next;
        position = found + placeholder.size();
    }
    return message;
}
