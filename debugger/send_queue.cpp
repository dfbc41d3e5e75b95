#include "debugger/send_queue.h"

#include <cerrno>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <unistd.h>

namespace {

// Writes what the pipe takes now, from done on; false once the back end has gone (EPIPE), and
// with it the bytes.
bool writeSome(int fd, std::span<const uint8_t> bytes, size_t &done)
{
    while (done < bytes.size()) {
        ssize_t written = write(fd, bytes.data() + done, bytes.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written < 0)
            return errno == EAGAIN;
        done += static_cast<size_t>(written);
    }
    return true;
}

void writeWhole(int fd, const std::vector<uint8_t> &bytes)
{
    size_t done = 0;
    while (writeSome(fd, bytes, done) && done < bytes.size()) {
        pollfd writable{fd, POLLOUT, 0};
        poll(&writable, 1, -1);
    }
}

} // namespace

void SendQueue::open(int fd)
{
    std::lock_guard<std::mutex> guard(lock_);
    fd_ = fd;
}

SendOutcome SendQueue::push(std::span<const uint8_t> bytes)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (bytes.empty() || fd_ < 0)
        return SendOutcome::Queued;
    if (pendingBytes_ + bytes.size() > sendQueueLimit)
        return SendOutcome::QueueFull;
    // Nothing ahead of these bytes: what the pipe takes now is written here, without a hand-off
    // to the writer thread, and only the rest waits.
    if (pending_.empty() && !writing_) {
        size_t done = 0;
        if (!writeSome(fd_, bytes, done) || done == bytes.size())
            return SendOutcome::Queued;
        bytes = bytes.subspan(done);
    }
    try {
        pending_.emplace_back(bytes.begin(), bytes.end());
    } catch (const std::bad_alloc &) {
        return SendOutcome::NoMemory;
    }
    pendingBytes_ += bytes.size();
    changed_.notify_all();
    return SendOutcome::Queued;
}

void SendQueue::serve()
{
    for (;;) {
        std::vector<uint8_t> bytes;
        int fd;
        {
            std::unique_lock<std::mutex> guard(lock_);
            changed_.wait(guard, [this] { return !pending_.empty(); });
            bytes = std::move(pending_.front());
            pending_.pop_front();
            writing_ = true;
            fd = fd_;
        }
        writeWhole(fd, bytes);
        {
            std::lock_guard<std::mutex> guard(lock_);
            pendingBytes_ -= bytes.size();
            writing_ = false;
        }
        changed_.notify_all();
    }
}
