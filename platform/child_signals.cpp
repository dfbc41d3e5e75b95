#include "platform/child_signals.h"

namespace {
sigset_t startupMask;
}

void recordStartupSignalMask()
{
    sigemptyset(&startupMask);
    pthread_sigmask(SIG_SETMASK, nullptr, &startupMask);
}

const sigset_t &startupSignalMask()
{
    return startupMask;
}
