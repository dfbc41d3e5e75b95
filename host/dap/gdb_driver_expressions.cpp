// Values in hexadecimal, assignments to expressions, and the debug console's completions, as GDB
// serves them.

#include "host/dap/completions.h"
#include "host/dap/gdb_driver.h"

namespace local_debugger::dap {

namespace {

// What ends the word of an expression or a command that GDB completes.
constexpr std::string_view gdbWordBreaks = " \t()[]{},;=+-*/%&|^!~<>?:.'\"";

} // namespace

bool GdbDriver::frameOf(const Json &request, const Json &arguments, std::optional<Handle> &frame)
{
    if (!arguments.contains("frameId"))
        return true;
    const Handle *found = find(arguments, "frameId");
    if (found == nullptr || found->kind != Handle::Kind::Frame) {
        fail(request, "no such frame (frames last until the program runs again)");
        return false;
    }
    frame = *found;
    return true;
}

std::string GdbDriver::formatted(const std::string &object, const std::string &value)
{
    // A variable object keeps its format: it changes only when the request asks for another.
    if (hex_ == hexObjects_.contains(object))
        return value;
    MiAnswer set = command("-var-set-format " + GdbSession::quoted(object) + (hex_ ? " hexadecimal" : " natural"));
    if (!set.ok())
        return value;
    if (hex_)
        hexObjects_.insert(object);
    else
        hexObjects_.erase(object);
    return std::string(set.record->text("value").value_or(value));
}

std::optional<Json> GdbDriver::requestedValue(const Json &request, const Json &arguments, std::string &error)
{
    const std::string expression = arguments.value("expression", "");
    std::optional<Handle> frame;
    if (!frameOf(request, arguments, frame))
        return std::nullopt;
    hex_ = hexRequested(arguments);
    if (auto value = variableFor(expression, expression, frame ? &*frame : nullptr, 0, &error))
        return value;
    if (error.empty())
        error = "GDB cannot read " + expression;
    return std::nullopt;
}

void GdbDriver::setExpression(const Json &request, const Json &arguments)
{
    const std::string expression = arguments.value("expression", "");
    std::string error;
    const std::optional<Json> target = requestedValue(request, arguments, error);
    if (!target) {
        if (!error.empty())
            fail(request, error);
        return;
    }
    // A variable object takes the value as GDB reads one, and refuses what is not an lvalue.
    const std::string object = named_[{0, expression}];
    MiAnswer assigned =
        command("-var-assign " + GdbSession::quoted(object) + " " + GdbSession::quoted(arguments.value("value", "")));
    if (!assigned.ok()) {
        fail(request, assigned.error());
        return;
    }
    channel_.respond(request, {{"value", std::string(assigned.record->text("value").value_or(""))},
                               {"type", (*target)["type"]},
                               {"variablesReference", (*target)["variablesReference"]}});
}

void GdbDriver::completions(const Json &request, const Json &arguments)
{
    const std::string text = textBeforeCursor(arguments, columnsFrom1_);
    const size_t from = wordStart(text, gdbWordBreaks);
    // GDB completes the line as a command; as print's argument it completes an expression's
    // names, so that a bare variable's name completes too.
    std::vector<std::string> words;
    for (const std::string lead : {"", "print "}) {
        MiAnswer answer = command("-complete " + GdbSession::quoted(lead + text));
        const MiValue *matches = answer.ok() ? answer.record->find("matches") : nullptr;
        if (matches == nullptr)
            continue;
        for (const auto &match : matches->items) {
            const std::string &line = match.value.string;
            // Each match is the whole line completed: the candidate is its word at the cursor.
            if (line.size() >= lead.size() + from && line.compare(0, lead.size(), lead) == 0 &&
                line.compare(lead.size(), from, text, 0, from) == 0)
                words.push_back(line.substr(lead.size() + from));
        }
    }
    channel_.respond(request, {{"targets", completionTargets(words, text, from, columnsFrom1_)}});
}

} // namespace local_debugger::dap
