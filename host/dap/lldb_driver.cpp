// The LLDB driver's start, run and end: loading, launching and attaching through command lines,
// the back end's records read, steps, threads and the program's lists.

#include "host/dap/editor_terminal.h"
#include "host/dap/launch_values.h"
#include "host/dap/lldb_driver.h"
#include "host/dap/program_lists.h"

namespace local_debugger::dap {

using namespace std::chrono_literals;

std::optional<std::string> LldbDriver::attachTo(int64_t pid)
{
    LldbAnswer attached = line("process attach -p " + std::to_string(pid));
    return attached.ok() ? std::nullopt : std::optional(attached.error());
}

std::optional<std::string> LldbDriver::load(const Json &arguments)
{
    if (auto problem = refusedLaunchValue(arguments, true))
        return "cannot launch: " + *problem;
    LldbAnswer created = line("target create " + *LldbSession::quoted(arguments.value("program", "")));
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
    LldbAnswer launched = ask(launch_);
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
        answers_.deliver(record->seq(), [&](LldbAnswer &result) { result.record = std::move(record); });
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

LldbAnswer LldbDriver::ask(const Json &structured, AwaitedAnswers<LldbAnswer>::Then then)
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
    LldbAnswer launched = ask(launch_);
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
    ask(structured, [this, request, body](const LldbAnswer &result) {
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

void LldbDriver::console(const Json &request, const std::string &input)
{
    std::string output;
    for (const auto &text : consoleLines(input)) {
        LldbAnswer ran = line(text);
        if (!ran.ok()) {
            channel_.fail(request, output + ran.error());
            return;
        }
        output += ran.output();
    }
    channel_.respond(request, {{"result", output}, {"variablesReference", 0}});
}

std::unique_ptr<DebuggerDriver> lldbDriver(DapChannel &channel)
{
    return std::make_unique<LldbDriver>(channel);
}

} // namespace local_debugger::dap
