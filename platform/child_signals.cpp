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

void resetChildSignals(const sigset_t *unblock)
{
    // Ignored dispositions survive exec; the service ignores SIGPIPE for itself only.
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;
    sigemptyset(&defaultAction.sa_mask);
    sigaction(SIGPIPE, &defaultAction, nullptr);
    sigaction(SIGCHLD, &defaultAction, nullptr);

    sigset_t mask = startupMask;
    if (unblock != nullptr) {
        for (int signo = 1; signo < NSIG; ++signo) {
            if (sigismember(unblock, signo) == 1)
                sigdelset(&mask, signo);
        }
    }
    sigprocmask(SIG_SETMASK, &mask, nullptr);
}
