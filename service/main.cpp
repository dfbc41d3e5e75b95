#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <unistd.h>

#include "debugger/child_exit.h"
#include "debugger/command_queue.h"
#include "diagnostics/console.h"
#include "diagnostics/debug_message.h"
#include "platform/activation.h"
#include "platform/child_signals.h"
#include "platform/system_root.h"
#include "service/connections.h"
#include "service/termination.h"

namespace {

// With 0, 1 or 2 closed, a pipe or socket opened later would take their place and end up on
// a back end's standard streams.
void ensureStandardDescriptors()
{
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0) {
            int opened = open("/dev/null", O_RDWR);
            if (opened >= 0 && opened != fd) {
                dup2(opened, fd);
                close(opened);
            }
        }
    }
}

void blockServiceSignals()
{
    signal(SIGPIPE, SIG_IGN);
    // Only the child-exit watcher takes SIGCHLD; threads started from here inherit the block.
    sigset_t childSignal;
    sigemptyset(&childSignal);
    sigaddset(&childSignal, SIGCHLD);
    pthread_sigmask(SIG_BLOCK, &childSignal, nullptr);
}

} // namespace

int main()
{
    ensureStandardDescriptors();
    recordStartupSignalMask();
    initConsole();
    initDiagnosticLog();
    initSystemRoot();
    consoleLine("launching local debugger (pid " + std::to_string(getpid()) + ")");

    ActivationResult activation = takeActivationSocket();
    if (activation.fd < 0) {
        std::string line = "local-debugger: " + activation.problem +
                           " (start it through socket activation, with the socket on descriptor 3)\n";
        ssize_t ignored = write(STDERR_FILENO, line.data(), line.size());
        (void)ignored;
        return 2;
    }

    blockServiceSignals();
    startChildExitWatcher();
    startCommandWriter();

    if (!activation.listening)
        handleNewConnection(activation.fd, true);
    for (;;) {
        int fd = acceptConnection(activation.fd);
        if (fd < 0)
            endOnConnectionError();
        handleNewConnection(fd, false);
    }
}
