// The LLDB driver's frames, scopes, variables, evaluation, assignments and completions.

#include "host/dap/completions.h"
#include "host/dap/lldb_driver.h"

namespace local_debugger::dap {

using namespace std::chrono_literals;

void LldbDriver::stackTrace(const Json &request, const Json &arguments)
{
    const int64_t thread = arguments.value("threadId", int64_t{1});
    Json structured = {{"request", "frames"}, {"thread", thread}, {"start", arguments.value("startFrame", 0)}};
    if (arguments.value("levels", 0) > 0)
        structured["count"] = arguments.value("levels", 0);
    forward(request, structured, [&](const Json &body) {
        Json frames = Json::array();
        for (const auto &frame : body.value("frames", Json::array())) {
            Json out = {{"id", frameId(thread, frame.value("index", int64_t{0}))},
                        {"name", frame.value("function", "??")},
                        {"line", frame.value("line", 0)},
                        {"column", frame.value("column", 0)}};
            if (frame.contains("file")) {
                const std::string path = frame.value("file", "");
                out["source"] = {{"name", path.substr(path.rfind('/') + 1)}, {"path", path}};
            }
            if (frame.contains("address"))
                out["instructionPointerReference"] = frame["address"];
            frames.push_back(out);
        }
        return Json{{"stackFrames", frames}, {"totalFrames", body.value("total", frames.size())}};
    });
}

void LldbDriver::scopes(const Json &request, const Json &arguments)
{
    const auto [thread, index] = frameOf(arguments.value("frameId", int64_t{0}));
    forward(request, {{"request", "scopes"}, {"thread", thread}, {"frame", index}}, [](const Json &body) {
        Json scopes = Json::array();
        for (const auto &scope : body.value("scopes", Json::array())) {
            const std::string name = scope.value("name", "");
            scopes.push_back({{"name", name},
                              {"presentationHint", name == "Locals"      ? "locals"
                                                   : name == "Arguments" ? "arguments"
                                                                         : "registers"},
                              {"variablesReference", scope.value("handle", 0)},
                              {"expensive", name == "Registers"}});
        }
        return Json{{"scopes", scopes}};
    });
}

Json LldbDriver::shown(const Json &variable)
{
    const int64_t handle = variable.value("handle", int64_t{0});
    Json out = {{"name", variable.value("name", "")},
                {"value", variable.value("value", "")},
                {"type", variable.value("type", "")},
                {"variablesReference", handle}};
    // An editor asks for an array's elements a page at a time once it knows how many there are.
    const int64_t elements = variable.value("elements", int64_t{0});
    if (elements > 0) {
        out["indexedVariables"] = elements;
        arrays().insert(handle);
    }
    if (variable.contains("address"))
        out["memoryReference"] = variable["address"];
    return out;
}

std::set<int64_t> &LldbDriver::arrays()
{
    if (arraysRun_ != runs_) {
        arrays_.clear();
        arraysRun_ = runs_;
    }
    return arrays_;
}

void LldbDriver::variables(const Json &request, const Json &arguments)
{
    const int64_t handle = arguments.value("variablesReference", int64_t{0});
    // An array's elements are all indexed: its named ones are none.
    if (arguments.value("filter", "") == "named" && arrays().contains(handle)) {
        channel_.respond(request, {{"variables", Json::array()}});
        return;
    }
    Json structured = {{"request", "variables"}, {"handle", handle}, {"format", format(arguments)}};
    if (const int64_t count = arguments.value("count", int64_t{0}); count > 0) {
        structured["start"] = arguments.value("start", int64_t{0});
        structured["count"] = count;
    }
    forward(request, structured, [this](const Json &body) {
        Json list = Json::array();
        for (const auto &variable : body.value("variables", Json::array()))
            list.push_back(shown(variable));
        return Json{{"variables", list}};
    });
}

void LldbDriver::setVariable(const Json &request, const Json &arguments)
{
    forward(request,
            {{"request", "setVariable"},
             {"handle", arguments.value("variablesReference", 0)},
             {"name", arguments.value("name", "")},
             {"value", arguments.value("value", "")}},
            [](const Json &body) {
                return Json{{"value", body.value("value", "")}};
            });
}

void LldbDriver::evaluate(const Json &request, const Json &arguments)
{
    const std::string expression = arguments.value("expression", "");
    Json structured = {{"request", "evaluate"}, {"expression", expression}, {"format", format(arguments)}};
    placeIn(structured, arguments);
    LldbAnswer result = ask(structured);
    if (result.ok()) {
        const Json shownValue = shown(result.body());
        Json body = {{"result", shownValue["value"]},
                     {"type", shownValue["type"]},
                     {"variablesReference", shownValue["variablesReference"]}};
        for (const char *field : {"indexedVariables", "memoryReference"}) {
            if (shownValue.contains(field))
                body[field] = shownValue[field];
        }
        channel_.respond(request, body);
        return;
    }
    if (arguments.value("context", "") != "repl") {
        channel_.fail(request, result.error());
        return;
    }
    console(request, expression); // not an expression: a line for LLDB's own command line
}

void LldbDriver::setExpression(const Json &request, const Json &arguments)
{
    Json structured = {{"request", "setExpression"},
                       {"expression", arguments.value("expression", "")},
                       {"value", arguments.value("value", "")},
                       {"format", format(arguments)}};
    placeIn(structured, arguments);
    forward(request, structured, [this](const Json &body) {
        const Json shownValue = shown(body);
        Json answer = {{"value", shownValue["value"]},
                       {"type", shownValue["type"]},
                       {"variablesReference", shownValue["variablesReference"]}};
        if (shownValue.contains("indexedVariables"))
            answer["indexedVariables"] = shownValue["indexedVariables"];
        return answer;
    });
}

std::vector<std::string> LldbDriver::completed(const std::string &text)
{
    const LldbAnswer result = ask({{"request", "complete"}, {"line", text}});
    std::vector<std::string> words;
    if (result.ok() && result.record->fields.contains("matches"))
        for (const auto &match : result.record->fields["matches"])
            if (match.is_string())
                words.push_back(match.get<std::string>());
    return words;
}

void LldbDriver::completions(const Json &request, const Json &arguments)
{
    const std::string text = textBeforeCursor(arguments, columnsFrom1_);
    const size_t from = wordStart(text, " \t\r\n");
    // LLDB completes the line as a command; frame variable's argument completes the names of
    // the frame's variables, so that a bare variable's name completes too.
    std::vector<std::string> words = completed(text);
    for (auto &word : completed("frame variable " + text.substr(from)))
        words.push_back(std::move(word));
    channel_.respond(request, {{"targets", completionTargets(words, text, from, columnsFrom1_)}});
}

} // namespace local_debugger::dap
