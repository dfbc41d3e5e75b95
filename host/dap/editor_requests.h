#pragma once
// The adapter's own requests to the editor (runInTerminal): each sent with its number, its
// response handed over by the thread that reads the editor's messages.

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>

#include "host/dap/dap_channel.h"

namespace local_debugger::dap {

class EditorRequests {
public:
    explicit EditorRequests(DapChannel &channel) : channel_(channel) {}

    // The editor's response; nullopt when none comes within timeout or the editor has gone.
    std::optional<Json> ask(const std::string &command, const Json &arguments, std::chrono::milliseconds timeout)
    {
        int64_t seq = 0;
        channel_.request(command, arguments, [&](int64_t number) {
            std::lock_guard<std::mutex> guard(lock_);
            seq = number;
            awaited_[number];
        });
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait_for(guard, timeout, [&] { return closed_ || awaited_[seq].has_value(); });
        std::optional<Json> response = std::move(awaited_[seq]);
        awaited_.erase(seq);
        return response;
    }

    // A response from the editor; false when it answers nothing of the adapter's.
    bool answered(const Json &response)
    {
        const auto number = response.find("request_seq");
        if (number == response.end() || !number->is_number_integer())
            return false;
        std::lock_guard<std::mutex> guard(lock_);
        const auto awaited = awaited_.find(number->get<int64_t>());
        if (awaited == awaited_.end())
            return false;
        awaited->second = response;
        changed_.notify_all();
        return true;
    }

    // The editor has gone: nothing more will be answered.
    void close()
    {
        std::lock_guard<std::mutex> guard(lock_);
        closed_ = true;
        changed_.notify_all();
    }

private:
    DapChannel &channel_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::map<int64_t, std::optional<Json>> awaited_;
    bool closed_ = false;
};

} // namespace local_debugger::dap
