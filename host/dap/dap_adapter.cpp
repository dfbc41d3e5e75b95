#include "host/dap/dap_adapter.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "host/dap/debugger_driver.h"
#include "host/dap/editor_side.h"
#include "host/dap/request_shape.h"

namespace local_debugger::dap {

bool DebuggerDriver::handle(const Json &request)
{
    const std::string name = request.value("command", "");
    const Json arguments = request.value("arguments", Json::object());
    const int64_t thread = arguments.is_object() ? arguments.value("threadId", int64_t{1}) : 1;
    // A step out of a function stays one, whatever its granularity.
    const bool instructions = arguments.is_object() && arguments.value("granularity", "") == "instruction";
    if (name == "configurationDone")
        configurationDone(request);
    else if (name == "restart")
        restart(request, arguments);
    else if (name == "setBreakpoints")
        setBreakpoints(request, arguments);
    else if (name == "setFunctionBreakpoints")
        setFunctionBreakpoints(request, arguments);
    else if (name == "setExceptionBreakpoints")
        setExceptionBreakpoints(request, arguments);
    else if (name == "exceptionInfo")
        exceptionInfo(request);
    else if (name == "threads")
        threads(request);
    else if (name == "modules")
        modules(request, arguments);
    else if (name == "loadedSources")
        loadedSources(request);
    else if (name == "stackTrace")
        stackTrace(request, arguments);
    else if (name == "scopes")
        scopes(request, arguments);
    else if (name == "variables")
        variables(request, arguments);
    else if (name == "setVariable")
        setVariable(request, arguments);
    else if (name == "evaluate" && arguments.value("context", "") == "repl" &&
             arguments.value("expression", "").find('\n') != std::string::npos)
        console(request, arguments.value("expression", "")); // lines, not an expression
    else if (name == "evaluate")
        evaluate(request, arguments);
    else if (name == "setExpression")
        setExpression(request, arguments);
    else if (name == "completions")
        completions(request, arguments);
    else if (name == "dataBreakpointInfo")
        dataBreakpointInfo(request, arguments);
    else if (name == "setDataBreakpoints")
        setDataBreakpoints(request, arguments);
    else if (name == "continue")
        step(request, Step::Continue, thread);
    else if (name == "next")
        step(request, instructions ? Step::OverInstruction : Step::Over, thread);
    else if (name == "stepIn")
        step(request, instructions ? Step::IntoInstruction : Step::Into, thread);
    else if (name == "stepOut")
        step(request, Step::Out, thread);
    else if (name == "readMemory")
        readMemory(request, arguments);
    else if (name == "writeMemory")
        writeMemory(request, arguments);
    else if (name == "disassemble")
        disassemble(request, arguments);
    else if (name == "setInstructionBreakpoints")
        setInstructionBreakpoints(request, arguments);
    else
        return false;
    return true;
}

namespace {

using namespace std::chrono_literals;

Json capabilities()
{
    const Json filters = Json::array({{{"filter", "cpp_throw"}, {"label", "C++: on throw"}, {"default", false}},
                                      {{"filter", "cpp_catch"}, {"label", "C++: on catch"}, {"default", false}}});
    return {{"supportsConfigurationDoneRequest", true}, {"supportsFunctionBreakpoints", true},
            {"supportsConditionalBreakpoints", true},   {"supportsHitConditionalBreakpoints", true},
            {"supportsEvaluateForHovers", true},        {"supportsSetVariable", true},
            {"supportsTerminateRequest", true},         {"supportsLogPoints", true},
            {"supportsExceptionInfoRequest", true},     {"exceptionBreakpointFilters", filters},
            {"supportsReadMemoryRequest", true},        {"supportsWriteMemoryRequest", true},
            {"supportsDisassembleRequest", true},       {"supportsSteppingGranularity", true},
            {"supportsInstructionBreakpoints", true},   {"supportsRestartRequest", true},
            {"supportsModulesRequest", true},           {"supportsLoadedSourcesRequest", true},
            {"supportsValueFormattingOptions", true},   {"supportsSetExpression", true},
            {"supportsCompletionsRequest", true},       {"supportsDataBreakpoints", true}};
}

// The set_env block: the adapter's environment with the request's env applied (null unsets).
std::vector<uint8_t> environmentBlock(std::vector<std::string> entries, const Json &env)
{
    if (env.is_object()) {
        for (const auto &[name, value] : env.items()) {
            std::erase_if(entries,
                          [&](const std::string &entry) { return entry.compare(0, name.size() + 1, name + "=") == 0; });
            if (value.is_string())
                entries.push_back(name + "=" + value.get<std::string>());
        }
    }
    return encodeEnvironmentPayload(entries);
}

// Why program cannot be launched, if it cannot.
std::optional<std::string> programProblem(const std::string &program)
{
    struct stat info {};
    if (program.empty())
        return "launch needs a program";
    if (stat(program.c_str(), &info) != 0 || access(program.c_str(), X_OK) != 0)
        return "cannot run program " + program + ": " + strerror(errno);
    if (!S_ISREG(info.st_mode))
        return "cannot run program " + program + ": not a file";
    return std::nullopt;
}

// What the editor shows while a launch or attach loads the program (the debugger reads its
// symbols then).
std::string startTitle(const Json &arguments, bool attach)
{
    const std::string program = arguments.value("program", "");
    return attach ? "Attaching to process " + std::to_string(arguments.value("pid", 0))
                  : "Loading " + program.substr(program.rfind('/') + 1);
}

// The service's messages go to the driver, from the service client's reading thread.
ServiceClient::Callbacks driverCallbacks(DebuggerDriver *driver)
{
    ServiceClient::Callbacks callbacks;
    callbacks.onMessage = [driver](const Message &message) {
        if (const MessageBytes *data = message.dictionary.getData("data"))
            driver->feed(data->data(), data->size());
    };
    callbacks.onClosed = [driver] { driver->closed(); };
    return callbacks;
}

class Adapter {
public:
    explicit Adapter(ServiceAccess access) : access_(std::move(access)), channel_(STDIN_FILENO, STDOUT_FILENO) {}

