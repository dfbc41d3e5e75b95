#include "host/console/console_signals.h"

#include <csignal>
#include <sys/signalfd.h>
#include <unistd.h>

namespace local_debugger::console {

ConsoleSignals::ConsoleSignals(bool resizes)
{
    sigset_t signals;
    sigemptyset(&signals);
    for (int signo : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&signals, signo);
    if (resizes)
        sigaddset(&signals, SIGWINCH);
    fd_.reset(signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK));
}

int ConsoleSignals::take() const
{
    signalfd_siginfo info{};
    if (read(fd_.get(), &info, sizeof info) != static_cast<ssize_t>(sizeof info))
        return 0;
    return static_cast<int>(info.ssi_signo);
}

} // namespace local_debugger::console
