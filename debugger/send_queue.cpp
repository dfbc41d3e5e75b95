#include "debugger/send_queue.h"

#include <cerrno>
#include <climits>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

void writeWhole(int fd, const std::vector<uint8_t> &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t written = write(fd, bytes.data() + done, bytes.size() - done);
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return; // EPIPE: the back end has gone, and its bytes with it
        }
        done += static_cast<size_t>(written);
    }
}

} // namespace

void SendQueue::open(int fd)
{
    std::lock_guard<std::mutex> guard(lock_);
    fd_ = fd;
}

void SendQueue::push(std::vector<uint8_t> bytes)
{
    std::unique_lock<std::mutex> guard(lock_);
    if (bytes.empty() || fd_ < 0)
        return;
    // Nothing ahead of these bytes and an empty pipe, which always has room for PIPE_BUF bytes:
    // the write cannot block, so it is made here without a hand-off to the writer thread.
    if (pending_.empty() && !writing_ && bytes.size() <= PIPE_BUF) {
        int queued = -1;
        if (ioctl(fd_, FIONREAD, &queued) == 0 && queued == 0) {
            writeWhole(fd_, bytes);
            return;
        }
    }
    changed_.wait(guard, [this] { return pendingBytes_ < sendQueueLimit; });
    pendingBytes_ += bytes.size();
    pending_.push_back(std::move(bytes));
    changed_.notify_all();
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
