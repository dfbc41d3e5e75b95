#pragma once
// send's bytes wait here, in order, for the back end to read them, so that a back end that
// does not read never holds up break, stop or a connection error.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

constexpr size_t sendQueueLimit = 64u << 20;

class SendQueue {
public:
    // Where the bytes go from now on; until then they are dropped.
    void open(int fd);

    // Queues the bytes; waits only while the queue already holds sendQueueLimit bytes.
    void push(std::vector<uint8_t> bytes);

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
