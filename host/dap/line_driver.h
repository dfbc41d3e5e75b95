#pragma once
// What both drivers share: the debugger's output read a line at a time, answers awaited by
// number, the end of the run told once, and the debuggee's state as the adapter's threads see it.

#include <atomic>
#include <mutex>
#include <string>
#include <string_view>

#include "host/dap/awaited_answers.h"
#include "host/dap/debugger_driver.h"

namespace local_debugger::dap {

template <typename Answer>
class LineDriver : public DebuggerDriver {
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

protected:
    // One whole line the debugger wrote, under lock_.
    virtual void read(std::string_view line) = 0;

    void sendTerminated()
    {
        if (!terminatedSent_.exchange(true))
            channel_.event("terminated");
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

private:
    std::string partial_;
    std::atomic<bool> terminatedSent_ = false;
};

} // namespace local_debugger::dap
