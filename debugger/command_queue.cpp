#include "debugger/command_queue.h"

#include <cerrno>
#include <climits>
#include <sys/ioctl.h>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <unistd.h>

#include "service/process_state.h"

namespace {

std::mutex queueLock;
std::condition_variable queueChanged;
std::deque<std::vector<uint8_t>> pending;
size_t pendingBytes = 0;
bool writing = false; // the writer thread holds bytes it took from the queue

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

void writerLoop()
{
    for (;;) {
        std::vector<uint8_t> bytes;
        {
            std::unique_lock<std::mutex> guard(queueLock);
            queueChanged.wait(guard, [] { return !pending.empty(); });
            bytes = std::move(pending.front());
            pending.pop_front();
            writing = true;
        }
        writeWhole(commandWriteFd.load(), bytes);
        {
            std::lock_guard<std::mutex> guard(queueLock);
            pendingBytes -= bytes.size();
            writing = false;
        }
        queueChanged.notify_all();
    }
}

} // namespace

void startCommandWriter()
{
    std::thread(writerLoop).detach();
}

void enqueueCommandBytes(std::vector<uint8_t> bytes)
{
    if (bytes.empty() || commandWriteFd.load() < 0)
        return;
    std::unique_lock<std::mutex> guard(queueLock);
    // Nothing ahead of these bytes and an empty pipe, which always has room for PIPE_BUF bytes:
    // the write cannot block, so it is made here without a hand-off to the writer thread.
    if (pending.empty() && !writing && bytes.size() <= PIPE_BUF) {
        const int fd = commandWriteFd.load();
        int queued = -1;
        if (ioctl(fd, FIONREAD, &queued) == 0 && queued == 0) {
            writeWhole(fd, bytes);
            return;
        }
    }
    queueChanged.wait(guard, [] { return pendingBytes < commandQueueLimit; });
    pendingBytes += bytes.size();
    pending.push_back(std::move(bytes));
    queueChanged.notify_all();
}
