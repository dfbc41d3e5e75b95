#include "debugger/child_exit.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

#include "service/process_state.h"
#include "service/termination.h"

namespace {

int wakePipe[2] = {-1, -1};
std::atomic<bool> launchRecorded{false};

void wake()
{
    int saved = errno;
    char byte = 0;
    ssize_t ignored = write(wakePipe[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

void watchForDebuggerExit()
{
    sigset_t childSignal;
    sigemptyset(&childSignal);
    sigaddset(&childSignal, SIGCHLD);
    pthread_sigmask(SIG_UNBLOCK, &childSignal, nullptr);
    char drained[64];
    for (;;) {
        ssize_t got = read(wakePipe[0], drained, sizeof drained);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return;
        if (launchRecorded.load() && reapDebuggerIfExited()) {
            endOnDebuggerExit();
            return;
        }
    }
}

} // namespace

void childExitHandler(int)
{
    wake();
}

void startChildExitWatcher()
{
    if (pipe2(wakePipe, O_CLOEXEC) != 0)
        return;
    fcntl(wakePipe[1], F_SETFL, O_NONBLOCK);
    std::thread(watchForDebuggerExit).detach();
}

void installChildExitHandling()
{
    struct sigaction action {};
    action.sa_handler = childExitHandler;
    sigfillset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGCHLD, &action, nullptr);
}

void debuggerRecorded()
{
    launchRecorded.store(true);
    wake();
}
