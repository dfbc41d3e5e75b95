#pragma once
// Wakes a console's poll loop from the client's reading thread.

#include <fcntl.h>
#include <unistd.h>

#include "platform/unique_fd.h"

namespace local_debugger::console {

class WakePipe {
public:
    WakePipe()
    {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
            read_.reset(fds[0]);
            write_.reset(fds[1]);
        }
    }

    int readEnd() const { return read_.get(); }
    void wake() const { (void)!write(write_.get(), "", 1); }
    void clear() const
    {
        char sink[256];
        while (read(read_.get(), sink, sizeof sink) > 0) {
        }
    }

private:
    UniqueFd read_;
    UniqueFd write_;
};

} // namespace local_debugger::console
