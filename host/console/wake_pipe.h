#pragma once
// Wakes a console's poll loop from the client's reading thread.

#include <fcntl.h>
#include <unistd.h>

namespace local_debugger::console {

struct WakePipe {
    int fds[2] = {-1, -1};

    WakePipe()
    {
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0)
            fds[0] = fds[1] = -1;
    }
    ~WakePipe()
    {
        for (int fd : fds) {
            if (fd >= 0)
                close(fd);
        }
    }
    WakePipe(const WakePipe &) = delete;
    WakePipe &operator=(const WakePipe &) = delete;

    int readEnd() const { return fds[0]; }
    void wake() const { (void)!write(fds[1], "", 1); }
    void clear() const
    {
        char sink[256];
        while (read(fds[0], sink, sizeof sink) > 0) {
        }
    }
};

} // namespace local_debugger::console
