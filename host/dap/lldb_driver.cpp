// An LLDB back end behind the adapter: plain command lines for loading and running, structured
// requests (JSON lines answered by result records with a body) for everything an editor shows.

#include <atomic>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "host/dap/breakpoint_request.h"
#include "host/dap/editor_terminal.h"
#include "host/dap/program_lists.h"
#include "host/dap/completions.h"
#include "host/dap/data_breakpoints.h"
#include "host/dap/launch_values.h"
#include "host/dap/line_driver.h"
#include "host/output_text.h"
#include "host/session/lldb_session.h"

namespace local_debugger::dap {

namespace {

using namespace std::chrono_literals;

struct Result {
    std::optional<LldbRecord> record; // the result record; nullopt: no answer
    std::string refusal;              // why the line was not sent
    bool ok() const { return record && record->ok(); }
    std::string error() const
    {
        if (!refusal.empty())
            return refusal;
        if (!record)
            return "the debugger has gone";
        std::string text = record->text("error");
        while (!text.empty() && text.back() == '\n')
            text.pop_back();
        return text.empty() ? "failed" : text;
    }
    Json body() const { return record ? record->fields.value("body", Json::object()) : Json::object(); }
    std::string output() const { return record ? record->text("output") : ""; }
};

class LldbDriver : public LineDriver<Result> {
public:
    explicit LldbDriver(DapChannel &channel) : LineDriver(channel) {}
    ~LldbDriver() override { work_.stop(); }

    void pause() override;

private:
    // ---- starting and finishing, on the adapter's worker thread
    std::optional<std::string> attachTo(int64_t pid) override;
    std::optional<std::string> load(const Json &arguments) override;
    void endAttached(bool terminate) override { line(terminate ? "process kill" : "process detach", 10s); }
    std::optional<std::string> rerun(const Json &launch) override;

    // ---- from the reading thread, under lock_
    void read(std::string_view text) override;

    void process(const LldbRecord &record);

    void debuggeeOutput(const std::string &text)
    {
        if (!text.empty())
            channel_.event("output", {{"category", "stdout"}, {"output", text}});
    }

    // ---- lines to the back end, from any thread but the reading one. The back end numbers
    // lines as it reads them, so numbering and sending go together.
    Result line(const std::string &text, std::chrono::milliseconds timeout = 30s,
                AwaitedAnswers<Result>::Then then = {})
    {
        return exchange([&] { return session_.line(text); }, timeout, std::move(then));
    }

    Result ask(const Json &structured, AwaitedAnswers<Result>::Then then = {});

    template <typename Frame>
    Result exchange(Frame frame, std::chrono::milliseconds timeout, AwaitedAnswers<Result>::Then then)
    {
        const bool waits = !then;
        uint64_t seq = 0;
        {
            std::lock_guard<std::mutex> sending(sendLock_);
            auto framed = frame();
            if (!framed) {
                Result refused{std::nullopt, "a command line cannot hold a newline"};
                if (then)
                    then(refused);
                return refused;
            }
            seq = framed->seq;
            {
                std::lock_guard<std::mutex> guard(lock_);
                answers_.expect(seq, std::move(then));
            }
            client_->sendData("send", std::vector<uint8_t>(framed->bytes.begin(), framed->bytes.end()));
        }
        if (!waits)
            return {};
        std::unique_lock<std::mutex> guard(lock_);
        return answers_.wait(guard, seq, timeout);
    }

    template <typename Shape> void forward(const Json &request, const Json &structured, Shape shape)
    {
        Result result = ask(structured);
        if (!result.ok()) {
            channel_.fail(request, result.error());
            return;
        }
        channel_.respond(request, shape(result.body()));
    }

    // ---- request handlers, on the adapter's worker thread
    void configurationDone(const Json &request) override;

    // Answered where the back end's answer arrives: a step wakes no thread of the adapter's but
    // the one that reads the back end.
    void step(const Json &request, Step kind, int64_t thread) override;

    void threads(const Json &request) override;

    void modules(const Json &request, const Json &arguments) override;

    void loadedSources(const Json &request) override;

