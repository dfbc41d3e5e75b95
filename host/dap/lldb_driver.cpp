// An LLDB back end behind the adapter: plain command lines for loading and running, structured
// requests (JSON lines answered by result records with a body) for everything an editor shows.

#include <atomic>
#include <functional>
#include <condition_variable>
#include <map>
#include <set>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/command_quoting.h"
#include "host/dap/launch_values.h"
#include "host/dap/line_driver.h"

namespace local_debugger::dap {

namespace {

using namespace std::chrono_literals;

struct Result {
    bool answered = false;
    Json record; // the result record
    bool ok() const { return answered && record.value("ok", false); }
    std::string error() const
    {
        if (!answered)
            return "the debugger has gone";
        std::string text = record.value("error", "");
        while (!text.empty() && text.back() == '\n')
            text.pop_back();
        return text.empty() ? "failed" : text;
    }
    Json body() const { return record.value("body", Json::object()); }
};

class LldbDriver : public LineDriver<Result> {
public:
    explicit LldbDriver(DapChannel &channel) : LineDriver(channel) {}

    void start(ServiceClient &client, const Json &request) override
    {
        client_ = &client;
        const Json arguments = request.value("arguments", Json::object());
        attach_ = request.value("command", "") == "attach";
        if (attach_) {
            attaching_ = true;
            Result attached = line("process attach -p " + std::to_string(arguments.value("pid", 0)));
            if (!attached.ok()) {
                attaching_ = false;
                channel_.fail(request, "cannot attach: " + attached.error());
                return;
            }
        } else {
            if (auto problem = refusedLaunchValue(arguments, true)) {
                channel_.fail(request, "cannot launch: " + *problem);
                return;
            }
            Result created = line("target create " + *lldbQuoted(arguments.value("program", "")));
            if (!created.ok()) {
                channel_.fail(request, "cannot load the program: " + created.error());
                return;
            }
            // Carried as data at configurationDone: LLDB's command line would rewrite them.
            launch_ = {{"request", "launch"}, {"arguments", programArguments(arguments)}};
            if (arguments.contains("cwd") && arguments["cwd"].is_string() && !arguments["cwd"].get<std::string>().empty())
                launch_["cwd"] = arguments["cwd"];
            stopOnEntry_ = arguments.value("stopOnEntry", false);
            launch_["stopAtEntry"] = stopOnEntry_;
        }
        channel_.respond(request);
        channel_.event("initialized");
    }

    void pause() override
    {
        pauseRequested_ = true;
        client_->sendCommand("break");
    }

    void finish(bool terminate) override
    {
        if (!attach_ || !client_)
            return; // a launched debuggee ends with the back end
        if (running_) {
            pause();
            std::unique_lock<std::mutex> guard(lock_);
            answers_.waitUntil(guard, 5s, [&] { return !running_; });
        }
        line(terminate ? "process kill" : "process detach", 10s);
    }

private:
    // ---- from the reading thread, under lock_
    void read(std::string_view text) override
    {
        Json record = Json::parse(text, nullptr, false);
        if (!record.is_object())
            return;
        const std::string type = record.value("type", "");
        if (type == "result") {
            answers_.deliver(record.value("seq", uint64_t{0}), [&](Result &result) {
                result.answered = true;
                result.record = std::move(record);
            });
        } else if (type == "output") {
            channel_.event("output", {{"category", "stdout"}, {"output", record.value("data", "")}});
        } else if (type == "error") {
            channel_.event("output", {{"category", "console"}, {"output", record.value("message", "") + "\n"}});
        } else if (type == "process") {
            process(record);
        }
    }

    void process(const Json &record)
    {
        const std::string state = record.value("state", "");
        if (state == "running" || state == "launching") {
            const bool requested = resumeRequested_.exchange(false);
            if (!running_.exchange(true) && !requested)
                channel_.event("continued", {{"threadId", 1}, {"allThreadsContinued", true}});
            return;
        }
        running_ = false;
        answers_.notify();
        if (state == "exited" || state == "crashed" || state == "detached") {
            if (state == "exited")
                channel_.event("exited", {{"exitCode", record.value("status", 0)}});
            sendTerminated();
            return;
        }
        if (state != "stopped")
            return;
        if (attaching_.exchange(false))
            return; // the stop an attach makes: configurationDone resumes it
        const std::string reason = record.value("reason", "");
        const std::string signal = record.value("signal", "");
        std::string dapReason = "step";
        Json body = Json::object();
        if (reason == "breakpoint") {
            const int64_t id = record.value("breakpoint", int64_t{0});
            dapReason = functionBreakpointIds_.count(id) != 0 ? "function breakpoint" : "breakpoint";
            body["hitBreakpointIds"] = Json::array({id});
        } else if (reason == "signal" && entryPending_.exchange(false)) {
            dapReason = "entry"; // a launch that stops at entry stops with SIGSTOP
        } else if (reason == "signal" && pauseRequested_.exchange(false)) {
            dapReason = "pause";
        } else if (reason == "signal" || reason == "exception") {
            const bool fault = signal == "SIGSEGV" || signal == "SIGBUS" || signal == "SIGFPE" || signal == "SIGILL" ||
                               signal == "SIGABRT" || reason == "exception";
            dapReason = fault ? "exception" : "signal";
            body["description"] = signal.empty() ? reason : signal;
            body["text"] = signal;
        } else if (reason == "watchpoint") {
            dapReason = "data breakpoint";
        } else if (entryPending_.exchange(false)) {
            dapReason = "entry";
        }
        body["reason"] = dapReason;
        body["threadId"] = record.value("thread", 1);
        body["allThreadsStopped"] = true;
        channel_.event("stopped", body);
    }

