#pragma once
// What both drivers share: the debugger's output read a line at a time, answers awaited by
// number, the start (attach or load) and the finish of a run, the end of the run told once, the
// debuggee's state as the adapter's threads see it, and what a stop means: a log point's hit, a
// C++ exception caught, a fault described.

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "host/dap/awaited_answers.h"
#include "host/dap/debugger_driver.h"
#include "host/dap/log_message.h"
#include "host/dap/serial_work.h"
#include "host/dap/stop_reasons.h"
#include "host/dap/thrown_type.h"

namespace local_debugger::dap {

template <typename Answer> class LineDriver : public DebuggerDriver {
public:
    explicit LineDriver(DapChannel &channel) : channel_(channel) {}

    void feed(const uint8_t *bytes, size_t count) final
    {
        std::lock_guard<std::mutex> guard(lock_);
        partial_.append(reinterpret_cast<const char *>(bytes), count);
        size_t start = 0;
        for (size_t newline; (newline = partial_.find('\n', start)) != std::string::npos; start = newline + 1) {
            std::string_view line(partial_.data() + start, newline - start);
            if (!line.empty() && line.back() == '\r')
                line.remove_suffix(1);
            read(line);
        }
        partial_.erase(0, start);
    }

    void closed() final
    {
        {
            std::lock_guard<std::mutex> guard(lock_);
            answers_.close();
        }
        sendTerminated();
    }

    bool running() const final { return running_; }
    DapChannel &channel() final { return channel_; }

    void start(ServiceClient &client, const Json &request) final;
    void finish(bool terminate) final;
    void setExceptionBreakpoints(const Json &request, const Json &arguments) final;
    void exceptionInfo(const Json &request) final;
    void restart(const Json &request, const Json &arguments) final;

protected:
    // One whole line the debugger wrote, under lock_.
    virtual void read(std::string_view line) = 0;
    // Settings before the program is loaded or attached to.
    virtual void prepare() {}
    // The debugger's reason when it cannot attach to pid.
    virtual std::optional<std::string> attachTo(int64_t pid) = 0;
    // Loads the program, its arguments and working directory; why not, when it cannot.
    virtual std::optional<std::string> load(const Json &arguments) = 0;
    // Ends the attached debuggee, or lets it go, once it has stopped.
    virtual void endAttached(bool terminate) = 0;
    // Runs the program again from its start (killing the one that runs), with the launch
    // arguments' args and cwd where given; why not, when it cannot.
    virtual std::optional<std::string> rerun(const Json &launch) = 0;

    // ---- what stops need, from the work thread: the value of an expression in the innermost
    // frame of a thread, or the debugger's error; a resume after a log point's hit, or why not;
    // a fault's description with its address, where the debugger gives one.
    virtual std::string valueAt(int64_t thread, const std::string &expression) = 0;
    virtual std::optional<std::string> resumeAfterLog(int64_t thread) = 0;
    virtual std::string faultDescription(const DebuggeeStop &stop) = 0;
    // The name a thrown C++ exception's std::type_info holds, as the debugger shows a C string,
    // at the stop a throw catchpoint makes.
    virtual std::string thrownTypeName(int64_t thread) = 0;

    // ---- C++ exception breakpoints, from the adapter's worker: one on throws (or on catches),
    // its number or why not; and their removal.
    struct Placed {
        int64_t id = 0;
        std::string problem; // not empty: not set
    };
    virtual Placed catchExceptions(bool thrown) = 0;
    virtual void deleteBreakpoints(const std::vector<int64_t> &ids) = 0;

    // The log points of a source file, by breakpoint number, in place of those it had.
    void replaceLogPoints(const std::string &path, std::map<int64_t, LogMessage> points)
    {
        std::lock_guard<std::mutex> guard(lock_);
        std::erase_if(logPoints_, [&](const auto &entry) { return entry.second.first == path; });
        for (auto &[id, message] : points)
            logPoints_.insert_or_assign(id, std::make_pair(path, std::move(message)));
    }

    void sendTerminated()
    {
        if (!terminatedSent_.exchange(true))
            channel_.event("terminated");
    }

    // A stop the debugger told, under lock_. The stop an attach makes is not news:
    // configurationDone resumes it. What needs the debugger's answers is done on the work thread.
    void told(const DebuggeeStop &stop);

    // Tells the editor of a stop, under lock_.
    void tell(const DebuggeeStop &stop)
    {
        const Json body =
            stoppedBody(stop, entryPending_, pauseRequested_, functionBreakpointIds_, instructionBreakpointIds_);
        lastException_.reset();
        if (body["reason"] == "exception" || body["reason"] == "signal")
            lastException_ = Json{{"exceptionId", stop.typeName.empty() ? body.value("text", "") : stop.typeName},
                                  {"description", body.value("description", "")},
                                  {"breakMode", "always"}};
        if (!stop.typeName.empty())
            (*lastException_)["details"] = {{"typeName", stop.typeName}};
        channel_.event("stopped", body);
    }

    // A log point's hit, on the work thread: its message, then the program goes on; during a
    // step the step ends there instead, as at a breakpoint, rather than run on past its end.
    void logged(const DebuggeeStop &stop, const LogMessage &message, bool step);

    DapChannel &channel_;
    ServiceClient *client_ = nullptr;
    std::mutex lock_;
    AwaitedAnswers<Answer> answers_;

    std::atomic<bool> running_ = false;
    std::atomic<bool> pauseRequested_ = false;  // the next interrupt stop is the editor's pause
    std::atomic<bool> resumeRequested_ = false; // the next resume is the editor's: no continued event
    std::atomic<bool> attaching_ = false;       // the stop an attach makes is not told
    std::atomic<bool> entryPending_ = false;    // the next stop is the stop on entry
    // The editor's last resume was a step that a breakpoint's stop ends (GDB's; LLDB keeps the
    // step's plan, which a continue finishes).
    std::atomic<bool> stepping_ = false;
    bool attach_ = false;
    bool stopOnEntry_ = false;
    Json program_;                               // a launch's
    std::set<int64_t> functionBreakpointIds_;    // read where stops are told, under lock_
    std::set<int64_t> instructionBreakpointIds_; // the same
    SerialWork work_; // each driver stops it first thing in its destructor, before its members go

private:
    std::string partial_;
    std::atomic<bool> terminatedSent_ = false;
    // Under lock_: log points by number, with their source's path; exception breakpoints by
    // number, true for those on throws; the last stop's exception information.
    std::map<int64_t, std::pair<std::string, LogMessage>> logPoints_;
    std::map<int64_t, bool> exceptionBreakpoints_;
    std::optional<Json> lastException_;
};

template <typename Answer> void LineDriver<Answer>::told(const DebuggeeStop &stop)
{
    if (attaching_.exchange(false))
        return;
    if (stop.cause == DebuggeeStop::Cause::Breakpoint) {
        if (const auto log = logPoints_.find(stop.breakpoint); log != logPoints_.end()) {
            work_.post(
                [this, stop, message = log->second.second, step = stepping_.load()] { logged(stop, message, step); });
            return;
        }
        if (const auto thrown = exceptionBreakpoints_.find(stop.breakpoint); thrown != exceptionBreakpoints_.end()) {
            DebuggeeStop exception = stop;
            exception.cause = DebuggeeStop::Cause::Exception;
            exception.signal = "C++ exception";
            exception.description = thrown->second ? "C++ exception thrown" : "C++ exception caught";
            if (!thrown->second) {
                tell(exception);
                return;
            }
            work_.post([this, exception]() mutable {
                if (auto type = thrownType(thrownTypeName(exception.thread))) {
                    exception.typeName = *type;
                    exception.description += ": " + *type;
                }
                std::lock_guard<std::mutex> guard(lock_);
                tell(exception);
            });
            return;
        }
    }
    if (!faultStop(stop)) {
        tell(stop);
        return;
    }
    work_.post([this, stop] {
        DebuggeeStop described = stop;
        described.description = faultDescription(stop);
        std::lock_guard<std::mutex> guard(lock_);
        tell(described);
    });
}

template <typename Answer>
void LineDriver<Answer>::logged(const DebuggeeStop &stop, const LogMessage &message, bool step)
{
    const std::string text =
        message.render([&](const std::string &expression) { return valueAt(stop.thread, expression); });
    channel_.event("output", {{"category", "console"}, {"output", text + "\n"}});
    if (!step) {
        resumeRequested_ = true;
        const std::optional<std::string> problem = resumeAfterLog(stop.thread);
        if (!problem)
            return;
        resumeRequested_ = false;
        channel_.event("output",
                       {{"category", "console"}, {"output", "cannot go on after a log point: " + *problem + "\n"}});
    }
    // It stays stopped: the editor hears of it as of any breakpoint, unless the debugger has
    // gone, whose end is told instead.
    std::lock_guard<std::mutex> guard(lock_);
    if (!answers_.closed())
        tell(stop);
}

template <typename Answer> void LineDriver<Answer>::setExceptionBreakpoints(const Json &request, const Json &arguments)
{
    std::vector<std::string> filters = arguments.value("filters", std::vector<std::string>{});
    for (const auto &option : arguments.value("filterOptions", Json::array())) {
        if (option.is_object() && option.contains("filterId") && option["filterId"].is_string())
            filters.push_back(option["filterId"].get<std::string>());
    }
    std::vector<int64_t> old;
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (const auto &[id, thrown] : exceptionBreakpoints_)
            old.push_back(id);
        exceptionBreakpoints_.clear();
    }
    if (!old.empty())
        deleteBreakpoints(old);
    Json answers = Json::array();
    for (const auto &filter : filters) {
        const bool known = filter == "cpp_throw" || filter == "cpp_catch";
        const Placed placed =
            known ? catchExceptions(filter == "cpp_throw") : Placed{0, "no filter \"" + filter + "\""};
        if (!placed.problem.empty()) {
            answers.push_back({{"verified", false}, {"message", placed.problem}});
            continue;
        }
        std::lock_guard<std::mutex> guard(lock_);
        exceptionBreakpoints_[placed.id] = filter == "cpp_throw";
        answers.push_back({{"id", placed.id}, {"verified", true}});
    }
    channel_.respond(request, {{"breakpoints", answers}});
}

