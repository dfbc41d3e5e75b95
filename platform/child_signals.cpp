#include "platform/child_signals.h"

namespace {
sigset_t startupMask;
uint64_t changed = 0;
} // namespace

void recordStartupSignalMask()
{
    sigemptyset(&startupMask);
    pthread_sigmask(SIG_SETMASK, nullptr, &startupMask);
}

const sigset_t &startupSignalMask()
{
    return startupMask;
}

void recordChangedDispositions()
{
    uint64_t bits = 0;
    for (int signo = 1; signo <= 64; ++signo) {
        struct sigaction action {};
        if (sigaction(signo, nullptr, &action) == 0 && action.sa_handler != SIG_DFL)
            bits |= uint64_t{1} << (signo - 1);
    }
    changed = bits;
}

uint64_t changedDispositions()
{
    return changed;
}
