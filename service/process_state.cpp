#include "service/process_state.h"

#include <cerrno>
#include <csignal>
#include <mutex>
#include <sys/wait.h>

#include "platform/connection.h"

std::atomic<bool> alreadyLaunched{false};
std::atomic<pid_t> debuggerPid{0};
std::atomic<int> commandWriteFd{-1};

int commandPipe[2];
int stdinPipe[2];
int stdoutPipe[2];
int stderrPipe[2];
int eventPipe[2];

char pythonScriptPath[1024];
char gdbPath[1024];

namespace {
std::mutex connectionLock;
std::shared_ptr<Connection> storedConnection;

// Held while signalling or reaping, so a signal never reaches a pid the system reused.
std::mutex debuggerLock;
bool debuggerReaped = false;
} // namespace

void setClientConnection(std::shared_ptr<Connection> connection)
{
    std::lock_guard<std::mutex> guard(connectionLock);
    storedConnection = std::move(connection);
}

std::shared_ptr<Connection> clientConnection()
{
    std::lock_guard<std::mutex> guard(connectionLock);
    return storedConnection;
}

void signalDebugger(int signo)
{
    std::lock_guard<std::mutex> guard(debuggerLock);
    pid_t pid = debuggerPid.load();
    if (pid >= 1 && !debuggerReaped)
        kill(pid, signo);
}

bool reapDebuggerIfExited()
{
    std::lock_guard<std::mutex> guard(debuggerLock);
    pid_t pid = debuggerPid.load();
    if (pid < 1 || debuggerReaped)
        return false;
    int status = 0;
    pid_t result;
    do {
        result = waitpid(pid, &status, WNOHANG);
    } while (result < 0 && errno == EINTR);
    if (result != pid)
        return false;
    debuggerReaped = true;
    return true;
}