    int run()
    {
        std::thread worker([this] { work(); });
        while (auto incoming = channel_.receive()) {
            const Json &message = incoming->message;
            // A response answers one of the adapter's own requests, or nothing.
            if (const auto type = message.find("type"); type != message.end() && *type == "response") {
                editor_.answered(message);
                continue;
            }
            const std::string problem = incoming->problem.empty() ? requestProblem(message) : incoming->problem;
            if (!problem.empty()) {
                channel_.fail(message, problem);
                continue;
            }
            if (!dispatch(message))
                break;
        }
        editor_.gone();
        // The editor has gone, or disconnected: nothing of the run may outlive it. Once the run
        // has ended its client's reader has returned, and the worker is the last thread that
        // can call into the driver.
        {
            std::lock_guard<std::mutex> guard(lock_);
            quitting_ = true;
        }
        changed_.notify_all();
        endRun(true);
        worker.join();
        client_.reset();
        driver_.reset();
        return 0;
    }

private:
    // False once the session is over.
    bool dispatch(const Json &request)
    {
        const std::string command = request.value("command", "");
        if (command == "initialize") {
            initialized_ = true;
            const Json arguments = request.value("arguments", Json::object());
            editor_.offered(arguments);
            // Anything but false counts from 1, DAP's default.
            columnsFrom1_ = arguments.value("columnsStartAt1", Json(true)) != Json(false);
            channel_.respond(request, capabilities());
            return true;
        }
        if (!initialized_) {
            channel_.fail(request, "the first request must be initialize");
            return true;
        }
        if (command == "disconnect") {
            const Json arguments = request.value("arguments", Json::object());
            const bool terminate = arguments.is_object() && arguments.contains("terminateDebuggee") &&
                                           arguments["terminateDebuggee"].is_boolean()
                                       ? arguments["terminateDebuggee"].get<bool>()
                                       : !attached_;
            endRun(terminate);
            channel_.respond(request);
            return false;
        }
        if (command == "pause") {
            if (DebuggerDriver *driver = currentDriver()) {
                driver->pause();
                channel_.respond(request);
            } else {
                channel_.fail(request, "there is no program to pause");
            }
            return true;
        }
        {
            std::lock_guard<std::mutex> guard(lock_);
            // While the debuggee is stopped and nothing else is being served, a request is served
            // here: handing it to the worker would cost a thread's wake-up on every step.
            const bool inline_ = queue_.empty() && !workerBusy_ && ready_ && !driver_->running();
            if (!inline_) {
                queue_.push_back(request);
                changed_.notify_all();
                return true;
            }
        }
        serveCaught(request);
        return true;
    }

