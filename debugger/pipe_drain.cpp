#include "debugger/pipe_drain.h"

#include <cerrno>
#include <thread>
#include <unistd.h>

void startDiscardingPipe(int fd)
{
    std::thread([fd] {
        char sink[64 * 1024];
        for (;;) {
            ssize_t got = read(fd, sink, sizeof sink);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return;
        }
    }).detach();
}
