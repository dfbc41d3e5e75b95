#include "debugger/send_queue.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <poll.h>
#include <sys/mman.h>
#include <utility>
#include <span>
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

void writeWhole(int fd, std::span<const uint8_t> bytes)
{
    size_t done = 0;
    while (writeSome(fd, bytes, done) && done < bytes.size()) {
        pollfd writable{fd, POLLOUT, 0};
        poll(&writable, 1, -1);
    }
}

constexpr size_t pageSize = 4096;
// Larger copies go back to the system once written rather than wait as spares.
constexpr size_t largestSpare = 1 << 20;

size_t wholePages(size_t size)
{
    return (size + pageSize - 1) / pageSize * pageSize;
}

} // namespace

SendQueue::Copy::Copy(Copy &&other) noexcept
    : data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0)),
      capacity_(std::exchange(other.capacity_, 0))
{
}

SendQueue::Copy &SendQueue::Copy::operator=(Copy &&other) noexcept
{
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(capacity_, other.capacity_);
    return *this;
}

SendQueue::Copy::~Copy()
{
    if (data_ != nullptr)
        munmap(data_, capacity_);
}

bool SendQueue::Copy::assign(std::span<const uint8_t> bytes)
{
    if (capacity_ < bytes.size()) {
        const size_t capacity = wholePages(bytes.size());
        void *mapped = mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (mapped == MAP_FAILED)
            return false;
        *this = Copy();
        data_ = static_cast<uint8_t *>(mapped);
        capacity_ = capacity;
    }
    memcpy(data_, bytes.data(), bytes.size());
    size_ = bytes.size();
    return true;
}

void SendQueue::open(int fd)
{
    std::lock_guard<std::mutex> guard(lock_);
    fd_ = fd;
}

SendOutcome SendQueue::push(std::span<const uint8_t> bytes)
{
    std::unique_lock<std::mutex> guard(lock_);
    if (bytes.empty() || fd_ < 0)
        return SendOutcome::Queued;
    written_.wait(guard,
                  [&] { return pendingBytes_ == 0 || pendingBytes_ + wholePages(bytes.size()) <= sendQueueLimit; });
    // Nothing ahead of these bytes: what the pipe takes now is written here, without a hand-off
    // to the writer thread, and only the rest waits.
    if (pending_.empty() && !writing_) {
        size_t done = 0;
        if (!writeSome(fd_, bytes, done) || done == bytes.size())
            return SendOutcome::Queued;
        bytes = bytes.subspan(done);
    }
    Copy copy;
    if (spareCount_ > 0)
        copy = std::move(spares_[--spareCount_]);
    if (!copy.assign(bytes))
        return SendOutcome::NoMemory;
    try {
        pending_.push_back(std::move(copy));
    } catch (const std::bad_alloc &) {
        return SendOutcome::NoMemory;
    }
    pendingBytes_ += pending_.back().capacity();
    queued_.notify_one();
    return SendOutcome::Queued;
}

void SendQueue::serve()
{
    for (;;) {
        Copy copy;
        int fd;
        {
            std::unique_lock<std::mutex> guard(lock_);
            queued_.wait(guard, [this] { return !pending_.empty(); });
            copy = std::move(pending_.front());
            pending_.pop_front();
            writing_ = true;
            fd = fd_;
        }
        writeWhole(fd, copy.bytes());
        {
            std::lock_guard<std::mutex> guard(lock_);
            pendingBytes_ -= copy.capacity();
            writing_ = false;
            if (spareCount_ < spares_.size() && copy.capacity() <= largestSpare)
                spares_[spareCount_++] = std::move(copy);
        }
        // Past the spares, the copy is unmapped here, outside the lock.
        written_.notify_all();
    }
}
