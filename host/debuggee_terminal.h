#pragma once
// A pseudo-terminal this process makes for a debuggee; the debugger opens it by its name. Both
// ends stay open here, so the debuggee's exit does not turn the master into a stream of errors.

#include <fcntl.h>
#include <stdlib.h>
#include <string>
#include <sys/ioctl.h>
#include <unistd.h>

#include "platform/unique_fd.h"

namespace local_debugger {

struct DebuggeeTerminal {
    std::string path;

    int master() const { return master_.get(); }
    int slave() const { return slave_.get(); }

    // sizeFrom: a terminal whose window size it takes, when there is one.
    bool open(int sizeFrom)
    {
        master_.reset(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
        char name[128];
        if (!master_ || grantpt(master()) != 0 || unlockpt(master()) != 0 ||
            ptsname_r(master(), name, sizeof name) != 0) {
            reset();
            return false;
        }
        path = name;
        slave_.reset(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
        winsize size{};
        if (ioctl(sizeFrom, TIOCGWINSZ, &size) == 0)
            ioctl(master(), TIOCSWINSZ, &size);
        if (!slave_)
            reset();
        return bool(slave_);
    }
    void reset()
    {
        master_.reset();
        slave_.reset();
    }

private:
    UniqueFd master_;
    UniqueFd slave_;
};

} // namespace local_debugger
