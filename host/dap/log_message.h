#pragma once
// A log point's message: text with {expression} pieces, each replaced at a hit by the
// expression's value where the program stopped; {{ and }} stand for braces of their own.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace local_debugger::dap {

class LogMessage {
public:
    explicit LogMessage(std::string_view text);

    // The message with each expression's value in its place; valueOf gives the value, or the
    // debugger's error when there is none.
    std::string render(const std::function<std::string(const std::string &)> &valueOf) const;

private:
    struct Piece {
        bool expression;
        std::string text;
    };
    std::vector<Piece> pieces_;
};

} // namespace local_debugger::dap
