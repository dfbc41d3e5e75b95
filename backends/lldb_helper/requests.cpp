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

// Thrown inside parsing only, with the error text that answers the line.
struct Refusal {
    std::string text;
};

std::string field_error(const char* field, const char* problem)
{
    return std::string("error: field \"") + field + "\" " + problem + "\n";
}

// The fields of one object: the request itself, or an entry of one of its arrays. Each getter
// checks presence, then type, then value, so fields are refused in the order they are read.
class Fields {
public:
    Fields(const Json& object, std::string owner) : object_(object), owner_(std::move(owner)) {}

    const Json* find(const char* name) const
    {
        const auto found = object_.find(name);
        return found == object_.end() ? nullptr : &*found;
    }

    const Json& need(const char* name) const
    {
        const Json* value = find(name);
        if (value == nullptr)
            throw Refusal{"error: " + owner_ + " has no \"" + name + "\" field\n"};
        return *value;
    }

    enum Text { Any = 0, NoNul = 1, NotEmpty = 2 };

    std::string string(const char* name, int rules) const { return checked_string(name, need(name), rules); }

    std::optional<std::string> optional_string(const char* name, int rules) const
    {
        const Json* value = find(name);
        if (value == nullptr)
            return std::nullopt;
        return checked_string(name, *value, rules);
    }

    std::uint64_t count(const char* name) const { return checked_count(name, need(name)); }

    std::optional<std::uint64_t> optional_count(const char* name) const
    {
        const Json* value = find(name);
        if (value == nullptr)
            return std::nullopt;
        return checked_count(name, *value);
    }

    // An integer from low to the largest 32-bit value, as LLDB takes lines and ignore counts.
    std::uint32_t ranged(const char* name, const Json& value, std::uint32_t low) const
    {
        // An integer too large for 64 bits parses as a float, and is refused with the rest.
        // A signed JSON integer is negative, or -0.
        const bool fits =
            value.is_number_integer() &&
            (value.is_number_unsigned() ? value.get<std::uint64_t>() <= UINT32_MAX : value.get<std::int64_t>() == 0);
        if (!fits || value.get<std::uint64_t>() < low)
            throw Refusal{"error: field \"" + std::string(name) + "\" must be an integer from " + std::to_string(low) +
                          " to 4294967295\n"};
        return static_cast<std::uint32_t>(value.get<std::uint64_t>());
    }

    bool flag(const char* name, bool otherwise) const
    {
        const Json* value = find(name);
        if (value == nullptr)
            return otherwise;
        if (!value->is_boolean())
            throw Refusal{field_error(name, "must be true or false")};
        return value->get<bool>();
    }

    // An array of strings, none holding a NUL; absent, none.
    std::vector<std::string> strings(const char* name) const
    {
        const Json* value = find(name);
        if (value == nullptr)
            return {};
        const bool texts = value->is_array() && std::all_of(value->begin(), value->end(),
                                                            [](const Json& entry) { return entry.is_string(); });
        if (!texts)
            throw Refusal{field_error(name, "must be an array of strings")};
        std::vector<std::string> result;
        for (const Json& entry : *value) {
            result.push_back(entry.get<std::string>());
            if (result.back().find('\0') != std::string::npos)
                throw Refusal{field_error(name, "must not hold a NUL character")};
        }
        return result;
    }

    // An array whose entries are all objects.
    const Json& entries(const char* name) const
    {
        const Json& value = need(name);
        const bool objects = value.is_array() && std::all_of(value.begin(), value.end(),
                                                             [](const Json& entry) { return entry.is_object(); });
        if (!objects)
            throw Refusal{field_error(name, "must be an array of objects")};
        return value;
    }

private:
    static std::string checked_string(const char* name, const Json& value, int rules)
    {
        if (!value.is_string())
            throw Refusal{field_error(name, "must be a string")};
        std::string text = value.get<std::string>();
        if ((rules & NoNul) != 0 && text.find('\0') != std::string::npos)
            throw Refusal{field_error(name, "must not hold a NUL character")};
        if ((rules & NotEmpty) != 0 && text.empty())
            throw Refusal{field_error(name, "must not be empty")};
        return text;
    }

    static std::uint64_t checked_count(const char* name, const Json& value)
    {
        // An integer too large for 64 bits parses as a float, and is refused with the rest.
        if (!value.is_number_integer() || (!value.is_number_unsigned() && value.get<std::int64_t>() < 0))
            throw Refusal{field_error(name, "must be a non-negative integer")};
        return value.get<std::uint64_t>();
    }

    const Json& object_;
    std::string owner_;
};