template <typename Answer> void LineDriver<Answer>::exceptionInfo(const Json &request)
{
    std::optional<Json> info;
    {
        std::lock_guard<std::mutex> guard(lock_);
        info = lastException_;
    }
    if (info)
        channel_.respond(request, *info);
    else
        channel_.fail(request, "the program has not stopped for a signal or an exception");
}

template <typename Answer> void LineDriver<Answer>::restart(const Json &request, const Json &arguments)
{
    const Json launch = arguments.value("arguments", Json::object());
    std::optional<std::string> problem;
    if (attach_)
        problem = "only a launched program can be restarted";
    else if (launch.contains("program") && launch["program"] != program_)
        problem = "a restart runs the same program: launch anew for another";
    else {
        stopOnEntry_ = launch.value("stopOnEntry", stopOnEntry_);
        entryPending_ = stopOnEntry_;
        terminatedSent_ = false; // the new run's end is told as the first one's would have been
        problem = rerun(launch);
    }
    if (problem)
        channel_.fail(request, "cannot restart: " + *problem);
    else
        channel_.respond(request);
}

template <typename Answer> void LineDriver<Answer>::start(ServiceClient &client, const Json &request)
{
    client_ = &client;
    const Json arguments = request.value("arguments", Json::object());
    attach_ = request.value("command", "") == "attach";
    prepare();
    std::optional<std::string> problem;
    if (attach_) {
        attaching_ = true;
        if (auto reason = attachTo(arguments.value("pid", 0))) {
            attaching_ = false;
            problem = "cannot attach: " + *reason;
        }
    } else {
        stopOnEntry_ = arguments.value("stopOnEntry", false);
        program_ = arguments.value("program", "");
        problem = load(arguments);
    }
    if (problem) {
        channel_.fail(request, *problem);
        return;
    }
    channel_.respond(request);
    channel_.event("initialized");
}

template <typename Answer> void LineDriver<Answer>::finish(bool terminate)
{
    using namespace std::chrono_literals;
    if (!attach_ || !client_)
        return; // a launched debuggee ends with the debugger
    if (running_) {
        pause();
        std::unique_lock<std::mutex> guard(lock_);
        answers_.waitUntil(guard, 5s, [&] { return !running_; });
    }
    endAttached(terminate);
}

} // namespace local_debugger::dap
