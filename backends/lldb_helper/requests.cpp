#include "backends/lldb_helper/requests.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>

namespace lldb_helper::requests {

namespace {

using Json = nlohmann::json;

// Deeper nesting is refused before parsing: Python's parser gives up somewhere near a thousand
// levels, and both back ends must answer the same line the same way.
constexpr int kMaxNesting = 64;

int nesting(std::string_view text)
{
    int depth = 0;
    int deepest = 0;
    bool in_string = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (in_string) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                in_string = false;
        } else if (c == '"') {
            in_string = true;
        } else if (c == '{' || c == '[') {
            deepest = std::max(deepest, ++depth);
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
    return deepest;
}

std::string quoted(const std::string& text)
{
    return Json(text).dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string missing(const char* request, const char* field)
{
    return std::string("error: request \"") + request + "\" has no \"" + field + "\" field\n";
}

std::string not_a_string(const char* field)
{
    return std::string("error: field \"") + field + "\" must be a string\n";
}

std::size_t characters(std::string_view utf8)
{
    std::size_t count = 0;
    for (const char c : utf8) {
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80)
            ++count;
    }
    return count;
}

// The byte offset of the character with that index; the text is valid UTF-8.
std::size_t byte_offset(std::string_view utf8, std::size_t index)
{
    std::size_t seen = 0;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        if ((static_cast<unsigned char>(utf8[i]) & 0xC0) != 0x80 && seen++ == index)
            return i;
    }
    return utf8.size();
}

std::variant<Request, std::string> parse_input(const Json& object)
{
    const auto data = object.find("data");
    if (data == object.end())
        return missing("input", "data");
    if (!data->is_string())
        return not_a_string("data");
    return Input{data->get<std::string>()};
}

std::variant<Request, std::string> parse_complete(const Json& object)
{
    const auto line = object.find("line");
    if (line == object.end())
        return missing("complete", "line");
    if (!line->is_string())
        return not_a_string("line");
    Complete request{line->get<std::string>(), 0};
    if (request.line.find('\0') != std::string::npos)
        return std::string("error: field \"line\" must not hold a NUL character\n");
    const std::size_t length = characters(request.line);
    std::size_t cursor = length;
    const auto given = object.find("cursor");
    if (given != object.end()) {
        // An integer too large for 64 bits parses as a float, and is refused with the rest.
        if (!given->is_number_integer() || (!given->is_number_unsigned() && given->get<std::int64_t>() < 0))
            return std::string("error: field \"cursor\" must be a non-negative integer\n");
        const std::uint64_t value = given->get<std::uint64_t>();
        if (value > length)
            return std::string("error: field \"cursor\" is past the end of \"line\"\n");
        cursor = static_cast<std::size_t>(value);
    }
    request.cursor = byte_offset(request.line, cursor);
    return request;
}

}  // namespace

bool is_request(std::string_view line)
{
    const std::size_t first = line.find_first_not_of(" \t");
    return first != std::string_view::npos && line[first] == '{';
}

std::variant<Request, std::string> parse(std::string_view line)
{
    if (nesting(line) > kMaxNesting)
        return std::string("error: request line is nested too deeply\n");
    const Json object = Json::parse(line, nullptr, false);
    // A line that starts with '{' and parses can only be an object.
    if (object.is_discarded() || !object.is_object())
        return std::string("error: request line is not valid JSON\n");
    const auto name = object.find("request");
    if (name == object.end())
        return std::string("error: request has no \"request\" field\n");
    if (!name->is_string())
        return not_a_string("request");
    const std::string& request = name->get_ref<const std::string&>();
    if (request == "input")
        return parse_input(object);
    if (request == "complete")
        return parse_complete(object);
    return "error: unknown request " + quoted(request) + "\n";
}

}  // namespace lldb_helper::requests
