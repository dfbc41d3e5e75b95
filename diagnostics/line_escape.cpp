#include "diagnostics/line_escape.h"

#include <algorithm>

namespace {

bool isControl(char c)
{
    const auto byte = static_cast<unsigned char>(c);
    return byte < 0x20 || byte == 0x7f;
}

} // namespace

void appendEscaped(std::string &out, std::string_view text)
{
    if (std::none_of(text.begin(), text.end(), isControl)) {
        out.append(text);
        return;
    }
    static constexpr char digits[] = "0123456789abcdef";
    for (char c : text) {
        if (!isControl(c)) {
            out.push_back(c);
        } else if (c == '\n') {
            out.append("\\n");
        } else if (c == '\r') {
            out.append("\\r");
        } else if (c == '\t') {
            out.append("\\t");
        } else {
            const auto byte = static_cast<unsigned char>(c);
            out.append("\\x").push_back(digits[byte >> 4]);
            out.push_back(digits[byte & 0xf]);
        }
    }
}