    static Json placed(const Json &body, const std::string &path);

    // Those that cannot be set are left out of what the back end is given, and answered
    // unverified with the reason in their place.
    static Json given(const std::vector<BreakpointRequest> &allWanted, const char *key);

    static Json answered(const std::vector<BreakpointRequest> &allWanted, const Json &placedBody);

    void setBreakpoints(const Json &request, const Json &arguments) override;

    void setFunctionBreakpoints(const Json &request, const Json &arguments) override;

    // ---- log points, exception breakpoints and faults: the hooks of LineDriver
    std::string valueAt(int64_t thread, const std::string &expression) override;
    std::optional<std::string> resumeAfterLog(int64_t thread) override;
    std::string faultDescription(const DebuggeeStop &stop) override;
    // The throw breakpoint stops at __cxa_throw's entry, whose second argument is the type.
    std::string thrownTypeName(int64_t thread) override
    {
        return valueAt(thread, "(const char *) ((void **) $arg2)[1]");
    }
    Placed catchExceptions(bool thrown) override;
    void deleteBreakpoints(const std::vector<int64_t> &ids) override;

    // DAP frame ids name a thread and a frame index together, until the debuggee runs again.
    // Requests carry frame ids from 1 and thread ids below 2^31, so neither way overflows.
    int64_t frameId(int64_t thread, int64_t index) { return thread * 100000 + index + 1; }
    std::pair<int64_t, int64_t> frameOf(int64_t id) { return {(id - 1) / 100000, (id - 1) % 100000}; }

    void stackTrace(const Json &request, const Json &arguments) override;

    void scopes(const Json &request, const Json &arguments) override;

    // A back end's variable as the editor's; an array-like one's handle is kept as an array's.
    Json shown(const Json &variable);

    // The handles the back end gave to array-like values since the debuggee last ran.
    std::set<int64_t> &arrays();

    void variables(const Json &request, const Json &arguments) override;

    void setVariable(const Json &request, const Json &arguments) override;

    void evaluate(const Json &request, const Json &arguments) override;

    // The back end's format for what a request asks.
    static const char *format(const Json &arguments) { return hexRequested(arguments) ? "hex" : "natural"; }

    // The thread and frame of a request's frameId, into a structured request.
    void placeIn(Json &structured, const Json &arguments)
    {
        if (!arguments.contains("frameId"))
            return;
        const auto [thread, index] = frameOf(arguments.value("frameId", int64_t{0}));
        structured["thread"] = thread;
        structured["frame"] = index;
    }

    void setExpression(const Json &request, const Json &arguments) override;

    void completions(const Json &request, const Json &arguments) override;

    // The back end's completions of a command line: whole words, each replacing the last word.
    std::vector<std::string> completed(const std::string &line);

    void dataBreakpointInfo(const Json &request, const Json &arguments) override;

    void setDataBreakpoints(const Json &request, const Json &arguments) override;

    // The back end numbers the lines it reads: one command line per line sent keeps its answers
    // in step with the lines.
    void console(const Json &request, const std::string &input) override;

    // ---- memory and instructions: the back end's requests
    Bytes readBytes(uint64_t address, uint64_t count) override;
    std::optional<std::string> writeBytes(uint64_t address, const std::string &bytes) override;
    std::vector<Instruction> instructionsIn(uint64_t start, uint64_t end, uint64_t most) override;
    void setInstructionBreakpoints(const Json &request, const Json &arguments) override;

