#include "platform/child_signals.h"

namespace {
sigset_t startupMask;
uint64_t startupIgnored = 0;
uint64_t changed = 0;

// Bit n-1 for each signal n whose handler is.
uint64_t signalsWhose(bool (*is)(void (*handler)(int)))
{
    uint64_t bits = 0;
    for (int signo = 1; signo <= 64; ++signo) {
        struct sigaction action {};
        if (sigaction(signo, nullptr, &action) == 0 && is(action.sa_handler))
            bits |= uint64_t{1} << (signo - 1);
    }
    return bits;
}
} // namespace

void recordStartupSignals()
{
    sigemptyset(&startupMask);
    pthread_sigmask(SIG_SETMASK, nullptr, &startupMask);
    startupIgnored = signalsWhose([](void (*handler)(int)) { return handler == SIG_IGN; });
}

const sigset_t &startupSignalMask()
{
    return startupMask;
}

void recordChangedDispositions()
{
    const uint64_t ignored = signalsWhose([](void (*handler)(int)) { return handler == SIG_IGN; });
    const uint64_t notDefault = signalsWhose([](void (*handler)(int)) { return handler != SIG_DFL; });
    // An ignore the starter gave stays; anything else that is not the default is the service's.
    changed = notDefault & ~(ignored & startupIgnored);
}

uint64_t changedDispositions()
{
    return changed;
}
