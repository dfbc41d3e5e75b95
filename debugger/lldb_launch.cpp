#include "debugger/lldb_launch.h"

#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <unistd.h>

#include "debugger/child_exit.h"
#include "debugger/launch_core.h"
#include "diagnostics/console.h"
#include "diagnostics/debug_message.h"
#include "platform/bundle.h"
#include "platform/child_signals.h"
#include "platform/system_root.h"
#include "service/process_state.h"
#include "toolchain/developer_directory.h"
#include "toolchain/lldb_lookup.h"

namespace {

constexpr char cannotLaunchLldb[] = "CANNOT LAUNCH LLDB!!!";

// Copies path into a child's 1024-byte buffer; a path that does not fit is no path.
bool copyChildPath(char (&buffer)[1024], const std::string &path)
{
    if (path.size() > maxChildPathLength)
        return false;
    memcpy(buffer, path.c_str(), path.size() + 1);
    return true;
}

// Both LLDB back ends: the child keeps the read end of the command pipe and the write end of
// the event pipe under their own numbers, and the three standard pipes on 0, 1 and 2.
void arrangeLldbChildDescriptors()
{
    close(stdinPipe[1]);
    close(stdoutPipe[0]);
    close(stderrPipe[0]);
    close(commandPipe[1]);
    close(eventPipe[0]);
    dup2(stdinPipe[0], STDIN_FILENO);
    dup2(stdoutPipe[1], STDOUT_FILENO);
    dup2(stderrPipe[1], STDERR_FILENO);
}

bool finishLldbLaunch(pid_t pid, DebuggerBackend backend)
{
    if (pid < 0) {
        int error = errno;
        closePipes({stdinPipe, stdoutPipe, stderrPipe, commandPipe, eventPipe});
        reportFailedFork(error);
        return false;
    }
    close(stdinPipe[0]);
    close(stdoutPipe[1]);
    close(stderrPipe[1]);
    close(commandPipe[0]);
    close(eventPipe[1]);
    recordLaunchedDebugger(backend, commandPipe[1], eventPipe[0], {stdoutPipe[0], stderrPipe[0]});
    return true;
}

std::vector<std::string> lldbArguments(std::vector<std::string> leading)
{
    leading.push_back(std::to_string(commandPipe[0]));
    leading.push_back(std::to_string(eventPipe[1]));
    return leading;
}

} // namespace

bool launchLldbHelper(const std::shared_ptr<Connection> &connection)
{
    consoleLine("Launching LLDB (C++)\u2026");
    std::optional<std::string> helper = auxiliaryExecutablePath("lldb-helper");
    std::optional<std::string> frameworks = sharedFrameworksPath();
    if (!frameworks || !helper)
        return false;
    char helperPath[1024];
    char frameworksPath[1024];
    if (!copyChildPath(helperPath, *helper) || !copyChildPath(frameworksPath, *frameworks))
        return false;

    installChildExitHandling();
    setClientConnection(connection);
    if (!createPipes({stdinPipe, stdoutPipe, stderrPipe, commandPipe, eventPipe}))
        return false;
    enlargeOutputPipe(eventPipe[0]);

    // The child's copy of the block gets the variable; the service's own block stays as sent.
    ChildEnvironment environment;
    const char *existing = getEnvironValue(environment.block(), "DYLD_FRAMEWORK_PATH");
    std::string value = existing != nullptr ? std::string(existing) + ":" + frameworksPath : frameworksPath;
    setEnvironVariable(environment.block(), "DYLD_FRAMEWORK_PATH", value.c_str());
    ChildArguments arguments(lldbArguments({helperPath}));
    ChildLine launched = prepareChildDiagnostic("LLDB helper thread launched");
    ChildLine alive = prepareChildConsoleLine("LLDB helper thread alive");
    ChildLine cannotLaunch = prepareChildDiagnostic("Cannot launch LLDB helper");
    ChildLine cannotLaunchConsole = prepareChildConsoleLine(cannotLaunchLldb);

    pid_t pid = forkDebugger([&] {
        resetChildSignals(nullptr);
        writeChildLine(launched);
        writeChildLine(alive);
        arrangeLldbChildDescriptors();
        execve(helperPath, arguments.argv(), environment.envp());
        writeChildLine(cannotLaunch);
        writeChildLine(cannotLaunchConsole);
        _exit(255);
    });
    return finishLldbLaunch(pid, DebuggerBackend::LldbHelper);
}

bool launchLldbPython(const std::shared_ptr<Connection> &connection)
{
    consoleLine("Launching LLDB (Python)\u2026");
    std::optional<std::string> lldb = findLldbPath();
    std::optional<std::string> pythonDirectory = lldbPythonPath(lldb);
    char pythonDirectoryPath[1024];
    if (!pythonDirectory || !copyChildPath(pythonDirectoryPath, *pythonDirectory))
        return false;
    // Looked up before anything is installed, so a missing script changes nothing.
    std::optional<std::string> script = resourcePath("lldb_server", "py");
    char pythonProgram[1024];
    if (!script || script->size() > maxChildPathLength || !copyChildPath(pythonProgram, rootedPath("/usr/bin/python")))
        return false;

    installChildExitHandling();
    setClientConnection(connection);
    if (!createPipes({stdinPipe, stdoutPipe, stderrPipe, commandPipe, eventPipe}))
        return false;
    enlargeOutputPipe(eventPipe[0]);
    copyChildPath(pythonScriptPath, *script);
    debugMessage(std::string("Python script found at ") + pythonScriptPath);

    ChildEnvironment environment;
    setEnvironVariable(environment.block(), "PYTHONPATH", pythonDirectoryPath);
    ChildArguments arguments(lldbArguments({pythonProgram, pythonScriptPath}));
    ChildLine launched = prepareChildDiagnostic("Python thread launched");
    ChildLine cannotLaunch = prepareChildDiagnostic("Cannot launch Python");

    pid_t pid = forkDebugger([&] {
        resetChildSignals(nullptr);
        writeChildLine(launched);
        arrangeLldbChildDescriptors();
        execve(pythonProgram, arguments.argv(), environment.envp());
        writeChildLine(cannotLaunch);
        writeChildText(STDERR_FILENO, cannotLaunchLldb, sizeof cannotLaunchLldb - 1);
        _exit(255);
    });
    return finishLldbLaunch(pid, DebuggerBackend::LldbPython);
}
