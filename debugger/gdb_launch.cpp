#include "debugger/gdb_launch.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <unistd.h>

#include "debugger/child_exit.h"
#include "debugger/launch_core.h"
#include "diagnostics/console.h"
#include "platform/bundle.h"
#include "platform/child_signals.h"
#include "service/process_state.h"

namespace {
constexpr char cannotLaunchGdb[] = "CANNOT LAUNCH GDB!!!";
}

bool launchGdb(const std::shared_ptr<Connection> &connection, std::optional<std::string_view> arch)
{
    consoleLine("Launching GDB\u2026");
    const char *name = arch && *arch == "aarch64" ? "gdb-aarch64" : "gdb-x86_64";
    auto path = auxiliaryExecutablePath(name);
    if (!path)
        return false;
    memcpy(gdbPath, path->c_str(), path->size() + 1);

    installChildExitHandling();
    setClientConnection(connection);
    if (!createPipes({stdinPipe, stdoutPipe, stderrPipe}))
        return false;
    enlargeOutputPipe(stdoutPipe[0]);

    ChildArguments arguments({gdbPath, "--quiet", "--interpreter=mi2", "--nx", "-D", "."});
    ChildEnvironment environment;
    sigset_t unblockInterrupt;
    sigemptyset(&unblockInterrupt);
    sigaddset(&unblockInterrupt, SIGINT);

    pid_t pid = forkDebugger([&] {
        resetChildSignals(&unblockInterrupt);
        dup2(stdinPipe[0], STDIN_FILENO);
        dup2(stdoutPipe[1], STDOUT_FILENO);
        dup2(stderrPipe[1], STDERR_FILENO);
        execve(gdbPath, arguments.argv(), environment.envp());
        writeChildText(STDERR_FILENO, cannotLaunchGdb, sizeof cannotLaunchGdb - 1);
        _exit(255);
    });
    if (pid < 0) {
        int error = errno;
        closePipes({stdinPipe, stdoutPipe, stderrPipe});
        reportFailedFork(error);
        return false;
    }
    recordLaunchedDebugger(DebuggerBackend::Gdb, stdinPipe[1], stdoutPipe[0], {stderrPipe[0]});
    return true;
}
