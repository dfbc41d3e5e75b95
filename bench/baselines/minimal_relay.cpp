// Baseline: the least a relay does. Reads the back end's output from descriptor 0 (a pipe of
// the default size) 64 KiB at a time and writes each read, behind a small header, to
// descriptor 1 (a Unix stream socket) in one write.

#include <cerrno>
#include <unistd.h>

#include "frame.h"

int main()
{
    constexpr size_t readSize = 64 * 1024;
    static char buffer[frameHeaderSize + readSize];
    for (;;) {
        ssize_t got = read(STDIN_FILENO, buffer + frameHeaderSize, readSize);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return 0;
        putFrameHeader(buffer, static_cast<uint32_t>(got));
        size_t total = frameHeaderSize + static_cast<size_t>(got);
        for (size_t done = 0; done < total;) {
            ssize_t n = write(STDOUT_FILENO, buffer + done, total - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return 3;
            done += static_cast<size_t>(n);
        }
    }
}
