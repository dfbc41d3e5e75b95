// debugger-host: a terminal host. Starts the service, hands it an environment, launches a
// debugger, and connects the terminal to it: a console for people on a terminal, an editor's
// adapter with --dap, otherwise the byte-exact raw bridge (raw_bridge.h).

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits.h>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "host/console/lldb_cli_console.h"
#include "host/console/terminal_console.h"
#include "host/dap/dap_adapter.h"
#include "host/dap/editor_terminal.h"
#include "host/held_lines.h"
#include "host/host_options.h"
#include "host/launch_handshake.h"
#include "host/raw_bridge.h"
#include "host/service_client.h"

extern char **environ;

namespace {

using namespace std::chrono_literals;
using namespace local_debugger;
using local_debugger::console::CliOptions;
using local_debugger::console::ConsoleOptions;
using local_debugger::console::gdbDialect;
using local_debugger::console::LldbCliConsole;
using local_debugger::console::lldbDialect;
using local_debugger::console::TerminalConsole;

std::string ownDirectory()
{
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return ".";
    std::string executable(path, static_cast<size_t>(length));
    return executable.substr(0, executable.rfind('/'));
}

bool isExecutable(const std::string &path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(path.c_str(), X_OK) == 0;
}

// Installed: <prefix>/bin beside <prefix>/libexec/local-debugger. Built: build/bin beside build/bundle.
std::optional<std::string> findService(const HostOptions &options)
{
    if (options.service)
        return isExecutable(*options.service) ? options.service : std::nullopt;
    std::string here = ownDirectory();
    for (const std::string &candidate :
         {here + "/../libexec/local-debugger/local-debugger", here + "/../bundle/local-debugger"}) {
        if (isExecutable(candidate))
            return candidate;
    }
    return std::nullopt;
}

std::optional<std::string> toolchainRoot(const std::string &layout)
{
    std::string here = ownDirectory();
    for (const std::string &candidate :
         {here + "/../share/local-debugger/toolchains/" + layout, here + "/../toolchains/" + layout}) {
        if (isExecutable(candidate + "/usr/bin/xcode-select"))
            return candidate;
    }
    return std::nullopt;
}

std::vector<uint8_t> environmentPayload(const HostOptions &options)
{
    std::vector<std::string> entries;
    if (!options.clearEnvironment) {
        for (char **entry = environ; *entry != nullptr; ++entry)
            entries.emplace_back(*entry);
    }
    for (const auto &entry : options.extraEnvironment)
        entries.push_back(entry);
    return encodeEnvironmentPayload(entries);
}

// A service of another user cannot open the terminals this process makes (they are ours alone).
bool runsAsUs(std::optional<pid_t> peer)
{
    struct stat info {};
    return peer && stat(("/proc/" + std::to_string(*peer)).c_str(), &info) == 0 && info.st_uid == getuid();
}

// A service reached through a socket may live in another mount namespace (a sandbox's other
// side), where the terminals this process makes do not exist.
bool sharesOurMountNamespace(std::optional<pid_t> peer)
{
    if (!peer)
        return false;
    char ours[64] = {}, theirs[64] = {};
    const std::string path = "/proc/" + std::to_string(*peer) + "/ns/mnt";
    return readlink("/proc/self/ns/mnt", ours, sizeof ours - 1) > 0 &&
           readlink(path.c_str(), theirs, sizeof theirs - 1) > 0 && strcmp(ours, theirs) == 0;
}

// How the run ended, once the connection has: the service's status, then whether the debugger
// said anything at all.
[[noreturn]] void finish(ServiceClient &client, const HostOptions &options, bool debuggerWrote, HeldLines *serviceLines)
{
    client.waitUntilClosed();
    // A service reached through its socket is not ours to wait for: its connection's end is the end.
    auto status = options.socket ? std::optional<int>(0) : client.waitForExit(10s);
    if (!status || !WIFEXITED(*status) || WEXITSTATUS(*status) != 0) {
        if (serviceLines)
            serviceLines->show();
        fprintf(stderr, "debugger-host: the service ended abnormally\n");
        _exit(exitServiceFailed);
    }
    if (!debuggerWrote) {
        fprintf(stderr, "debugger-host: %s ended before writing anything\n", options.gdb ? "GDB" : "LLDB");
        _exit(exitDebuggerSilent);
    }
    // Threads may still be blocked reading the terminal; nothing of theirs needs to finish.
    fflush(stdout);
    _exit(0);
}

[[noreturn]] void diedAtConsole(ServiceClient &client, const char *debugger)
{
    client.waitUntilClosed();
    fprintf(stderr, "debugger-host: %s ended unexpectedly\n", debugger);
    _exit(exitDebuggerDied);
}

// The service's own environment: ours, the log switch, and the LLDB toolchain to use.
std::vector<std::string> serviceEnvironment(const HostOptions &options, bool lldb)
{
    std::vector<std::string> entries;
    for (char **entry = environ; *entry != nullptr; ++entry)
        entries.emplace_back(*entry);
    if (options.log)
        entries.emplace_back("TORVEX_DEBUGGER_LOG=stderr");
    if (lldb) {
        auto root = options.root ? options.root : toolchainRoot(options.lldbLayout.value_or("lldb"));
        if (root)
            entries.push_back("TORVEX_DEBUGGER_ROOT=" + *root);
    }
    return entries;
}

ServicePlace servicePlace(const HostOptions &options, const std::optional<std::string> &service, bool lldb)
{
    ServicePlace place;
    place.socket = options.socket;
    place.start.executable = service.value_or("");
    place.start.environment = serviceEnvironment(options, lldb);
    return place;
}

// --dap: standard input and output carry the editor's protocol, so the service gets neither.
int serveEditor(const HostOptions &options, const std::optional<std::string> &service)
{
    signal(SIGPIPE, SIG_IGN);
    dap::ServiceAccess access;
    for (char **entry = environ; *entry != nullptr; ++entry)
        access.environment.emplace_back(*entry);
    access.log = options.log;
    access.place = [&options, &service](const std::string &backend) {
        ServicePlace place = servicePlace(options, service, backend == "lldb");
        place.keepOffStandardStreams = true;
        return place;
    };
    return dap::runAdapter(std::move(access));
}

// Signals are taken by one thread, so each Ctrl-C becomes exactly one break.
sigset_t blockSignals()
{
    sigset_t taken;
    sigemptyset(&taken);
    for (int signo : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&taken, signo);
    // The console passes window size changes on; nothing else wants them.
    sigset_t blocked = taken;
    sigaddset(&blocked, SIGWINCH);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return taken;
}

// Where the debugger's output goes: LLDB's own command line while it runs, else the record
// console, else (not at a console) the raw bridge.
struct Fronts {
    std::unique_ptr<TerminalConsole> console;
    std::unique_ptr<LldbCliConsole> lldbConsole;
    std::atomic<LldbCliConsole *> lldbFed{nullptr};
    std::unique_ptr<RawBridge> bridge;

