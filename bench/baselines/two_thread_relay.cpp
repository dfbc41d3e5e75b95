// Baseline: the least a two-way relay does, one thread each way. Descriptor 3 is the host's
// Unix stream socket, 4 the back end's input, 5 its output. Host to back end: framed payloads
// from the socket, written to 4 as they arrive. Back end to host: each read of 5 (up to
// 64 KiB) written to the socket behind a small header, in one write.

#include <cerrno>
#include <thread>
#include <unistd.h>

#include "frame.h"

namespace {

constexpr int hostFd = 3;
constexpr int inputFd = 4;
constexpr int outputFd = 5;

bool writeAll(int fd, const char *bytes, size_t count)
{
    while (count > 0) {
        ssize_t n = write(fd, bytes, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

void hostToBackEnd()
{
    static char buffer[64 * 1024];
    FrameFollower follower;
    for (;;) {
        ssize_t got = read(hostFd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        bool ok = true;
        follower.feed(buffer, static_cast<size_t>(got),
                      [&](const char *bytes, size_t count) { ok = ok && writeAll(inputFd, bytes, count); });
        if (!ok)
            break;
    }
    close(inputFd);
}

void backEndToHost()
{
    constexpr size_t readSize = 64 * 1024;
    static char buffer[frameHeaderSize + readSize];
    for (;;) {
        ssize_t got = read(outputFd, buffer + frameHeaderSize, readSize);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        putFrameHeader(buffer, static_cast<uint32_t>(got));
        if (!writeAll(hostFd, buffer, frameHeaderSize + static_cast<size_t>(got)))
            break;
    }
}

} // namespace

int main()
{
    std::thread inbound(hostToBackEnd);
    backEndToHost();
    inbound.join();
    return 0;
}
