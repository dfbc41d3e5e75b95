#pragma once
// send's bytes wait here, in order, for the back end to read them, so that a back end that
// does not read never holds up break, stop or a connection error.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <span>
#include <vector>

constexpr size_t sendQueueLimit = 64u << 20;

enum class SendOutcome {
    Queued,   // written, or waiting in order
    QueueFull, // dropped: sendQueueLimit bytes already wait for a back end that is not reading
    NoMemory, // dropped: no memory for a copy
};

class SendQueue {
public:
    // Where the bytes go from now on; until then they are dropped. fd must not block: a send
    // that finds the queue empty writes what fits at once.
    void open(int fd);

    // Writes what the pipe takes now and queues a copy of the rest, unless that would take the
    // queue past sendQueueLimit: then the bytes are dropped whole, so that a host that outruns
    // the back end never holds up its own stop. Never waits.
    SendOutcome push(std::span<const uint8_t> bytes);

    // The writer thread's loop: writes queued bytes whole, in order; never returns.
    [[noreturn]] void serve();

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<std::vector<uint8_t>> pending_;
    size_t pendingBytes_ = 0;
    bool writing_ = false; // the writer holds bytes it took from the queue
    int fd_ = -1;
};
