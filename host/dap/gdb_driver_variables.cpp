// What a stopped debuggee shows through GDB: frames, scopes, variables as variable objects,
// registers, and expressions.

#include "host/dap/gdb_driver.h"

namespace local_debugger::dap {

void GdbDriver::forgetHandles()
{
    handles_.clear();
    named_.clear();
    for (const auto &object : objects_)
        command("-var-delete " + object);
    objects_.clear();
}

int64_t GdbDriver::newHandle(Handle value)
{
    if (handles_.stale())
        forgetHandles();
    return handles_.add(std::move(value));
}

const GdbDriver::Handle *GdbDriver::find(const Json &arguments, const char *field)
{
    if (handles_.stale())
        forgetHandles();
    return handles_.find(arguments.value(field, int64_t{0}));
}

std::string GdbDriver::frameOptions(const Handle &frame)
{
    return " --thread " + std::to_string(frame.thread) + " --frame " + std::to_string(frame.level);
}

void GdbDriver::stackTrace(const Json &request, const Json &arguments)
{
    const int64_t thread = arguments.value("threadId", int64_t{1});
    const int64_t first = arguments.value("startFrame", int64_t{0});
    const int64_t levels = arguments.value("levels", int64_t{0});
    const MiAnswer counted = command("-stack-info-depth --thread " + std::to_string(thread));
    if (!counted.ok()) {
        fail(request, counted.error());
        return;
    }
    // Both are at most 2^31-1 as requests are checked: the sum does not overflow.
    const int64_t depth = miNumber(counted.record->text("depth"));
    const int64_t last = levels > 0 ? std::min(depth, first + levels) - 1 : depth - 1;
    Json frames = Json::array();
    if (last >= first) {
        MiAnswer answer = command("-stack-list-frames --thread " + std::to_string(thread) + " " +
                                  std::to_string(first) + " " + std::to_string(last));
        if (!answer.ok()) {
            fail(request, answer.error());
            return;
        }
        if (const MiValue *stack = answer.record->find("stack")) {
            for (const auto &entry : stack->items) {
                const MiValue &frame = entry.value;
                Json out = {{"id", newHandle({Handle::Kind::Frame, thread, miNumber(frame.text("level")), ""})},
                            {"name", std::string(frame.text("func").value_or("??"))},
                            {"line", miNumber(frame.text("line"))},
                            {"column", frame.text("line") ? 1 : 0}};
                if (auto path = frame.text("fullname"))
                    out["source"] = {{"name", std::string(frame.text("file").value_or(*path))},
                                     {"path", std::string(*path)}};
                if (auto address = frame.text("addr"))
                    out["instructionPointerReference"] = std::string(*address);
                frames.push_back(out);
            }
        }
    }
    channel_.respond(request, {{"stackFrames", frames}, {"totalFrames", depth}});
}

void GdbDriver::scopes(const Json &request, const Json &arguments)
{
    const Handle *frame = find(arguments, "frameId");
    if (frame == nullptr || frame->kind != Handle::Kind::Frame) {
        fail(request, "no such frame (frames last until the program runs again)");
        return;
    }
    const Handle at = *frame;
    Json list = Json::array();
    for (auto [kind, name, hint] : {std::tuple{Handle::Kind::Locals, "Locals", "locals"},
                                    std::tuple{Handle::Kind::Arguments, "Arguments", "arguments"},
                                    std::tuple{Handle::Kind::Registers, "Registers", "registers"}}) {
        list.push_back({{"name", name},
                        {"presentationHint", hint},
                        {"variablesReference", newHandle({kind, at.thread, at.level, ""})},
                        {"expensive", kind == Handle::Kind::Registers}});
    }
    channel_.respond(request, {{"scopes", list}});
}

std::optional<Json> GdbDriver::variableFor(const std::string &label, const std::string &expression,
                                           const std::string &where, int64_t parent, std::string *error)
{
    MiAnswer created = command("-var-create" + where + " - * " + GdbSession::quoted(expression));
    if (!created.ok()) {
        if (error != nullptr)
            *error = created.error();
        return std::nullopt;
    }
    const std::string object(created.record->text("name").value_or(""));
    objects_.push_back(object);
    named_[{parent, label}] = object;
    return shown(label, object, created.record->results);
}

Json GdbDriver::shown(const std::string &label, const std::string &object, const MiValue &fields)
{
    const int64_t children = miNumber(fields.text("numchild"));
    return {{"name", label},
            {"value", std::string(fields.text("value").value_or(""))},
            {"type", std::string(fields.text("type").value_or(""))},
            {"variablesReference", children > 0 ? newHandle({Handle::Kind::Object, 0, 0, object}) : 0}};
}

void GdbDriver::children(const std::string &object, int64_t parent, Json &list)
{
    MiAnswer answer = command("-var-list-children --all-values " + object);
    if (!answer.ok())
        return;
    const MiValue *found = answer.record->find("children");
    if (found == nullptr)
        return;
    for (const auto &entry : found->items) {
        const MiValue &child = entry.value;
        const std::string name(child.text("name").value_or(""));
        const std::string label(child.text("exp").value_or(""));
        // C++ access sections are not members: their members show in their place.
        if (!child.text("type") && (label == "public" || label == "private" || label == "protected")) {
            children(name, parent, list);
            continue;
        }
        named_[{parent, label}] = name;
        list.push_back(shown(label, name, child));
    }
}

void GdbDriver::variables(const Json &request, const Json &arguments)
{
    const int64_t reference = arguments.value("variablesReference", int64_t{0});
    const Handle *found = find(arguments, "variablesReference");
    if (found == nullptr || found->kind == Handle::Kind::Frame) {
        fail(request, "no such variables (they last until the program runs again)");
        return;
    }
    const Handle at = *found;
    Json list = Json::array();
    if (at.kind == Handle::Kind::Object) {
        children(at.object, reference, list);
    } else if (at.kind == Handle::Kind::Registers) {
        registers(at, list);
    } else {
        MiAnswer answer = command("-stack-list-variables" + frameOptions(at) + " --no-values");
        if (const MiValue *vars = answer.ok() ? answer.record->find("variables") : nullptr) {
            for (const auto &entry : vars->items) {
                const bool argument = entry.value.text("arg").value_or("") == "1";
                if (argument != (at.kind == Handle::Kind::Arguments))
                    continue;
                const std::string name(entry.value.text("name").value_or(""));
                if (auto shownVariable = variableFor(name, name, frameOptions(at), reference))
                    list.push_back(*shownVariable);
            }
        }
    }
    channel_.respond(request, {{"variables", list}});
}

void GdbDriver::registers(const Handle &at, Json &list)
{
    if (registerNames_.empty()) {
        MiAnswer names = command("-data-list-register-names");
        if (const MiValue *found = names.ok() ? names.record->find("register-names") : nullptr) {
            for (const auto &name : found->items)
                registerNames_.push_back(name.value.string);
        }
    }
    MiAnswer values = command("-data-list-register-values" + frameOptions(at) + " N");
    if (const MiValue *found = values.ok() ? values.record->find("register-values") : nullptr) {
        for (const auto &entry : found->items) {
            const auto index = static_cast<size_t>(miNumber(entry.value.text("number")));
            if (index < registerNames_.size() && !registerNames_[index].empty())
                list.push_back({{"name", registerNames_[index]},
                                {"value", std::string(entry.value.text("value").value_or(""))},
                                {"variablesReference", 0}});
        }
    }
}

void GdbDriver::setVariable(const Json &request, const Json &arguments)
{
    const int64_t reference = arguments.value("variablesReference", int64_t{0});
    auto object = named_.find({reference, arguments.value("name", "")});
    if (find(arguments, "variablesReference") == nullptr || object == named_.end()) {
        fail(request, "no such variable (variables last until the program runs again)");
        return;
    }
    MiAnswer assigned =
        command("-var-assign " + object->second + " " + GdbSession::quoted(arguments.value("value", "")));
    if (!assigned.ok()) {
        fail(request, assigned.error());
        return;
    }
    channel_.respond(request, {{"value", std::string(assigned.record->text("value").value_or(""))}});
}

void GdbDriver::evaluate(const Json &request, const Json &arguments)
{
    const std::string expression = arguments.value("expression", "");
    std::string where;
    if (arguments.contains("frameId")) {
        const Handle *frame = find(arguments, "frameId");
        if (frame == nullptr || frame->kind != Handle::Kind::Frame) {
            fail(request, "no such frame (frames last until the program runs again)");
            return;
        }
        where = frameOptions(*frame);
    }
    std::string error;
    if (auto value = variableFor(expression, expression, where, 0, &error)) {
        channel_.respond(request, {{"result", (*value)["value"]},
                                   {"type", (*value)["type"]},
                                   {"variablesReference", (*value)["variablesReference"]}});
        return;
    }
    if (arguments.value("context", "") != "repl") {
        fail(request, error);
        return;
    }
    console(request, expression); // not an expression: a line for GDB's own command line
}

} // namespace local_debugger::dap