Stopping stopping(const Fields& entry)
{
    Stopping result;
    result.condition = entry.optional_string("condition", Fields::NoNul).value_or("");
    if (const Json* count = entry.find("ignoreCount"))
        result.ignore_count = entry.ranged("ignoreCount", *count, 0);
    return result;
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

Request parse_input(const Fields& fields)
{
    return Input{fields.string("data", Fields::Any)};
}

Request parse_complete(const Fields& fields)
{
    Complete request{fields.string("line", Fields::NoNul), 0};
    const std::size_t length = characters(request.line);
    std::size_t cursor = length;
    if (fields.find("cursor") != nullptr) {
        const std::uint64_t value = fields.count("cursor");
        if (value > length)
            throw Refusal{"error: field \"cursor\" is past the end of \"line\"\n"};
        cursor = static_cast<std::size_t>(value);
    }
    request.cursor = byte_offset(request.line, cursor);
    return request;
}

// The entries of a breakpoint request's array, each read where it is, then its stopping.
template <typename Entry, typename Where>
std::vector<Entry> breakpoint_entries(const Fields& fields, const char* name, Where where)
{
    std::vector<Entry> entries;
    for (const Json& object : fields.entries(name)) {
        const Fields entry(object, "an entry of " + json_quoted(name));
        Entry breakpoint;
        where(entry, breakpoint);
        breakpoint.stopping = stopping(entry);
        entries.push_back(std::move(breakpoint));
    }
    return entries;
}

Request parse_breakpoints(const Fields& fields)
{
    Breakpoints request;
    request.file = fields.string("file", Fields::NoNul | Fields::NotEmpty);
    request.lines = breakpoint_entries<LineBreakpoint>(fields, "lines", [](const Fields& entry, LineBreakpoint& line) {
        line.line = entry.ranged("line", entry.need("line"), 1);
    });
    return request;
}

Request parse_function_breakpoints(const Fields& fields)
{
    return FunctionBreakpoints{breakpoint_entries<FunctionBreakpoint>(
        fields, "functions", [](const Fields& entry, FunctionBreakpoint& function) {
            function.name = entry.string("name", Fields::NoNul | Fields::NotEmpty);
        })};
}

Place place(const Fields& fields)
{
    Place result;
    result.thread = fields.optional_count("thread");
    result.frame = fields.optional_count("frame");
    return result;
}

Page page(const Fields& fields)
{
    Page result;
    result.start = fields.optional_count("start").value_or(0);
    result.count = fields.optional_count("count");
    return result;
}

Request parse_frames(const Fields& fields)
{
    Frames request;
    request.thread = fields.optional_count("thread");
    request.page = page(fields);
    return request;
}

// "format": "natural" (the default) or "hex".
bool hex_format(const Fields& fields)
{
    const std::string format = fields.optional_string("format", Fields::Any).value_or("natural");
    if (format != "natural" && format != "hex")
        throw Refusal{field_error("format", "must be \"natural\" or \"hex\"")};
    return format == "hex";
}

Request parse_variables(const Fields& fields)
{
    Variables request;
    request.handle = fields.count("handle");
    request.page = page(fields);
    request.hex = hex_format(fields);
    return request;
}

Request parse_evaluate(const Fields& fields)
{
    Evaluate request;
    request.expression = fields.string("expression", Fields::NoNul);
    request.place = place(fields);
    request.hex = hex_format(fields);
    return request;
}

Request parse_set_expression(const Fields& fields)
{
    SetExpression request;
    request.expression = fields.string("expression", Fields::NoNul);
    request.value = fields.string("value", Fields::NoNul);
    request.place = place(fields);
    request.hex = hex_format(fields);
    return request;
}

Request parse_set_variable(const Fields& fields)
{
    SetVariable request;
    request.handle = fields.count("handle");
    request.name = fields.string("name", Fields::NoNul);
    request.value = fields.string("value", Fields::NoNul);
    return request;
}

Request parse_locate(const Fields& fields)
{
    Locate request;
    request.handle = fields.optional_count("handle");
    request.name = fields.string("name", Fields::NoNul);
    request.place = place(fields);
    return request;
}

Request parse_watchpoints(const Fields& fields)
{
    Watchpoints request;
    for (const Json& object : fields.entries("watchpoints")) {
        const Fields entry(object, "an entry of \"watchpoints\"");
        Watchpoint watchpoint;
        watchpoint.address = entry.count("address");
        watchpoint.size = entry.count("size");
        const std::string access = entry.optional_string("access", Fields::Any).value_or("write");
        if (access != "read" && access != "write" && access != "readWrite")
            throw Refusal{field_error("access", "must be \"read\", \"write\" or \"readWrite\"")};
        watchpoint.read = access != "write";
        watchpoint.write = access != "read";
        watchpoint.stopping = stopping(entry);
        request.watchpoints.push_back(std::move(watchpoint));
    }
    return request;
}

Request parse_step(const Fields& fields)
{
    Step request;
    const std::string kind = fields.string("kind", Fields::Any);
    if (kind == "over")
        request.kind = StepKind::Over;
    else if (kind == "into")
        request.kind = StepKind::Into;
    else if (kind == "out")
        request.kind = StepKind::Out;
    else if (kind == "continue")
        request.kind = StepKind::Continue;
    else if (kind == "overInstruction")
        request.kind = StepKind::OverInstruction;
    else if (kind == "intoInstruction")
        request.kind = StepKind::IntoInstruction;
    else
        throw Refusal{field_error(
            "kind", "must be \"over\", \"into\", \"out\", \"continue\", \"overInstruction\" or \"intoInstruction\"")};
    request.thread = fields.optional_count("thread");
    return request;
}

std::uint64_t at_most(const char* name, std::uint64_t value, std::uint64_t most)
{
    if (value > most)
        throw Refusal{field_error(name, ("must be at most " + std::to_string(most)).c_str())};
    return value;
}

Request parse_read_memory(const Fields& fields)
{
    ReadMemory request;
    request.address = fields.count("address");
    request.count = at_most("count", fields.count("count"), kMaxMemoryBytes);
    return request;
}

Request parse_write_memory(const Fields& fields)
{
    WriteMemory request;
    request.address = fields.count("address");
    const std::string hex = fields.string("data", Fields::Any);
    const bool digits = hex.size() % 2 == 0 && hex.find_first_not_of("0123456789abcdefABCDEF") == std::string::npos;
    if (!digits)
        throw Refusal{field_error("data", "must be hex digits, two for each byte")};
    at_most("data", hex.size() / 2, kMaxMemoryBytes);
    for (std::size_t at = 0; at < hex.size(); at += 2)
        request.bytes += static_cast<char>(std::stoi(hex.substr(at, 2), nullptr, 16));
    return request;
}

Request parse_disassemble(const Fields& fields)
{
    Disassemble request;
    request.address = fields.count("address");
    request.end = fields.optional_count("end");
    request.count = at_most("count", fields.count("count"), kMaxInstructions);
    return request;
}

Request parse_instruction_breakpoints(const Fields& fields)
{
    return InstructionBreakpoints{breakpoint_entries<InstructionBreakpoint>(
        fields, "addresses",
        [](const Fields& entry, InstructionBreakpoint& at) { at.address = entry.count("address"); })};
}

Request parse_launch(const Fields& fields)
{
    Launch request;
    request.arguments = fields.strings("arguments");
    request.cwd = fields.optional_string("cwd", Fields::NoNul | Fields::NotEmpty);
    request.stop_at_entry = fields.flag("stopAtEntry", false);
    request.start = fields.flag("start", true);
    request.terminal = fields.optional_string("terminal", Fields::NoNul | Fields::NotEmpty);
    if (!request.start && (request.cwd || request.stop_at_entry))
        throw Refusal{"error: \"cwd\" and \"stopAtEntry\" need \"start\": true\n"};
    return request;
}

Request parse_console(const Fields& fields)
{
    Console request;
    request.terminal = fields.string("terminal", Fields::NoNul | Fields::NotEmpty);
    request.init_file = fields.flag("initFile", false);
    return request;
}

}  // namespace