    std::mutex sendLock_;     // numbering and sending go together
    LldbSession session_;     // under sendLock_
    Json launch_;             // the launch request, from the editor's launch
    OutputText output_{true}; // the debuggee's terminal, read under lock_
    std::string lastSignal_;  // that of the last stop, read under lock_
    // The handles of array-like values, on the worker; they name nothing once the debuggee runs.
    std::set<int64_t> arrays_;
    std::atomic<uint64_t> runs_ = 0;
    // Under lock_: the program's pid, and that of one a restart replaced, whose end the back end
    // tells but which is not the session's.
    int64_t pid_ = 0;
    int64_t replacedPid_ = 0;
    uint64_t arraysRun_ = 0;
};

std::optional<std::string> LldbDriver::attachTo(int64_t pid)
{
    Result attached = line("process attach -p " + std::to_string(pid));
    return attached.ok() ? std::nullopt : std::optional(attached.error());
}

std::optional<std::string> LldbDriver::load(const Json &arguments)
{
    if (auto problem = refusedLaunchValue(arguments, true))
        return "cannot launch: " + *problem;
    Result created = line("target create " + *LldbSession::quoted(arguments.value("program", "")));
    if (!created.ok())
        return "cannot load the program: " + created.error();
    // Carried as data at configurationDone: LLDB's command line would rewrite them.
    launch_ = {{"request", "launch"}, {"arguments", programArguments(arguments)}};
    if (arguments.contains("cwd") && arguments["cwd"].is_string() && !arguments["cwd"].get<std::string>().empty())
        launch_["cwd"] = arguments["cwd"];
    launch_["stopAtEntry"] = stopOnEntry_;
    if (!programTerminal_.empty())
        launch_["terminal"] = programTerminal_;
    return std::nullopt;
}

std::optional<std::string> LldbDriver::rerun(const Json &launch)
{
    if (auto problem = refusedLaunchValue(launch, true))
        return *problem;
    if (launch.contains("args"))
        launch_["arguments"] = programArguments(launch);
    if (launch.contains("cwd") && launch["cwd"].is_string() && !launch["cwd"].get<std::string>().empty())
        launch_["cwd"] = launch["cwd"];
    launch_["stopAtEntry"] = stopOnEntry_;
    {
        std::lock_guard<std::mutex> guard(lock_);
        replacedPid_ = pid_;
    }
    // Ended first, as a command: the script back end can fail when its launch kills the program.
    line("process kill", 10s);
    Result launched = ask(launch_);
    return launched.ok() ? std::nullopt : std::optional(launched.error());
}

void LldbDriver::pause()
{
    pauseRequested_ = true;
    client_->sendCommand("break");
}

void LldbDriver::read(std::string_view text)
{
    auto record = LldbSession::read(text);
    if (!record)
        return;
    switch (record->kind) {
    case LldbRecord::Kind::Result:
        answers_.deliver(record->seq(), [&](Result &result) { result.record = std::move(record); });
        break;
    case LldbRecord::Kind::Output:
        debuggeeOutput(output_.take(record->text("data")));
        break;
    case LldbRecord::Kind::Error:
        channel_.event("output", {{"category", "console"}, {"output", record->text("message") + "\n"}});
        break;
    case LldbRecord::Kind::Process:
        process(*record);
        break;
    case LldbRecord::Kind::Other:
        break;
    }
}

void LldbDriver::process(const LldbRecord &record)
{
    const std::string state = record.text("state");
    const int64_t pid = record.fields.value("pid", int64_t{0});
    if (pid == replacedPid_ && pid != 0) {
        debuggeeOutput(output_.rest());
        return;
    }
    pid_ = pid;
    if (state == "running" || state == "launching") {
        ++runs_;
        const bool requested = resumeRequested_.exchange(false);
        if (!running_.exchange(true) && !requested)
            channel_.event("continued", {{"threadId", 1}, {"allThreadsContinued", true}});
        return;
    }
    running_ = false;
    answers_.notify();
    if (state == "exited" || state == "crashed" || state == "detached") {
        debuggeeOutput(output_.rest());
        if (state == "exited")
            channel_.event("exited", {{"exitCode", LldbSession::exitCode(record, lastSignal_)}});
        sendTerminated();
        return;
    }
    if (state != "stopped")
        return;
    const DebuggeeStop stop = record.stop();
    lastSignal_ = stop.signal;
    told(stop);
}

Result LldbDriver::ask(const Json &structured, AwaitedAnswers<Result>::Then then)
{
    return exchange([&] { return std::optional(session_.request(structured)); }, 30s, std::move(then));
}

void LldbDriver::configurationDone(const Json &request)
{
    resumeRequested_ = true;
    if (attach_) {
        step(request, Step::Continue, 1);
        return;
    }
    entryPending_ = stopOnEntry_;
    Result launched = ask(launch_);
    if (!launched.ok() && launch_.contains("terminal") &&
        launched.error().find(launch_["terminal"].get<std::string>()) != std::string::npos) {
        // The back end cannot open the editor's terminal: the program gets LLDB's, as without one.
        tellNoEditorTerminal(channel_, launched.error());
        launch_.erase("terminal");
        launched = ask(launch_);
    }
    if (!launched.ok()) {
        resumeRequested_ = false;
        channel_.fail(request, "cannot run the program: " + launched.error());
        return;
    }
    channel_.respond(request);
}

void LldbDriver::step(const Json &request, Step kind, int64_t thread)
{
    static const char *const kinds[] = {"continue", "over", "into", "out", "overInstruction", "intoInstruction"};
    const Json body = kind == Step::Continue ? Json{{"allThreadsContinued", true}} : Json::object();
    resumeRequested_ = true;
    const Json structured = {{"request", "step"}, {"kind", kinds[static_cast<int>(kind)]}, {"thread", thread}};
    ask(structured, [this, request, body](const Result &result) {
        if (result.ok()) {
            channel_.respond(request, body);
            return;
        }
        resumeRequested_ = false;
        channel_.fail(request, result.error());
    });
}

void LldbDriver::threads(const Json &request)
{
    forward(request, {{"request", "threads"}}, [](const Json &body) { return body; });
}

void LldbDriver::modules(const Json &request, const Json &arguments)
{
    forward(request, {{"request", "modules"}}, [&](const Json &body) {
        Json list = Json::array();
        for (const auto &module : body.value("modules", Json::array())) {
            Json out = {{"id", module.value("path", "")},
                        {"name", module.value("name", "")},
                        {"path", module.value("path", "")},
                        {"symbolStatus", module.value("symbols", false) ? "Symbols loaded" : "Symbols not loaded"}};
            if (module.contains("address"))
                out["addressRange"] = module["address"];
            list.push_back(out);
        }
        return modulesPage(list, arguments);
    });
}

void LldbDriver::loadedSources(const Json &request)
{
    forward(request, {{"request", "sources"}}, [](const Json &body) {
        SourceList sources;
        for (const auto &path : body.value("files", Json::array())) {
            if (path.is_string() && !sources.add(path.get<std::string>()))
                break;
        }
        return Json{{"sources", sources.list()}};
    });
}

Json LldbDriver::placed(const Json &body, const std::string &path)
{
    Json list = Json::array();
    for (const auto &breakpoint : body.value("breakpoints", Json::array())) {
        Json out = {{"verified", breakpoint.value("verified", false)}};
        if (breakpoint.contains("id"))
            out["id"] = breakpoint["id"];
        if (breakpoint.contains("line"))
            out["line"] = breakpoint["line"];
        if (breakpoint.contains("message"))
            out["message"] = breakpoint["message"];
        if (!path.empty())
            out["source"] = {{"path", path}};
        list.push_back(out);
    }
    return {{"breakpoints", list}};
}

Json LldbDriver::given(const std::vector<BreakpointRequest> &allWanted, const char *key)
{
    Json list = Json::array();
    for (const auto &wanted : allWanted) {
        if (wanted.problem)
            continue;
        Json to = {{key, wanted.where}};
        if (!wanted.condition.empty())
            to["condition"] = wanted.condition;
        if (wanted.ignoreCount)
            to["ignoreCount"] = *wanted.ignoreCount;
        list.push_back(to);
    }
    return list;
}

Json LldbDriver::answered(const std::vector<BreakpointRequest> &allWanted, const Json &placedBody)
{
    const Json &placedList = placedBody["breakpoints"];
    Json list = Json::array();
    size_t next = 0;
    for (const auto &wanted : allWanted) {
        if (wanted.problem)
            list.push_back(wanted.unverified());
        else if (next < placedList.size())
            list.push_back(placedList[next++]);
    }
    return {{"breakpoints", list}};
}

void LldbDriver::setBreakpoints(const Json &request, const Json &arguments)
{
    const std::string path = arguments.value("source", Json::object()).value("path", "");
    if (path.empty()) {
        channel_.fail(request, "setBreakpoints needs source.path");
        return;
    }
    const auto lines = breakpointRequests(arguments, "line", 0);
    forward(request, {{"request", "breakpoints"}, {"file", path}, {"lines", given(lines, "line")}},
            [&](const Json &body) {
                Json answers = answered(lines, placed(body, path));
                std::map<int64_t, LogMessage> logPoints;
                for (size_t at = 0; at < lines.size() && at < answers["breakpoints"].size(); ++at) {
                    if (lines[at].log && answers["breakpoints"][at].contains("id"))
                        logPoints.emplace(answers["breakpoints"][at]["id"].get<int64_t>(), *lines[at].log);
                }
                replaceLogPoints(path, std::move(logPoints));
                return answers;
            });
}

std::string LldbDriver::valueAt(int64_t thread, const std::string &expression)
{
    const Result value = ask({{"request", "evaluate"}, {"expression", expression}, {"thread", thread}, {"frame", 0}});
    return value.ok() ? value.body().value("value", "") : value.error();
}

std::optional<std::string> LldbDriver::resumeAfterLog(int64_t thread)
{
    const Result resumed = ask({{"request", "step"}, {"kind", "continue"}, {"thread", thread}});
    return resumed.ok() ? std::nullopt : std::optional(resumed.error());
}

// LLDB's stop description names the fault's address: "signal SIGSEGV: invalid address (fault
// address: 0x0)", the end of its thread's line in `thread info`.
std::string LldbDriver::faultDescription(const DebuggeeStop &stop)
{
    const std::string info = line("thread info " + std::to_string(stop.thread)).output();
    const std::string_view marker = "stop reason = ";
    const size_t at = info.find(marker);
    if (at == std::string::npos)
        return stop.description;
    const size_t from = at + marker.size();
    return info.substr(from, info.find('\n', from) - from);
}

LldbDriver::Placed LldbDriver::catchExceptions(bool thrown)
{
    const Result set =
        line(thrown ? "breakpoint set -E c++ -w true -h false" : "breakpoint set -E c++ -w false -h true");
    const std::string text = set.output(); // "Breakpoint 3: ..."
    if (!set.ok() || !text.starts_with("Breakpoint "))
        return {0, set.ok() ? "LLDB gave no breakpoint" : set.error()};
    return {std::strtoll(text.c_str() + std::string_view("Breakpoint ").size(), nullptr, 10), ""};
}

void LldbDriver::deleteBreakpoints(const std::vector<int64_t> &ids)
{
    std::string text = "breakpoint delete";
    for (int64_t id : ids)
        text.append(" ").append(std::to_string(id));
    line(text);
}

void LldbDriver::setFunctionBreakpoints(const Json &request, const Json &arguments)
{
    const auto functions = breakpointRequests(arguments, "name", "");
    forward(request, {{"request", "functionBreakpoints"}, {"functions", given(functions, "name")}},
            [&](const Json &body) {
                std::lock_guard<std::mutex> guard(lock_);
                functionBreakpointIds_.clear();
                for (const auto &breakpoint : body.value("breakpoints", Json::array()))
                    functionBreakpointIds_.insert(breakpoint.value("id", int64_t{0}));
                return answered(functions, placed(body, ""));
            });
}

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
    Result result = ask(structured);
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
    const Result result = ask({{"request", "complete"}, {"line", text}});
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

void LldbDriver::dataBreakpointInfo(const Json &request, const Json &arguments)
{
    const std::string name = arguments.value("name", "");
    Json structured = {{"request", "locate"}, {"name", name}};
    if (arguments.contains("variablesReference"))
        structured["handle"] = arguments["variablesReference"];
    else
        placeIn(structured, arguments);
    const Result result = ask(structured);
    const Json body = result.body();
    if (!result.ok() || !body.value("address", Json()).is_number_unsigned()) {
        const std::string why = result.error();
        channel_.respond(request, noWatchInfo(why.starts_with("error: ") ? why.substr(7) : why));
        return;
    }
    channel_.respond(request, watchInfo(body["address"].get<uint64_t>(), body.value("size", uint64_t{0}), name));
}

void LldbDriver::setDataBreakpoints(const Json &request, const Json &arguments)
{
    const std::vector<DataBreakpointRequest> allWanted = dataBreakpointRequests(arguments);
    Json given = Json::array();
    for (const auto &wanted : allWanted) {
        if (wanted.problem)
            continue;
        Json to = {{"address", wanted.address}, {"size", wanted.size}, {"access", wanted.access}};
        if (!wanted.condition.empty())
            to["condition"] = wanted.condition;
        if (wanted.ignoreCount)
            to["ignoreCount"] = *wanted.ignoreCount;
        given.push_back(to);
    }
    forward(request, {{"request", "watchpoints"}, {"watchpoints", given}}, [&](const Json &body) {
        const Json placedList = body.value("watchpoints", Json::array());
        Json list = Json::array();
        size_t next = 0;
        for (const auto &wanted : allWanted)
            list.push_back(wanted.problem || next >= placedList.size() ? wanted.unverified() : placedList[next++]);
        return Json{{"breakpoints", list}};
    });
}

void LldbDriver::console(const Json &request, const std::string &input)
{
    std::string output;
    for (const auto &text : consoleLines(input)) {
        Result ran = line(text);
        if (!ran.ok()) {
            channel_.fail(request, output + ran.error());
            return;
        }
        output += ran.output();
    }
    channel_.respond(request, {{"result", output}, {"variablesReference", 0}});
}

LldbDriver::Bytes LldbDriver::readBytes(uint64_t address, uint64_t count)
{
    const Result read = ask({{"request", "readMemory"}, {"address", address}, {"count", count}});
    if (!read.ok())
        return {"", read.error()};
    std::string bytes = fromHex(read.body().value("data", "")).value_or("");
    return {bytes, bytes.empty() ? "LLDB read nothing at " + hexAddress(address) : ""};
}

std::optional<std::string> LldbDriver::writeBytes(uint64_t address, const std::string &bytes)
{
    const Result written = ask({{"request", "writeMemory"}, {"address", address}, {"data", toHex(bytes)}});
    return written.ok() ? std::nullopt : std::optional(written.error());
}

std::vector<Instruction> LldbDriver::instructionsIn(uint64_t start, uint64_t end, uint64_t most)
{
    const Result listed = ask({{"request", "disassemble"}, {"address", start}, {"end", end}, {"count", most}});
    std::vector<Instruction> instructions;
    for (const auto &found : listed.body().value("instructions", Json::array())) {
        Instruction instruction;
        instruction.address = found.value("address", uint64_t{0});
        instruction.bytes = fromHex(found.value("bytes", "")).value_or("");
        instruction.text = found.value("text", "");
        instruction.symbol = found.value("symbol", "");
        instruction.path = found.value("file", "");
        instruction.line = found.value("line", int64_t{0});
        instructions.push_back(std::move(instruction));
    }
    return instructions;
}

void LldbDriver::setInstructionBreakpoints(const Json &request, const Json &arguments)
{
    const auto wanted = instructionBreakpointRequests(arguments);
    forward(request, {{"request", "instructionBreakpoints"}, {"addresses", given(wanted, "address")}},
            [&](const Json &body) {
                Json answers = answered(wanted, placed(body, ""));
                std::lock_guard<std::mutex> guard(lock_);
                instructionBreakpointIds_.clear();
                for (size_t at = 0; at < wanted.size() && at < answers["breakpoints"].size(); ++at) {
                    Json &answer = answers["breakpoints"][at];
                    if (answer.contains("id"))
                        instructionBreakpointIds_.insert(answer["id"].get<int64_t>());
                    if (!wanted[at].problem)
                        answer["instructionReference"] = hexAddress(wanted[at].where.get<uint64_t>());
                }
                return answers;
            });
}

} // namespace

std::unique_ptr<DebuggerDriver> lldbDriver(DapChannel &channel)
{
    return std::make_unique<LldbDriver>(channel);
}

} // namespace local_debugger::dap
