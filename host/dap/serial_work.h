#pragma once
// Work a driver takes up after a record it has read, done in order on a thread of its own: the
// thread that reads the debugger cannot wait there for an answer, which only it would read.

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace local_debugger::dap {

class SerialWork {
public:
    SerialWork() = default;
    SerialWork(const SerialWork &) = delete;
    SerialWork &operator=(const SerialWork &) = delete;
    ~SerialWork() { stop(); }

    // The thread starts with the first piece of work: most runs never need it.
    void post(std::function<void()> work)
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (ending_)
            return;
        queue_.push_back(std::move(work));
        if (!thread_.joinable())
            thread_ = std::thread([this] { run(); });
        changed_.notify_all();
    }

    // Work not begun is dropped; the piece under way is waited for.
    void stop()
    {
        {
            std::lock_guard<std::mutex> guard(lock_);
            ending_ = true;
            queue_.clear();
        }
        changed_.notify_all();
        if (thread_.joinable())
            thread_.join();
    }

private:
    void run()
    {
        for (;;) {
            std::function<void()> work;
            {
                std::unique_lock<std::mutex> guard(lock_);
                changed_.wait(guard, [&] { return ending_ || !queue_.empty(); });
                if (ending_)
                    return;
                work = std::move(queue_.front());
                queue_.pop_front();
            }
            work();
        }
    }

    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> queue_;
    bool ending_ = false;
    std::thread thread_;
};

} // namespace local_debugger::dap
