#pragma once
// What both drivers share: the debugger's output read a line at a time, answers awaited by
// number, the start (attach or load) and the finish of a run, the end of the run told once, and
// the debuggee's state as the adapter's threads see it.

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "host/dap/awaited_answers.h"
#include "host/dap/debugger_driver.h"
#include "host/dap/stop_reasons.h"

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

    void start(ServiceClient &client, const Json &request) final;
    void finish(bool terminate) final;

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

    void sendTerminated()
    {
        if (!terminatedSent_.exchange(true))
            channel_.event("terminated");
    }

    // A stop the debugger told, under lock_. The stop an attach makes is not news:
    // configurationDone resumes it.
    void told(const DebuggeeStop &stop)
    {
        if (!attaching_.exchange(false))
            channel_.event("stopped", stoppedBody(stop, entryPending_, pauseRequested_, functionBreakpointIds_));
    }

    DapChannel &channel_;
    ServiceClient *client_ = nullptr;
    std::mutex lock_;
    AwaitedAnswers<Answer> answers_;

    std::atomic<bool> running_ = false;
    std::atomic<bool> pauseRequested_ = false;  // the next interrupt stop is the editor's pause
    std::atomic<bool> resumeRequested_ = false; // the next resume is the editor's: no continued event
    std::atomic<bool> attaching_ = false;       // the stop an attach makes is not told
    std::atomic<bool> entryPending_ = false;    // the next stop is the stop on entry
    bool attach_ = false;
    bool stopOnEntry_ = false;
    std::set<int64_t> functionBreakpointIds_; // read where stops are told, under lock_

private:
    std::string partial_;
    std::atomic<bool> terminatedSent_ = false;
};

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
