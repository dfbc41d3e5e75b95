#include "host/dap/request_shape.h"

#include <algorithm>
#include <cstdint>
#include <span>

namespace local_debugger::dap {

namespace {

enum class Shape { Text, Flag, Words, Environment, Object, Objects, Id, Handle, Count, Line, Offset };

struct Field {
    const char *name;
    Shape shape;
};

// Fields by name, whatever the request: DAP gives a name one type throughout. Checked in the
// arguments and in the objects within them (a source, each breakpoint).
constexpr Field fields[] = {
    {"threadId", Shape::Id},      {"pid", Shape::Id},
    {"frameId", Shape::Handle},   {"variablesReference", Shape::Handle},
    {"startFrame", Shape::Count}, {"levels", Shape::Count},
    {"column", Shape::Count},     {"line", Shape::Line},
    {"expression", Shape::Text},  {"context", Shape::Text},
    {"name", Shape::Text},        {"value", Shape::Text},
    {"program", Shape::Text},     {"cwd", Shape::Text},
    {"backend", Shape::Text},     {"path", Shape::Text},
    {"condition", Shape::Text},   {"hitCondition", Shape::Text},
    {"stopOnEntry", Shape::Flag}, {"terminateDebuggee", Shape::Flag},
    {"args", Shape::Words},       {"env", Shape::Environment},
    {"source", Shape::Object},    {"breakpoints", Shape::Objects},
    {"start", Shape::Count},      {"count", Shape::Count},
    {"filter", Shape::Text},      {"logMessage", Shape::Text},
    {"filters", Shape::Words},    {"format", Shape::Object},
    {"hex", Shape::Flag},         {"text", Shape::Text},
    {"dataId", Shape::Text},      {"accessType", Shape::Text},
};

// Those of the memory and instruction requests.
constexpr Field memoryFields[] = {
    {"memoryReference", Shape::Text},
    {"offset", Shape::Offset},
    {"data", Shape::Text},
    {"allowPartial", Shape::Flag},
    {"instructionOffset", Shape::Offset},
    {"instructionCount", Shape::Count},
    {"resolveSymbols", Shape::Flag},
    {"granularity", Shape::Text},
    {"instructionReference", Shape::Text},
};

// The same, for the editor's offers in initialize, a launch's console, restart's launch
// arguments (an object checked as the launch's) and the modules request's page.
constexpr Field sessionFields[] = {
    {"supportsRunInTerminalRequest", Shape::Flag},
    {"supportsProgressReporting", Shape::Flag},
    {"console", Shape::Text},
    {"arguments", Shape::Object},
    {"startModule", Shape::Count},
    {"moduleCount", Shape::Count},
};

// Thread and process ids fit the debuggers' ints; frame and variable references are the
// adapter's own, at most what a JSON number carries exactly.
constexpr int64_t maxId = INT32_MAX;
constexpr int64_t maxHandle = (int64_t{1} << 53) - 1;

bool inRange(const Json &value, int64_t low, int64_t high)
{
    if (value.is_number_unsigned()) // high is never negative; low may be
        return (low < 0 || value.get<uint64_t>() >= static_cast<uint64_t>(low)) &&
               value.get<uint64_t>() <= static_cast<uint64_t>(high);
    return value.is_number_integer() && value.get<int64_t>() >= low && value.get<int64_t>() <= high;
}

std::string objectProblem(const Json &object);

std::string fieldProblem(const Field &field, const Json &value)
{
    const std::string name = field.name;
    const auto range = [&](int64_t low, int64_t high) {
        return inRange(value, low, high)
                   ? ""
                   : name + " must be an integer from " + std::to_string(low) + " to " + std::to_string(high);
    };
    switch (field.shape) {
    case Shape::Text:
        return value.is_string() ? "" : name + " must be a string";
    case Shape::Flag:
        return value.is_boolean() ? "" : name + " must be true or false";
    case Shape::Words:
        if (value.is_array() &&
            std::all_of(value.begin(), value.end(), [](const Json &word) { return word.is_string(); }))
            return "";
        return name + " must be an array of strings";
    case Shape::Environment:
        if (value.is_object() && std::all_of(value.begin(), value.end(),
                                             [](const Json &entry) { return entry.is_string() || entry.is_null(); }))
            return "";
        return name + " must be an object of strings (null removes one)";
    case Shape::Object:
        return value.is_object() ? objectProblem(value) : name + " must be an object";
    case Shape::Objects:
        if (!value.is_array() ||
            !std::all_of(value.begin(), value.end(), [](const Json &item) { return item.is_object(); }))
            return name + " must be an array of objects";
        for (const auto &item : value) {
            if (std::string problem = objectProblem(item); !problem.empty())
                return problem;
        }
        return "";
    case Shape::Id:
        return range(1, maxId);
    case Shape::Handle:
        return range(1, maxHandle);
    case Shape::Count:
        return range(0, maxId);
    case Shape::Line:
        return range(1, maxId);
    case Shape::Offset:
        return range(-maxHandle, maxHandle);
    }
    return "";
}

std::string objectProblem(const Json &object)
{
    for (const auto &table : {std::span<const Field>(fields), std::span<const Field>(memoryFields),
                              std::span<const Field>(sessionFields)}) {
        for (const Field &field : table) {
            const auto found = object.find(field.name);
            if (found == object.end())
                continue;
            if (std::string problem = fieldProblem(field, *found); !problem.empty())
                return problem;
        }
    }
    return "";
}

} // namespace

std::string requestProblem(const Json &request)
{
    const auto type = request.find("type");
    if (type == request.end() || *type != "request")
        return "not a request: \"type\" must be \"request\"";
    const auto seq = request.find("seq");
    if (seq == request.end() || !seq->is_number_integer())
        return "\"seq\" must be an integer";
    const auto command = request.find("command");
    if (command == request.end() || !command->is_string() || command->get<std::string>().empty())
        return "\"command\" must be the request's name";
    const auto arguments = request.find("arguments");
    if (arguments == request.end())
        return "";
    if (!arguments->is_object())
        return "\"arguments\" must be an object";
    return objectProblem(*arguments);
}

} // namespace local_debugger::dap
