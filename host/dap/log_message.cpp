#include "host/dap/log_message.h"

namespace local_debugger::dap {

LogMessage::LogMessage(std::string_view text)
{
    std::string literal;
    for (size_t at = 0; at < text.size(); ++at) {
        const char c = text[at];
        const bool doubled = at + 1 < text.size() && text[at + 1] == c;
        if ((c == '{' || c == '}') && doubled) {
            literal += c;
            ++at;
            continue;
        }
        const size_t close = c == '{' ? text.find('}', at + 1) : std::string_view::npos;
        if (close == std::string_view::npos) {
            literal += c; // a lone brace stands for itself
            continue;
        }
        if (!literal.empty())
            pieces_.push_back({false, std::move(literal)});
        literal.clear();
        pieces_.push_back({true, std::string(text.substr(at + 1, close - at - 1))});
        at = close;
    }
    if (!literal.empty())
        pieces_.push_back({false, std::move(literal)});
}

std::string LogMessage::render(const std::function<std::string(const std::string &)> &valueOf) const
{
    std::string text;
    for (const Piece &piece : pieces_)
        text += piece.expression ? valueOf(piece.text) : piece.text;
    return text;
}

} // namespace local_debugger::dap