    Fronts(const HostOptions &options, bool consoleMode)
    {
        if (!consoleMode) {
            bridge = std::make_unique<RawBridge>(
                RawBridgeOptions{options.gdb, options.program, options.arguments, options.answerTimeout});
            return;
        }
        ConsoleOptions consoleOptions{options.program, options.arguments, !options.noInitFiles};
        console = std::make_unique<TerminalConsole>(options.gdb ? gdbDialect() : lldbDialect(), consoleOptions);
        if (options.lldb)
            lldbConsole =
                std::make_unique<LldbCliConsole>(CliOptions{options.program, options.arguments, !options.noInitFiles});
    }

    ServiceClient::Callbacks callbacks()
    {
        ServiceClient::Callbacks callbacks;
        callbacks.onMessage = [this](const Message &message) {
            const MessageBytes *data = message.dictionary.getData("data");
            if (data == nullptr)
                return;
            if (LldbCliConsole *cli = lldbFed.load())
                cli->feed(data->data(), data->size());
            else if (console)
                console->feed(data->data(), data->size());
            else
                bridge->relayOutput(data->data(), data->size());
        };
        callbacks.onClosed = [this] {
            if (LldbCliConsole *cli = lldbFed.load())
                cli->closed();
            if (console)
                console->closed();
        };
        return callbacks;
    }
};

// Zero once the debugger runs; else the exit status, its reason written.
int launch(ServiceClient &client, const HostOptions &options, HeldLines *serviceLines)
{
    const char *debugger = options.gdb ? "GDB" : "LLDB";
    const LaunchOutcome outcome =
        requestLaunch(client, LaunchRequest{options.gdb, options.arch, environmentPayload(options), options.log});
    if (outcome == LaunchOutcome::NoAnswer) {
        fprintf(stderr, "debugger-host: the service ended without answering the launch of %s\n", debugger);
        client.disconnect();
        client.waitForExit(5s);
        return exitServiceFailed;
    }
    if (serviceLines)
        serviceLines->closeWriteEnd();
    if (outcome == LaunchOutcome::Refused) {
        // A reason the service gives is its console line, just above on standard error.
        if (serviceLines)
            serviceLines->show();
        fprintf(stderr, "debugger-host: the service refused to launch %s%s\n", debugger,
                options.log ? "" : " (run with --log for the service's diagnostics)");
        client.requestResult("stop", 5s);
        client.waitForExit(5s);
        return exitRefused;
    }
    return 0;
}

// LLDB's own command line on this process's terminals; false when it could not start there.
bool runLldbCommandLine(Fronts &fronts, ServiceClient &client)
{
    fronts.lldbFed.store(fronts.lldbConsole.get());
    if (client.closed())
        fronts.lldbConsole->closed();
    if (fronts.lldbConsole->run(client))
        return true;
    fronts.lldbFed.store(nullptr);
    return false;
}

[[noreturn]] void serveTerminal(Fronts &fronts, ServiceClient &client, const HostOptions &options,
                                HeldLines *serviceLines, const sigset_t &taken)
{
    const bool seesOurTerminals = !options.socket || sharesOurMountNamespace(client.peerPid());
    // A console request that fails would leave the record console's lines numbered one short.
    if (fronts.lldbConsole && seesOurTerminals && (!options.socket || runsAsUs(client.peerPid())) &&
        runLldbCommandLine(fronts, client)) {
        if (fronts.lldbConsole->died())
            diedAtConsole(client, "LLDB");
        finish(client, options, fronts.lldbConsole->wrote(), serviceLines);
    }
    if (fronts.lldbConsole) {
        printf(
            "note: LLDB cannot run its own command line on this console's terminal: its records are shown instead\n");
        fflush(stdout);
    }
    if (fronts.console) {
        fronts.console->run(client, seesOurTerminals);
        if (fronts.console->debuggerDied())
            diedAtConsole(client, options.gdb ? "GDB" : "LLDB");
        finish(client, options, fronts.console->debuggerWrote(), serviceLines);
    }
    const bool wrote = fronts.bridge->run(client, taken);
    finish(client, options, wrote, serviceLines);
}

int runAtTerminal(const HostOptions &options, const std::optional<std::string> &service)
{
    const sigset_t taken = blockSignals();
    const bool consoleMode = !options.raw && isatty(STDIN_FILENO) && isatty(STDOUT_FILENO);
    ServicePlace place = servicePlace(options, service, options.lldb);
    // A person at the console reads the service's own lines only when they explain a failure.
    std::unique_ptr<HeldLines> serviceLines;
    if (consoleMode && !options.log && !options.socket && (serviceLines = HeldLines::open()))
        place.start.stderrFd = serviceLines->writeEnd();
    Fronts fronts(options, consoleMode);
    OpenedService opened = openService(place, fronts.callbacks());
    if (serviceLines)
        serviceLines->startReading();
    if (!opened.client) {
        fprintf(stderr, "debugger-host: %s\n", opened.problem.c_str());
        return exitNoService;
    }
    if (const int status = launch(*opened.client, options, serviceLines.get()); status != 0)
        return status;
    serveTerminal(fronts, *opened.client, options, serviceLines.get(), taken);
}

} // namespace

int main(int argc, char **argv)
{
    // Run by the editor in its terminal at the adapter's request: not for people, so not in --help.
    if (argc == 3 && strcmp(argv[1], "--dap-terminal") == 0)
        return dap::runTerminalWaiter(argv[2]);
    const CommandLine commandLine = parseOptions(argc, argv);
    if (!commandLine.options)
        return commandLine.exitStatus;
    const HostOptions &options = *commandLine.options;
    std::optional<std::string> service;
    if (!options.socket && !(service = findService(options))) {
        fprintf(stderr, "debugger-host: cannot find the local-debugger service%s%s\n",
                options.service ? " at " : " beside this program", options.service ? options.service->c_str() : "");
        return exitNoService;
    }
    if (options.dap)
        return serveEditor(options, service);
    return runAtTerminal(options, service);
}
