// What a stopped debuggee shows through GDB: frames, scopes, variables as variable objects,
// registers, and expressions.

#include "host/dap/gdb_driver.h"

#include <algorithm>
#include <iterator>
#include <memory>
#include <sstream>

namespace local_debugger::dap {

namespace {

// How far a container's size is counted, and how many of its elements a variables request shows.
constexpr int64_t containerSizeShown = 100;
constexpr int64_t containerChildrenShown = 1000;

// What a console command wrote, as the words of each line.
std::vector<std::vector<std::string>> consoleTable(const std::string &text)
{
    std::vector<std::vector<std::string>> lines;
    std::istringstream input(text);
    for (std::string line; std::getline(input, line);) {
        std::istringstream words(line);
        lines.emplace_back(std::istream_iterator<std::string>(words), std::istream_iterator<std::string>());
    }
    return lines;
}

std::vector<std::string> split(const std::string &text, char separator)
{
    std::vector<std::string> parts;
    std::istringstream input(text);
    for (std::string part; std::getline(input, part, separator);)
        parts.push_back(part);
    return parts;
}

} // namespace

void GdbDriver::forgetHandles()
{
    handles_.clear();
    named_.clear();
    hexObjects_.clear();
    for (const auto &object : objects_)
        command("-var-delete " + GdbSession::quoted(object));
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
    if (frame.thread == 0) // the selected frame
        return "";
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

std::optional<Json> GdbDriver::variableFor(const std::string &label, const std::string &expression, const Handle *frame,
                                           int64_t parent, std::string *error)
{
    const Handle from = frame != nullptr ? *frame : Handle{Handle::Kind::Frame, 0, 0, "", false, 0};
    const std::string where = frameOptions(from);
    MiAnswer created = command("-var-create" + where + " - * " + GdbSession::quoted(expression));
    if (!created.ok()) {
        if (error != nullptr)
            *error = whyNot(expression, where, created.error());
        return std::nullopt;
    }
    const std::string object(created.record->text("name").value_or(""));
    objects_.push_back(object);
    named_[{parent, label}] = object;
    return shown(label, object, created.record->results, from);
}

std::string GdbDriver::whyNot(const std::string &expression, const std::string &where, const std::string &fallback)
{
    // whatis evaluates without side effects: nothing in the program runs for the reason.
    if (expression.find('\n') != std::string::npos)
        return fallback;
    MiAnswer typed = command("-interpreter-exec" + where + " console " + GdbSession::quoted("whatis " + expression));
    return typed.ok() ? fallback : typed.error();
}

Json GdbDriver::shown(const std::string &label, const std::string &object, const MiValue &fields, const Handle &from)
{
    std::string value(fields.text("value").value_or(""));
    int64_t children = miNumber(fields.text("numchild"));
    const std::string hint(fields.text("displayhint").value_or(""));
    const bool printer = fields.text("dynamic").value_or("") == "1";
    // A printer's children are known only once fetched, and its value is "{...}" when it has
    // any: a container shows its size instead, counted up to a bound since each child costs.
    if (printer && hint != "string") {
        const int64_t pairs = hint == "map" ? 2 : 1;
        children = printedChildren(object, pairs * containerSizeShown + 1);
        if (hint == "array" || hint == "map")
            value = children > pairs * containerSizeShown ? "size>" + std::to_string(containerSizeShown)
                                                          : "size=" + std::to_string(children / pairs);
    }
    if (!printer)
        value = formatted(object, value);
    const std::string type(fields.text("type").value_or(""));
    // An editor asks for an array's elements a page at a time once it knows how many there are.
    const int64_t elements =
        children > 0 && (printer ? hint == "array" && children <= containerSizeShown : type.ends_with(']')) ? children
                                                                                                            : 0;
    Json variable = {{"name", label},
                     {"value", value},
                     {"type", type},
                     {"variablesReference", children > 0 ? newHandle({Handle::Kind::Object, from.thread, from.level,
                                                                      object, printer, elements})
                                                         : int64_t{0}}};
    if (elements > 0)
        variable["indexedVariables"] = elements;
    if (const auto address = pointerAddress(type, value))
        variable["memoryReference"] = hexAddress(*address);
    return variable;
}

int64_t GdbDriver::printedChildren(const std::string &object, int64_t bound)
{
    MiAnswer listed =
        command("-var-list-children --no-values " + GdbSession::quoted(object) + " 0 " + std::to_string(bound));
    return listed.ok() ? miNumber(listed.record->text("numchild")) : 0;
}

std::optional<std::string> GdbDriver::children(const Handle &at, int64_t parent, Json &list, Page page)
{
    // A printer makes its children one by one, each slowly: a container shows its first ones.
    std::string range = at.printer ? " 0 " + std::to_string(containerChildrenShown) : "";
    // Both are at most 2^31-1 as requests are checked: the sum does not overflow.
    if (page && at.elements > 0 && !at.printer)
        return elementsPage(at, parent, list, page->first, std::min(page->second, at.elements - page->first));
    if (page)
        range = " " + std::to_string(page->first) + " " + std::to_string(page->first + page->second);
    MiAnswer answer = command("-var-list-children --all-values " + GdbSession::quoted(at.object) + range);
    if (!answer.ok())
        return answer.error();
    const MiValue *found = answer.record->find("children");
    if (found == nullptr)
        return std::nullopt;
    if (answer.record->text("displayhint").value_or("") == "map") {
        mapEntries(*found, parent, list, at);
        return std::nullopt;
    }
    for (const auto &entry : found->items) {
        const MiValue &child = entry.value;
        const std::string name(child.text("name").value_or(""));
        // An array's elements read as indexes, as a container's do.
        const std::string index(child.text("exp").value_or(""));
        const std::string label = at.elements > 0 && !at.printer ? "[" + index + "]" : index;
        // C++ access sections are not members: their members show in their place.
        if (!child.text("type") && (label == "public" || label == "private" || label == "protected")) {
            if (auto refused = children({Handle::Kind::Object, at.thread, at.level, name, false, 0}, parent, list))
                return refused;
            continue;
        }
        named_[{parent, label}] = name;
        list.push_back(shown(label, name, child, at));
    }
    return std::nullopt;
}

std::optional<std::string> GdbDriver::elementsPage(const Handle &at, int64_t parent, Json &list, int64_t first,
                                                   int64_t count)
{
    if (count <= 0)
        return std::nullopt;
    MiAnswer path = command("-var-info-path-expression " + GdbSession::quoted(at.object));
    if (!path.ok())
        return path.error();
    const std::string array = "(" + std::string(path.record->text("path_expr").value_or("")) + ")";
    // Sent at once and answered in order: the last answer comes after every other one.
    auto created = std::make_shared<std::vector<MiAnswer>>(static_cast<size_t>(count));
    for (int64_t i = 0; i < count; ++i) {
        const std::string text = "-var-create" + frameOptions(at) + " - * " +
                                 GdbSession::quoted(array + "[" + std::to_string(first + i) + "]");
        if (i + 1 < count)
            commandThen(text, [created, i](const MiAnswer &answer) { (*created)[static_cast<size_t>(i)] = answer; });
        else
            (*created)[static_cast<size_t>(i)] = command(text);
    }
    for (int64_t i = 0; i < count; ++i) {
        const MiAnswer &element = (*created)[static_cast<size_t>(i)];
        if (!element.ok()) // past the end, or the debugger has gone
            break;
        const std::string name(element.record->text("name").value_or(""));
        const std::string label = "[" + std::to_string(first + i) + "]";
        objects_.push_back(name);
        named_[{parent, label}] = name;
        list.push_back(shown(label, name, element.record->results, at));
    }
    return std::nullopt;
}

void GdbDriver::mapEntries(const MiValue &found, int64_t parent, Json &list, const Handle &at)
{
    for (size_t key = 0; key + 1 < found.items.size(); key += 2) {
        const MiValue &value = found.items[key + 1].value;
        const std::string label = "[" + std::string(found.items[key].value.text("value").value_or("")) + "]";
        const std::string name(value.text("name").value_or(""));
        named_[{parent, label}] = name;
        list.push_back(shown(label, name, value, at));
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
    hex_ = hexRequested(arguments);
    Json list = Json::array();
    std::optional<std::string> refused;
    const int64_t count = arguments.value("count", int64_t{0});
    const Page page = count > 0 ? Page({arguments.value("start", int64_t{0}), count}) : std::nullopt;
    // An array's elements are all indexed: its named ones are none.
    if (at.kind == Handle::Kind::Object && arguments.value("filter", "") == "named" && at.elements > 0) {
        channel_.respond(request, {{"variables", list}});
        return;
    }
    if (at.kind == Handle::Kind::Object)
        refused = children(at, reference, list, page);
    else if (at.kind == Handle::Kind::Registers || at.kind == Handle::Kind::RegisterGroup)
        refused = registers(at, list);
    else
        locals(at, reference, list);
    if (refused) {
        fail(request, *refused);
        return;
    }
    channel_.respond(request, {{"variables", list}});
}

void GdbDriver::locals(const Handle &at, int64_t parent, Json &list)
{
    MiAnswer answer = command("-stack-list-variables" + frameOptions(at) + " --no-values");
    const MiValue *vars = answer.ok() ? answer.record->find("variables") : nullptr;
    if (vars == nullptr)
        return;
    for (const auto &entry : vars->items) {
        const bool argument = entry.value.text("arg").value_or("") == "1";
        if (argument != (at.kind == Handle::Kind::Arguments))
            continue;
        const std::string name(entry.value.text("name").value_or(""));
        if (auto shownVariable = variableFor(name, name, &at, parent))
            list.push_back(*shownVariable);
    }
}

std::optional<std::string> GdbDriver::loadRegisterGroups()
{
    if (!registerGroups_.empty())
        return std::nullopt;
    // The groups GDB shows its users ("all" is every register at once), then each register's
    // number and groups: two questions for the whole session.
    MiAnswer groups = consoleCommand("maint print reggroups");
    MiAnswer members = groups.ok() ? consoleCommand("maint print register-groups") : groups;
    if (!members.ok())
        return members.error();
    for (const auto &words : consoleTable(groups.console)) {
        if (words.size() == 2 && words[1] == "user" && words[0] != "all")
            registerGroups_.push_back({words[0], {}});
    }
    for (const auto &words : consoleTable(members.console)) {
        // Name, number, relative number, offset, size, type, then the groups when it has any.
        if (words.size() < 7 || words[0] == "''" || words[1].find_first_not_of("0123456789") != std::string::npos)
            continue;
        const int64_t number = miNumber(words[1]);
        registerNames_[number] = words[0];
        for (const auto &group : split(words.back(), ',')) {
            for (auto &[name, numbers] : registerGroups_) {
                if (name == group)
                    numbers.push_back(number);
            }
        }
    }
    std::erase_if(registerGroups_, [](const auto &group) { return group.second.empty(); });
    return registerGroups_.empty() ? std::optional<std::string>("GDB names no register groups") : std::nullopt;
}

std::optional<std::string> GdbDriver::registers(const Handle &at, Json &list)
{
    if (auto problem = loadRegisterGroups())
        return problem;
    if (at.kind == Handle::Kind::Registers) {
        for (const auto &[name, numbers] : registerGroups_)
            list.push_back(
                {{"name", name},
                 {"value", ""},
                 {"variablesReference", newHandle({Handle::Kind::RegisterGroup, at.thread, at.level, name})}});
        return std::nullopt;
    }
    std::string wanted;
    for (const auto &[name, numbers] : registerGroups_) {
        if (name != at.object)
            continue;
        for (int64_t number : numbers)
            wanted += " " + std::to_string(number);
    }
    MiAnswer values = command("-data-list-register-values" + frameOptions(at) + " N" + wanted);
    if (!values.ok())
        return values.error();
    if (const MiValue *found = values.record->find("register-values")) {
        for (const auto &entry : found->items)
            list.push_back({{"name", registerNames_[miNumber(entry.value.text("number"))]},
                            {"value", std::string(entry.value.text("value").value_or(""))},
                            {"variablesReference", 0}});
    }
    return std::nullopt;
}

void GdbDriver::setVariable(const Json &request, const Json &arguments)
{
    const int64_t reference = arguments.value("variablesReference", int64_t{0});
    auto object = named_.find({reference, arguments.value("name", "")});
    if (find(arguments, "variablesReference") == nullptr || object == named_.end()) {
        fail(request, "no such variable (variables last until the program runs again)");
        return;
    }
    MiAnswer assigned = command("-var-assign " + GdbSession::quoted(object->second) + " " +
                                GdbSession::quoted(arguments.value("value", "")));
    if (!assigned.ok()) {
        fail(request, assigned.error());
        return;
    }
    channel_.respond(request, {{"value", std::string(assigned.record->text("value").value_or(""))}});
}

void GdbDriver::evaluate(const Json &request, const Json &arguments)
{
    const std::string expression = arguments.value("expression", "");
    std::string error;
    const std::optional<Json> value = requestedValue(request, arguments, error);
    if (value) {
        Json body = {{"result", (*value)["value"]},
                     {"type", (*value)["type"]},
                     {"variablesReference", (*value)["variablesReference"]}};
        for (const char *field : {"indexedVariables", "memoryReference"}) {
            if (value->contains(field))
                body[field] = (*value)[field];
        }
        channel_.respond(request, body);
        return;
    }
    if (error.empty()) // its frame has gone, and it is answered
        return;
    if (arguments.value("context", "") != "repl") {
        fail(request, error);
        return;
    }
    console(request, expression); // not an expression: a line for GDB's own command line
}

} // namespace local_debugger::dap
