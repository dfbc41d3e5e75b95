#pragma once
// A pseudo-terminal this process makes for a debuggee; the debugger opens it by its name. Both
// ends stay open here, so the debuggee's exit does not turn the master into a stream of errors.

#include <fcntl.h>
#include <stdlib.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

namespace local_debugger {

struct DebuggeeTerminal {
    int master = -1;
    int slave = -1;
    std::string path;

    DebuggeeTerminal() = default;
    DebuggeeTerminal(const DebuggeeTerminal &) = delete;
    DebuggeeTerminal &operator=(const DebuggeeTerminal &) = delete;
    ~DebuggeeTerminal() { reset(); }

    // sizeFrom: a terminal whose window size it takes, when there is one.
    bool open(int sizeFrom)
    {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128];
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
            reset();
            return false;
        }
        path = name;
        slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        winsize size{};
        if (ioctl(sizeFrom, TIOCGWINSZ, &size) == 0)
            ioctl(master, TIOCSWINSZ, &size);
        if (slave < 0)
            reset();
        return slave >= 0;
    }
    void reset()
    {
        for (int fd : {master, slave}) {
            if (fd >= 0)
                close(fd);
        }
        master = slave = -1;
    }
};

} // namespace local_debugger
