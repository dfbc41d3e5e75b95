#pragma once
// send's bytes wait here, in order, for the back end to read them, so that a back end that
// does not read never holds up break, stop or a connection error; past the bound, the
// connection that sends more waits, and nothing is dropped.

#include <array>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <span>

constexpr size_t sendQueueLimit = 64u << 20;

enum class SendOutcome {
    Queued,   // written, or waiting in order
    NoMemory, // dropped: no memory for a copy
};

class SendQueue {
public:
    // Where the bytes go from now on; until then they are dropped. fd must not block: a send
    // that finds the queue empty writes what fits at once.
    void open(int fd);

    // Writes what the pipe takes now and queues a copy of the rest. When that would take the
    // queue past sendQueueLimit it first waits for the back end to read, as a writer waits on a
    // full pipe; a queue with nothing in it takes anything. Only bytes there is no memory to
    // copy are dropped.
    SendOutcome push(std::span<const uint8_t> bytes);

    // The writer thread's loop: writes queued bytes whole, in order; never returns.
    [[noreturn]] void serve();

private:
    std::mutex lock_;
    std::condition_variable queued_;  // the writer's wake-up
    std::condition_variable written_; // room for a waiting push
    // A copy of waiting bytes in memory mapped for it alone: unmapped, it goes back to the
    // system whole, where heap blocks of this size would leave the heap in pieces.
    class Copy {
    public:
        Copy() = default;
        Copy(Copy &&other) noexcept;
        Copy &operator=(Copy &&other) noexcept;
        ~Copy();
        // False when no memory could be mapped for them.
        bool assign(std::span<const uint8_t> bytes);
        std::span<const uint8_t> bytes() const { return {data_, size_}; }
        size_t capacity() const { return capacity_; }

    private:
        uint8_t *data_ = nullptr;
        size_t size_ = 0;
        size_t capacity_ = 0;
    };

    std::deque<Copy> pending_;
    // The memory the waiting copies take, in whole pages, what the writer holds included: many
    // small sends hold no more than the bound either.
    size_t pendingBytes_ = 0;
    // Copies already written, kept for the next ones: a full queue turns over the same pages
    // instead of touching new ones for every send.
    std::array<Copy, 4> spares_;
    size_t spareCount_ = 0;
    bool writing_ = false; // the writer holds bytes it took from the queue
    int fd_ = -1;
};
