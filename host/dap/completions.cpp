#include "host/dap/completions.h"

#include <algorithm>
#include <cstdint>

namespace local_debugger::dap {

namespace {

// How many UTF-16 units the UTF-8 text takes: a four-byte character takes two.
int64_t utf16Units(std::string_view text)
{
    int64_t units = 0;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if ((byte & 0xC0) != 0x80)
            units += byte >= 0xF0 ? 2 : 1;
    }
    return units;
}

// The byte offset that many UTF-16 units into the text; its end when it is shorter.
size_t byteOffset(std::string_view text, int64_t units)
{
    for (size_t at = 0; at < text.size(); ++at) {
        const auto byte = static_cast<unsigned char>(text[at]);
        if ((byte & 0xC0) == 0x80)
            continue;
        if (units <= 0)
            return at;
        units -= byte >= 0xF0 ? 2 : 1;
    }
    return text.size();
}

} // namespace

std::string textBeforeCursor(const Json &arguments, bool columnsFrom1)
{
    const std::string text = arguments.value("text", "");
    if (!arguments.contains("column"))
        return text;
    const int64_t column = arguments.value("column", int64_t{0}) - (columnsFrom1 ? 1 : 0);
    return text.substr(0, byteOffset(text, std::max<int64_t>(column, 0)));
}

size_t wordStart(std::string_view text, std::string_view breaks)
{
    const size_t last = text.find_last_of(breaks);
    return last == std::string_view::npos ? 0 : last + 1;
}

Json completionTargets(const std::vector<std::string> &words, std::string_view text, size_t from, bool columnsFrom1)
{
    Json targets = Json::array();
    std::vector<std::string> seen;
    for (const auto &word : words) {
        if (word.empty() || std::find(seen.begin(), seen.end(), word) != seen.end())
            continue;
        seen.push_back(word);
        targets.push_back({{"label", word},
                           {"text", word},
                           {"start", utf16Units(text.substr(0, from)) + (columnsFrom1 ? 1 : 0)},
                           {"length", utf16Units(text.substr(from))}});
    }
    return targets;
}

} // namespace local_debugger::dap