    // ---- lines to the back end, from any thread but the reading one. The back end numbers
    // lines itself from 1, so numbering and sending go together.
    Result line(const std::string &text, std::chrono::milliseconds timeout = 30s,
                AwaitedAnswers<Result>::Then then = {})
    {
        const bool waits = !then;
        uint64_t seq = 0;
        {
            std::lock_guard<std::mutex> sending(sendLock_);
            {
                std::lock_guard<std::mutex> guard(lock_);
                seq = answers_.expect(std::move(then)); // from 1, as the back end numbers its lines
            }
            const std::string bytes = text + "\n";
            client_->sendData("send", std::vector<uint8_t>(bytes.begin(), bytes.end()));
        }
        if (!waits)
            return {};
        std::unique_lock<std::mutex> guard(lock_);
        return answers_.wait(guard, seq, timeout);
    }

    Result ask(const Json &structured) { return line(structured.dump(-1, ' ', false, Json::error_handler_t::replace)); }

    template <typename Shape>
    void forward(const Json &request, const Json &structured, Shape shape)
    {
        Result result = ask(structured);
        if (!result.ok()) {
            channel_.fail(request, result.error());
            return;
        }
        channel_.respond(request, shape(result.body()));
    }

    // ---- request handlers, on the adapter's worker thread
    void configurationDone(const Json &request) override
    {
        resumeRequested_ = true;
        if (attach_) {
            step(request, Step::Continue, 1);
            return;
        }
        entryPending_ = stopOnEntry_;
        Result launched = ask(launch_);
        if (!launched.ok()) {
            resumeRequested_ = false;
            channel_.fail(request, "cannot run the program: " + launched.error());
            return;
        }
        channel_.respond(request);
    }

    // Answered where the back end's answer arrives: a step wakes no thread of the adapter's but
    // the one that reads the back end.
    void step(const Json &request, Step kind, int64_t thread) override
    {
        static const char *const kinds[] = {"continue", "over", "into", "out"};
        const Json body = kind == Step::Continue ? Json{{"allThreadsContinued", true}} : Json::object();
        resumeRequested_ = true;
        const Json structured = {{"request", "step"}, {"kind", kinds[static_cast<int>(kind)]}, {"thread", thread}};
        line(structured.dump(), 30s, [this, request, body](const Result &result) {
            if (result.ok()) {
                channel_.respond(request, body);
                return;
            }
            resumeRequested_ = false;
            channel_.fail(request, result.error());
        });
    }

    void threads(const Json &request) override
    {
        forward(request, {{"request", "threads"}}, [](const Json &body) { return body; });
    }

    static Json placed(const Json &body, const std::string &path)
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

    // A DAP breakpoint as the back end takes it; false with a reason for a hit condition that
    // is not a count.
    static bool spec(const Json &from, Json &to, std::string &problem)
    {
        if (from.contains("condition") && from["condition"].is_string() && !from["condition"].get<std::string>().empty())
            to["condition"] = from["condition"];
        std::optional<int64_t> ignore;
        if (!ignoreCountOf(from, ignore, problem))
            return false;
        if (ignore)
            to["ignoreCount"] = *ignore;
        return true;
    }

    // A breakpoint the back end cannot take (a hit condition that is not a count) is left out of
    // what it is given and answered unverified with the reason; the rest are set.
    struct Specs {
        Json given = Json::array();
        std::vector<std::optional<std::string>> refused; // per requested breakpoint, in order
    };

    // key names where each breakpoint is ("line", "name"), fallback what an absent one means.
    static Specs specs(const Json &arguments, const char *key, const Json &fallback)
    {
        Specs specs;
        for (const auto &from : arguments.value("breakpoints", Json::array())) {
            Json to = {{key, from.value(key, fallback)}};
            std::string problem;
            if (spec(from, to, problem)) {
                specs.given.push_back(to);
                specs.refused.emplace_back();
            } else {
                specs.refused.emplace_back(problem);
            }
        }
        return specs;
    }