    void serveCaught(const Json &request)
    {
        try {
            serve(request);
        } catch (const Json::exception &error) {
            channel_.fail(request, std::string("malformed arguments: ") + error.what());
        }
    }

    // The driver once its program is loaded or attached.
    DebuggerDriver *currentDriver()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return ready_ ? driver_.get() : nullptr;
    }

    void work()
    {
        for (;;) {
            Json request;
            {
                std::unique_lock<std::mutex> guard(lock_);
                changed_.wait(guard, [&] { return quitting_ || !queue_.empty(); });
                if (quitting_)
                    return;
                request = std::move(queue_.front());
                queue_.pop_front();
                workerBusy_ = true;
            }
            serveCaught(request);
            std::lock_guard<std::mutex> guard(lock_);
            workerBusy_ = false;
        }
    }

    void serve(const Json &request)
    {
        const std::string command = request.value("command", "");
        if (command == "launch" || command == "attach") {
            start(request, command == "attach");
            return;
        }
        if (command == "terminate") {
            // Answered first: a client may let the adapter go at terminated, which the run's
            // driver tells once its debugger has ended.
            channel_.respond(request);
            if (!endRun(true))
                tellTerminated();
            return;
        }
        DebuggerDriver *driver = currentDriver();
        if (command == "setExceptionBreakpoints" && driver == nullptr) {
            channel_.respond(request, {{"breakpoints", Json::array()}}); // nothing to catch yet
            return;
        }
        if (driver == nullptr) {
            channel_.fail(request, command + ": there is no program: launch or attach first");
            return;
        }
        if (!driver->handle(request))
            channel_.fail(request, "unknown request \"" + command + "\"");
    }

    // Refuses, answering the request, what no launch or attach can start; true when it may go on.
    bool acceptStart(const Json &request, const Json &arguments, bool attach)
    {
        if (std::lock_guard<std::mutex> guard(lock_); client_ || ending_) {
            channel_.fail(request, client_ ? "this session already has a program" : "the session has ended");
            return false;
        }
        const std::string backend = arguments.value("backend", "gdb");
        if (backend != "gdb" && backend != "lldb") {
            channel_.fail(request, "backend must be \"gdb\" or \"lldb\", not \"" + backend + "\"");
            return false;
        }
        if (attach) {
            if (arguments.contains("pid") && arguments["pid"].is_number_integer())
                return true;
            channel_.fail(request, "attach needs a pid");
            return false;
        }
        const std::optional<std::string> problem = programProblem(arguments.value("program", ""));
        if (!problem)
            return true;
        channel_.fail(request, *problem);
        tellTerminated();
        return false;
    }

    void start(const Json &request, bool attach)
    {
        const Json arguments = request.value("arguments", Json::object());
        if (!acceptStart(request, arguments, attach))
            return;
        attached_ = attach;
        const ProgressReport progress = editor_.progress(startTitle(arguments, attach)); // up to the load
        const std::string backend = arguments.value("backend", "gdb");
        const ServicePlace place = access_.place(backend);
        auto driver = backend == "gdb" ? gdbDriver(channel_, !place.socket) : lldbDriver(channel_);
        DebuggerDriver *raw = driver.get();
        raw->setColumnsFrom1(columnsFrom1_);
        if (!attach)
            raw->runOn(editor_.terminalFor(arguments, backend == "gdb" && place.socket));
        OpenedService opened = openService(place, driverCallbacks(raw));
        if (!opened.client) {
            channel_.fail(request, "cannot reach the debugger service: " + opened.problem);
            tellTerminated();
            return;
        }
        ServiceClient *service = adopt(opened.client, driver);
        if (service == nullptr) {
            channel_.fail(request, "the session has ended");
            opened.client.reset(); // before the driver its reader calls into
            return;
        }
        if (!launch(*service, request, backend, arguments))
            return;
        raw->start(*service, request);
        std::lock_guard<std::mutex> guard(lock_);
        ready_ = true;
    }