std::string json_quoted(std::string_view text)
{
    return Json(text).dump(-1, ' ', false, Json::error_handler_t::replace);
}

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
        return field_error("request", "must be a string");
    const std::string& request = name->get_ref<const std::string&>();
    using Parser = Request (*)(const Fields&);
    static const std::pair<const char*, Parser> parsers[] = {
        {"input", parse_input},
        {"complete", parse_complete},
        {"breakpoints", parse_breakpoints},
        {"functionBreakpoints", parse_function_breakpoints},
        {"threads", [](const Fields&) -> Request { return Threads{}; }},
        {"modules", [](const Fields&) -> Request { return Modules{}; }},
        {"sources", [](const Fields&) -> Request { return Sources{}; }},
        {"frames", parse_frames},
        {"scopes", [](const Fields& fields) -> Request { return Scopes{place(fields)}; }},
        {"variables", parse_variables},
        {"evaluate", parse_evaluate},
        {"setVariable", parse_set_variable},
        {"setExpression", parse_set_expression},
        {"locate", parse_locate},
        {"watchpoints", parse_watchpoints},
        {"step", parse_step},
        {"launch", parse_launch},
        {"console", parse_console},
        {"consoleSize", [](const Fields&) -> Request { return ConsoleSize{}; }},
        {"readMemory", parse_read_memory},
        {"writeMemory", parse_write_memory},
        {"disassemble", parse_disassemble},
        {"instructionBreakpoints", parse_instruction_breakpoints},
    };
    for (const auto& [known, parser] : parsers) {
        if (request != known)
            continue;
        try {
            return parser(Fields(object, "request " + json_quoted(request)));
        } catch (const Refusal& refusal) {
            return refusal.text;
        }
    }
    return "error: unknown request " + json_quoted(request) + "\n";
}

}  // namespace lldb_helper::requests