    static Json answered(const Specs &specs, const Json &placedBody)
    {
        const Json &placedList = placedBody["breakpoints"];
        Json list = Json::array();
        size_t next = 0;
        for (const auto &problem : specs.refused) {
            if (problem)
                list.push_back({{"verified", false}, {"message", *problem}});
            else if (next < placedList.size())
                list.push_back(placedList[next++]);
        }
        return {{"breakpoints", list}};
    }

    void setBreakpoints(const Json &request, const Json &arguments) override
    {
        const std::string path = arguments.value("source", Json::object()).value("path", "");
        if (path.empty()) {
            channel_.fail(request, "setBreakpoints needs source.path");
            return;
        }
        const Specs lines = specs(arguments, "line", 0);
        forward(request, {{"request", "breakpoints"}, {"file", path}, {"lines", lines.given}},
                [&](const Json &body) { return answered(lines, placed(body, path)); });
    }

    void setFunctionBreakpoints(const Json &request, const Json &arguments) override
    {
        const Specs functions = specs(arguments, "name", "");
        forward(request, {{"request", "functionBreakpoints"}, {"functions", functions.given}}, [&](const Json &body) {
            std::lock_guard<std::mutex> guard(lock_);
            functionBreakpointIds_.clear();
            for (const auto &breakpoint : body.value("breakpoints", Json::array()))
                functionBreakpointIds_.insert(breakpoint.value("id", int64_t{0}));
            return answered(functions, placed(body, ""));
        });
    }

    // DAP frame ids name a thread and a frame index together, until the debuggee runs again.
    // Requests carry frame ids from 1 and thread ids below 2^31, so neither way overflows.
    int64_t frameId(int64_t thread, int64_t index) { return thread * 100000 + index + 1; }
    std::pair<int64_t, int64_t> frameOf(int64_t id) { return {(id - 1) / 100000, (id - 1) % 100000}; }

    void stackTrace(const Json &request, const Json &arguments) override
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

    void scopes(const Json &request, const Json &arguments) override
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

    static Json shown(const Json &variable)
    {
        return {{"name", variable.value("name", "")},
                {"value", variable.value("value", "")},
                {"type", variable.value("type", "")},
                {"variablesReference", variable.value("handle", 0)}};
    }

    void variables(const Json &request, const Json &arguments) override
    {
        forward(request, {{"request", "variables"}, {"handle", arguments.value("variablesReference", 0)}},
                [](const Json &body) {
                    Json list = Json::array();
                    for (const auto &variable : body.value("variables", Json::array()))
                        list.push_back(shown(variable));
                    return Json{{"variables", list}};
                });
    }

    void setVariable(const Json &request, const Json &arguments) override
    {
        forward(request,
                {{"request", "setVariable"},
                 {"handle", arguments.value("variablesReference", 0)},
                 {"name", arguments.value("name", "")},
                 {"value", arguments.value("value", "")}},
                [](const Json &body) { return Json{{"value", body.value("value", "")}}; });
    }

    void evaluate(const Json &request, const Json &arguments) override
    {
        const std::string expression = arguments.value("expression", "");
        Json structured = {{"request", "evaluate"}, {"expression", expression}};
        if (arguments.contains("frameId")) {
            const auto [thread, index] = frameOf(arguments.value("frameId", int64_t{0}));
            structured["thread"] = thread;
            structured["frame"] = index;
        }
        Result result = ask(structured);
        if (result.ok()) {
            const Json body = result.body();
            channel_.respond(request, {{"result", body.value("value", "")},
                                       {"type", body.value("type", "")},
                                       {"variablesReference", body.value("handle", 0)}});
            return;
        }
        if (arguments.value("context", "") != "repl") {
            channel_.fail(request, result.error());
            return;
        }
        console(request, expression); // not an expression: a line for LLDB's own command line
    }

    // The back end numbers the lines it reads: one command line per line sent keeps its answers
    // in step with the lines.
    void console(const Json &request, const std::string &input) override
    {
        std::string output;
        for (const auto &text : consoleLines(input)) {
            Result ran = line(text);
            if (!ran.ok()) {
                channel_.fail(request, output + ran.error());
                return;
            }
            output += ran.record.value("output", "");
        }
        channel_.respond(request, {{"result", output}, {"variablesReference", 0}});
    }

    std::mutex sendLock_; // numbering and sending go together
    Json launch_; // the launch request, from the editor's launch
    std::set<int64_t> functionBreakpointIds_; // read where stops are told, under lock_
};

} // namespace

std::unique_ptr<DebuggerDriver> lldbDriver(DapChannel &channel) { return std::make_unique<LldbDriver>(channel); }

} // namespace local_debugger::dap
