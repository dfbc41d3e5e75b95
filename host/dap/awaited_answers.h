#pragma once
// Answers to the lines a driver sends a debugger, by the number its session gave each line: a
// sender waits for its answer, or leaves a handler that runs where the answer arrives. The driver holds
// its own lock around every call; wait() and the condition take it as a unique_lock.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

namespace local_debugger::dap {

template <typename Answer> class AwaitedAnswers {
public:
    using Then = std::function<void(const Answer &)>;

    // The line with this number is sent, its answer now awaited.
    void expect(uint64_t number, Then then = {}) { entries_[number] = Entry{Answer{}, false, std::move(then)}; }

    // Its answer has come: fill writes it, then the sender wakes or its handler runs here.
    template <typename Fill> void deliver(uint64_t number, Fill fill)
    {
        auto entry = entries_.find(number);
        if (entry == entries_.end())
            return;
        fill(entry->second.answer);
        if (entry->second.then) {
            entry->second.then(entry->second.answer);
            entries_.erase(entry);
            return;
        }
        entry->second.done = true;
        changed_.notify_all();
    }

    // Each answer still awaited (for text that belongs to whatever is being answered).
    template <typename Visit> void forEachAwaited(Visit visit)
    {
        for (auto &[number, entry] : entries_) {
            if (!entry.done)
                visit(entry.answer);
        }
    }

    // The debugger has gone: every answer still to come is an empty one.
    void close()
    {
        closed_ = true;
        for (auto entry = entries_.begin(); entry != entries_.end();) {
            if (entry->second.then) {
                entry->second.then(entry->second.answer);
                entry = entries_.erase(entry);
            } else {
                ++entry;
            }
        }
        changed_.notify_all();
    }
    bool closed() const { return closed_; }

    Answer wait(std::unique_lock<std::mutex> &guard, uint64_t number, std::chrono::milliseconds timeout)
    {
        changed_.wait_for(guard, timeout, [&] { return entries_[number].done || closed_; });
        Answer answer = std::move(entries_[number].answer);
        entries_.erase(number);
        return answer;
    }

    // For other waits on the driver's state: notify() wakes them too.
    template <typename Predicate>
    void waitUntil(std::unique_lock<std::mutex> &guard, std::chrono::milliseconds timeout, Predicate done)
    {
        changed_.wait_for(guard, timeout, [&] { return done() || closed_; });
    }
    void notify() { changed_.notify_all(); }

private:
    struct Entry {
        Answer answer;
        bool done = false;
        Then then;
    };
    std::map<uint64_t, Entry> entries_;
    bool closed_ = false;
    std::condition_variable changed_;
};

} // namespace local_debugger::dap