    // From here the run's end stops this service, whichever thread ends it; nullptr, the two
    // left with the caller, when the session is ending.
    ServiceClient *adopt(std::unique_ptr<ServiceClient> &client, std::unique_ptr<DebuggerDriver> &driver)
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (ending_)
            return nullptr;
        client_ = std::move(client);
        driver_ = std::move(driver);
        return client_.get();
    }

    // False, the request failed and the run let go, when the service did not launch the debugger.
    bool launch(ServiceClient &service, const Json &request, const std::string &backend, const Json &arguments)
    {
        const LaunchRequest launch{backend == "gdb", std::nullopt,
                                   environmentBlock(access_.environment, arguments.value("env", Json::object())),
                                   access_.log};
        const LaunchOutcome outcome = requestLaunch(service, launch);
        if (outcome == LaunchOutcome::Launched)
            return true;
        channel_.fail(request,
                      std::string("the service ") +
                          (outcome == LaunchOutcome::Refused ? "refused to launch " : "ended before launching ") +
                          (backend == "gdb" ? "GDB" : "LLDB"));
        service.requestResult("stop", 5s);
        tellTerminated();
        // Another launch may follow, unless the session is ending: its end has this run. The
        // client goes first, outside the lock: its reader calls into the driver.
        std::unique_ptr<DebuggerDriver> driver;
        std::unique_ptr<ServiceClient> client;
        std::lock_guard<std::mutex> guard(lock_);
        if (!ending_) {
            client = std::move(client_);
            driver = std::move(driver_);
        }
        return false;
    }

    // The end of a session that has no run for its driver to tell the end of.
    void tellTerminated()
    {
        if (!terminatedTold_.exchange(true))
            channel_.event("terminated");
    }

    // Ends the debuggee (or lets it go) and the service with it, once; waits for the service's
    // end and for its client's reader, so that nothing calls into the driver after. True when
    // it ended a run, whose driver has then told its end.
    bool endRun(bool terminate)
    {
        ServiceClient *client = nullptr;
        DebuggerDriver *driver = nullptr;
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (ending_)
                return true;
            ending_ = true;
            client = client_.get();
            driver = ready_ ? driver_.get() : nullptr;
        }
        if (client == nullptr)
            return false;
        if (driver != nullptr)
            driver->finish(terminate);
        // A service that neither answers nor ends is cut off: the reader then sees the end.
        if (!client->requestResult("stop", 10s) && !client->closed())
            client->disconnect();
        client->waitUntilClosed();
        client->waitForExit(10s);
        editor_.letTerminalGo();
        return true;
    }

    ServiceAccess access_;
    DapChannel channel_;
    EditorSide editor_{channel_};
    bool initialized_ = false;
    std::atomic<bool> columnsFrom1_ = true; // as initialize said
    std::atomic<bool> attached_ = false;
    std::atomic<bool> terminatedTold_ = false; // by the adapter, for a session without a run

    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<Json> queue_;
    bool workerBusy_ = false;
    bool quitting_ = false;
    bool ending_ = false; // the run ends: no service is started or kept after this
    bool ready_ = false;  // the driver has its program
    std::unique_ptr<DebuggerDriver> driver_;
    std::unique_ptr<ServiceClient> client_; // freed before the driver its reader calls into
};

} // namespace

int runAdapter(ServiceAccess access)
{
    Adapter adapter(std::move(access));
    return adapter.run();
}

} // namespace local_debugger::dap
