#include "debugger/launch_core.h"

#include <cerrno>
#include <fcntl.h>
#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

#include "debugger/child_exit.h"
#include "debugger/output_relay.h"
#include "debugger/pipe_drain.h"
#include "diagnostics/console.h"
#include "service/process_state.h"

ChildArguments::ChildArguments(std::vector<std::string> arguments) : strings_(std::move(arguments))
{
    for (auto &argument : strings_)
        pointers_.push_back(argument.data());
    pointers_.push_back(nullptr);
}

bool createPipes(std::initializer_list<int *> pipes)
{
    std::vector<int *> made;
    for (int *fds : pipes) {
        if (pipe(fds) != 0) {
            for (int *created : made) {
                close(created[0]);
                close(created[1]);
            }
            return false;
        }
        made.push_back(fds);
    }
    return true;
}

void closePipes(std::initializer_list<int *> pipes)
{
    for (int *fds : pipes) {
        close(fds[0]);
        close(fds[1]);
    }
}

void enlargeOutputPipe(int readFd)
{
    fcntl(readFd, F_SETPIPE_SZ, static_cast<int>(relayReadSize));
}

pid_t forkDebugger(const std::function<void()> &childBody)
{
    const pid_t servicePid = getpid();
    debuggerPid.store(fork());
    pid_t pid = debuggerPid.load();
    if (pid == 0) {
        // The back end never outlives the service, even one killed with SIGKILL. The forking
        // thread serves a connection, and a connection's end is the service's end.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != servicePid)
            _exit(255);
        childBody();
        _exit(255);
    }
    return pid;
}

void reportFailedFork(int error)
{
    consoleLine("Error while forking process: " + std::to_string(error));
}

void recordLaunchedDebugger(DebuggerBackend backend, int commandFd, int outputFd,
                            std::initializer_list<int> discardFds)
{
    alreadyLaunched.store(true);
    commandWriteFd.store(commandFd);
    for (int fd : discardFds)
        startDiscardingPipe(fd);
    startOutputRelay(outputFd, backend);
}

void writeChildText(int fd, const char *text, size_t length)
{
    while (length > 0) {
        ssize_t written = write(fd, text, length);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return;
        text += written;
        length -= static_cast<size_t>(written);
    }
}
