// debugger-host: a terminal host. Starts the service, hands it an environment, launches a
// debugger, and connects the terminal to it: a console for people on a terminal, otherwise a
// byte-exact bridge (standard input becomes send, Ctrl-C becomes break, end of input becomes
// stop once the debugger has answered every line, everything it writes goes to standard output).

#include <algorithm>
#include <deque>
#include <fcntl.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <utility>
#include <vector>

#include "host/console/lldb_cli_console.h"
#include "host/console/terminal_console.h"
#include "host/dap/dap_adapter.h"
#include "host/service_client.h"
#include "host/session/gdb_session.h"
#include "host/session/lldb_session.h"
#include "platform/write_all.h"

extern char **environ;

namespace {

using namespace std::chrono_literals;
using local_debugger::encodeEnvironmentPayload;
using local_debugger::ServiceClient;
using local_debugger::ServiceStartOptions;
using local_debugger::console::CliOptions;
using local_debugger::console::ConsoleOptions;
using local_debugger::console::gdbDialect;
using local_debugger::console::LldbCliConsole;
using local_debugger::console::lldbDialect;
using local_debugger::console::TerminalConsole;

constexpr int exitUsage = 2;
constexpr int exitNoService = 3;
constexpr int exitRefused = 4;
constexpr int exitServiceFailed = 5;
constexpr int exitDebuggerSilent = 6;
constexpr int exitDebuggerDied = 7;

const char usageText[] =
    "usage: debugger-host (--gdb [--arch NAME] | --lldb[=helper|script] [--root DIR]) [options]\n"
    "                     [--] [PROGRAM [ARGS...]]\n"
    "       debugger-host --dap [--lldb=helper|script | --root DIR] [options]\n"
    "\n"
    "Starts the local debugger service, launches one debugger in it and connects this\n"
    "terminal to that debugger. PROGRAM, when given, is loaded first, with ARGS as its\n"
    "arguments. They reach the program as given: with GDB through a POSIX shell ($SHELL),\n"
    "each quoted so that it reads it back as it stands; with LLDB as data, for the run\n"
    "or process launch you type. LLDB cannot load a PROGRAM whose path holds a newline;\n"
    "that is refused.\n"
    "\n"
    "Console mode, the default when standard input and output are a terminal:\n"
    "  - a prompt, (gdb) or (lldb), with line editing, history and Tab completion (LLDB's\n"
    "    own with LLDB; otherwise here, the history kept in $XDG_STATE_HOME/local-debugger/,\n"
    "    lines over 800 bytes not kept, a line at most 1000 bytes: a key past that rings the bell);\n"
    "  - with GDB, the console is GDB's own command line on a terminal made here: what it\n"
    "    writes shows as written; before run, start, kill, quit and Ctrl-D with a live\n"
    "    program, and delete with no numbers, you are asked here; the user's init file,\n"
    "    and ./.gdbinit where GDB's auto-load safe-path trusts it, are read unless --nx;\n"
    "  - with LLDB, the console is LLDB's own command line on a terminal made here: its\n"
    "    line editing, completion, history (~/.lldb), questions and stop descriptions, and\n"
    "    the program on a terminal of LLDB's; ~/.lldbinit is read unless --no-lldbinit;\n"
    "  - where the service cannot open this terminal, each line runs as a debugger command\n"
    "    (with GDB, a line starting with - is sent as a GDB/MI command); what the debugger\n"
    "    answers prints as text, a stop as one line, errors as error: ...;\n"
    "  - while the program runs, this terminal is its terminal: what you type reaches it;\n"
    "  - Ctrl-C interrupts the program (or drops the line at the prompt); Ctrl-D or quit ends.\n"
    "\n"
    "DAP mode, with --dap: a Debug Adapter Protocol adapter on standard input and output for\n"
    "an editor; its launch or attach request names the program and the debugger (backend\n"
    "\"gdb\", the default, or \"lldb\"). Its values reach the program as given; only those\n"
    "no debugger can carry are refused: a NUL in program, args or cwd, and with lldb a\n"
    "newline in program. See docs/dap.md.\n"
    "\n"
    "Raw mode, the default otherwise, or with --raw:\n"
    "  - bytes read from standard input are sent to the debugger unchanged (GDB/MI for GDB,\n"
    "    one LLDB command a line for LLDB);\n"
    "  - everything the debugger writes arrives on standard output unchanged;\n"
    "  - Ctrl-C (SIGINT) interrupts the debugger (one interrupt per Ctrl-C);\n"
    "  - at end of standard input, once the debugger has answered every line sent, it is\n"
    "    asked to quit (-gdb-exit; quit), so that all it writes while ending arrives; what\n"
    "    has not ended within --timeout is stopped.\n"
    "\n"
    "Debugger:\n"
    "  --gdb            GDB in machine-interface mode (it reads GDB/MI commands)\n"
    "  --arch NAME      with --gdb: x86_64 (the default), or aarch64 (also arm64)\n"
    "  --lldb           an LLDB back end (one LLDB command a line; JSON records back),\n"
    "                   chosen by the toolchain layout installed with the service\n"
    "  --lldb=helper    the LLDB back end built on LLDB's library (lldb-helper)\n"
    "  --lldb=script    the LLDB back end run by Python (lldb_server.py)\n"
    "  --root DIR       with --lldb: use the toolchain layout at DIR instead\n"
    "\n"
    "Environment handed to the debugger (it gets nothing else):\n"
    "  by default       this program's own environment\n"
    "  --env-clear      start from an empty environment\n"
    "  --env NAME=VALUE add an entry (repeatable; applied after --env-clear)\n"
    "\n"
    "Other options:\n"
    "  --raw            raw mode even on a terminal\n"
    "  --nx, --no-lldbinit  at the console: do not read the init files\n"
    "  --log            switch the service's diagnostic log on; entries go to standard error\n"
    "  --service PATH   the service executable (default: the one installed or built beside\n"
    "                   this program)\n"
    "  --socket PATH    use the service listening at PATH instead of starting one\n"
    "  --connect        the same, at the socket unit's socket\n"
    "                   ($XDG_RUNTIME_DIR/local-debugger.sock)\n"
    "  --timeout SECS   at end of input, how long to wait for the debugger's answers\n"
    "                   (default 10)\n"
    "  --version        the version of this program\n"
    "  --help           this text\n"
    "\n"
    "Exit status: 0 when the run ended normally; 2 for bad usage; 3 when the service could\n"
    "not be started; 4 when the launch was refused; 5 when the service ended abnormally or\n"
    "without answering; 6 when the debugger ended before writing anything; 7 when the\n"
    "debugger ended at the console without being asked to.\n";

struct Options {
    bool gdb = false;
    bool lldb = false;
    std::optional<std::string> lldbLayout; // "lldb" (helper) or "lldb-python" (script)
    std::optional<std::string> arch;
    std::optional<std::string> root;
    bool clearEnvironment = false;
    std::vector<std::string> extraEnvironment;
    bool log = false;
    std::optional<std::string> service;
    std::optional<std::string> socket; // a listening service's socket, instead of starting one
    std::chrono::milliseconds answerTimeout{10000};
    bool raw = false;
    bool noInitFiles = false;
    bool dap = false;
    std::optional<std::string> program;
    std::vector<std::string> arguments;
};

[[noreturn]] void usageError(const std::string &problem)
{
    fprintf(stderr, "debugger-host: %s\nTry 'debugger-host --help' for more.\n", problem.c_str());
    exit(exitUsage);
}

bool isDirectory(const std::string &path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

Options parseOptions(int argc, char **argv)
{
    Options options;
    auto value = [&](int &i, const char *name) -> std::string {
        if (i + 1 >= argc)
            usageError(std::string(name) + " needs a value");
        return argv[++i];
    };
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            fputs(usageText, stdout);
            exit(0);
        } else if (argument == "--gdb") {
            options.gdb = true;
        } else if (argument == "--version") {
            puts("debugger-host " LD_VERSION);
            exit(0);
        } else if (argument == "--lldb") {
            options.lldb = true;
        } else if (argument == "--lldb=helper" || argument == "--lldb=script") {
            options.lldb = true;
            options.lldbLayout = argument == "--lldb=helper" ? "lldb" : "lldb-python";
        } else if (argument == "--arch") {
            std::string arch = value(i, "--arch");
            if (arch == "arm64")
                arch = "aarch64";
            if (arch != "x86_64" && arch != "aarch64")
                usageError("--arch takes x86_64, aarch64 or arm64, not \"" + arch + "\"");
            options.arch = arch;
        } else if (argument == "--root") {
            options.root = value(i, "--root");
            if (!isDirectory(*options.root))
                usageError("--root " + *options.root + ": no such directory");
            if (access((*options.root + "/usr/bin/xcode-select").c_str(), X_OK) != 0)
                usageError("--root " + *options.root + ": no toolchain layout there (no usr/bin/xcode-select)");
        } else if (argument == "--timeout") {
            std::string text = value(i, "--timeout");
            char *end = nullptr;
            const double seconds = strtod(text.c_str(), &end);
            if (end == text.c_str() || *end != '\0' || !(seconds >= 0 && seconds <= 86400))
                usageError("--timeout takes a number of seconds, not \"" + text + "\"");
            options.answerTimeout = std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
        } else if (argument == "--env-clear") {
            options.clearEnvironment = true;
        } else if (argument == "--env") {
            std::string entry = value(i, "--env");
            if (entry.find('=') == std::string::npos)
                usageError("--env takes NAME=VALUE, not \"" + entry + "\"");
            options.extraEnvironment.push_back(entry);
        } else if (argument == "--log") {
            options.log = true;
        } else if (argument == "--dap") {
            options.dap = true;
        } else if (argument == "--nx" || argument == "--no-lldbinit") {
            options.noInitFiles = true;
        } else if (argument == "--raw") {
            options.raw = true;
        } else if (argument == "--" || argument.empty() || argument[0] != '-') {
            const int first = argument == "--" ? i + 1 : i;
            if (first < argc) {
                options.program = argv[first];
                options.arguments.assign(argv + first + 1, argv + argc);
            }
            break;
        } else if (argument == "--service") {
            options.service = value(i, "--service");
        } else if (argument == "--socket") {
            options.socket = value(i, "--socket");
        } else if (argument == "--connect") {
            const char *runtime = getenv("XDG_RUNTIME_DIR");
            options.socket = (runtime != nullptr && *runtime != '\0' ? std::string(runtime)
                                                                     : "/run/user/" + std::to_string(getuid())) +
                             "/local-debugger.sock";
        } else {
            usageError("unknown argument \"" + argument + "\"");
        }
    }
    // With --dap, --lldb=helper|script only chooses which LLDB back end a launch of "lldb" gets.
    if (options.dap && (options.gdb || (options.lldb && !options.lldbLayout) || options.arch || options.raw ||
                        options.program))
        usageError("--dap takes its debugger and program from the editor's launch request: "
                   "give it without --gdb, --lldb, --arch, --raw or a program");
    if (options.dap)
        return options;
    if (options.gdb == options.lldb)
        usageError("choose one debugger: --gdb or --lldb");
    if (options.arch && !options.gdb)
        usageError("--arch goes with --gdb");
    if (options.root && !options.lldb && !options.dap)
        usageError("--root goes with --lldb");
    if (options.socket && (options.service || options.root || options.lldbLayout))
        usageError("a service reached through its socket uses its own program and toolchain: "
                   "--socket and --connect go without --service, --root and --lldb=");
    if (options.program) {
        char *path = realpath(options.program->c_str(), nullptr);
        if (path == nullptr)
            usageError(*options.program + ": " + strerror(errno));
        options.program = path;
        free(path);
        if (options.lldb && options.program->find('\n') != std::string::npos)
            usageError("LLDB cannot load a program whose path holds a newline (GDB can)");
    }
    if (options.root && options.lldbLayout)
        usageError("--root and --lldb=" + std::string(*options.lldbLayout == "lldb" ? "helper" : "script") +
                   " each choose the toolchain: give one");
    return options;
}

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
std::optional<std::string> findService(const Options &options)
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

std::vector<uint8_t> environmentPayload(const Options &options)
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

void writeOut(const std::vector<uint8_t> &bytes)
{
    writeAll(STDOUT_FILENO, std::string_view(reinterpret_cast<const char *>(bytes.data()), bytes.size()));
}

// Counts the debugger's answers as its output passes: each command line gets one, which its
// session tells from the start of a line.
class AnswerCounter {
public:
    explicit AnswerCounter(bool gdb) : gdb_(gdb) {}

    void feed(const uint8_t *bytes, size_t count)
    {
        // Only the start of each line tells an answer: the rest is skipped a line at a time.
        size_t answers = 0;
        const auto *at = reinterpret_cast<const char *>(bytes);
        const char *end = at + count;
        while (at < end) {
            const auto *newline = static_cast<const char *>(memchr(at, '\n', static_cast<size_t>(end - at)));
            const char *stop = newline != nullptr ? newline : end;
            line_.append(at, std::min<size_t>(static_cast<size_t>(stop - at), lineStart - std::min(lineStart, line_.size())));
            if (newline == nullptr)
                break;
            answers += isAnswer() ? 1 : 0;
            line_.clear();
            at = newline + 1;
        }
        std::lock_guard<std::mutex> guard(lock_);
        wrote_ = wrote_ || count > 0;
        answers_ += answers;
        changed_.notify_all();
    }
    bool wrote()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return wrote_;
    }
    // True once at least count answers have come, false when the timeout passed first.
    bool waitFor(size_t count, std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> guard(lock_);
        return changed_.wait_for(guard, timeout, [&] { return answers_ >= count; });
    }

private:
    bool isAnswer() const
    {
        return gdb_ ? local_debugger::GdbSession::answers(line_) : local_debugger::LldbSession::answers(line_);
    }

    static constexpr size_t lineStart = 32; // enough of a line to know an answer
    const bool gdb_;
    std::string line_; // the start of the line being read
    std::mutex lock_;
    std::condition_variable changed_;
    size_t answers_ = 0;
    bool wrote_ = false;
};

// The lines a started service writes to its standard error, kept (the last hundred) rather than
// shown, until they explain a failure.
class HeldLines {
public:
    static std::unique_ptr<HeldLines> open()
    {
        int ends[2];
        if (pipe2(ends, O_CLOEXEC) != 0)
            return nullptr;
        return std::unique_ptr<HeldLines>(new HeldLines(ends[0], ends[1]));
    }
    // Once the service has started: the pipe holds its first lines meanwhile, and the service
    // starts sooner for not waiting on this thread's creation.
    void startReading()
    {
        if (readEnd_ < 0)
            return;
        // The reader outlives this object: it ends with the service's last writer.
        std::thread([kept = kept_, readEnd = std::exchange(readEnd_, -1)] {
            FILE *in = fdopen(readEnd, "r");
            char *line = nullptr;
            size_t size = 0;
            while (in != nullptr && getline(&line, &size, in) > 0) {
                std::lock_guard<std::mutex> guard(kept->lock);
                kept->lines.emplace_back(line);
                if (kept->lines.size() > 100)
                    kept->lines.pop_front();
            }
            free(line);
            if (in != nullptr)
                fclose(in);
        }).detach();
    }

    int writeEnd() const { return writeEnd_; }
    // Once the service holds its copy.
    void closeWriteEnd()
    {
        if (writeEnd_ >= 0)
            close(writeEnd_);
        writeEnd_ = -1;
    }
    void show()
    {
        std::lock_guard<std::mutex> guard(kept_->lock);
        for (const auto &line : kept_->lines)
            fputs(line.c_str(), stderr);
        kept_->lines.clear();
    }

private:
    struct Kept {
        std::mutex lock;
        std::deque<std::string> lines;
    };

    HeldLines(int readEnd, int writeEnd) : readEnd_(readEnd), writeEnd_(writeEnd) {}

    int readEnd_;
    int writeEnd_;
    std::shared_ptr<Kept> kept_ = std::make_shared<Kept>();
};

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
int finish(ServiceClient &client, const Options &options, const char *debugger, bool debuggerWrote,
           HeldLines *serviceLines)
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
        fprintf(stderr, "debugger-host: %s ended before writing anything\n", debugger);
        _exit(exitDebuggerSilent);
    }
    // Threads may still be blocked reading the terminal; nothing of theirs needs to finish.
    fflush(stdout);
    _exit(0);
}

// The service's own environment: ours, the log switch, and the LLDB toolchain to use.
std::vector<std::string> serviceEnvironment(const Options &options, bool lldb)
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

// --dap: standard input and output carry the editor's protocol, so the service gets neither.
int serveEditor(const Options &options, const std::optional<std::string> &service)
{
    signal(SIGPIPE, SIG_IGN);
    local_debugger::dap::ServiceAccess access;
    for (char **entry = environ; *entry != nullptr; ++entry)
        access.environment.emplace_back(*entry);
    access.socket = options.socket.has_value();
    access.log = options.log;
    access.open = [&](const std::string &backend, ServiceClient::Callbacks callbacks,
                      std::string &reason) -> std::unique_ptr<ServiceClient> {
        std::unique_ptr<ServiceClient> client;
        if (options.socket) {
            client = ServiceClient::connectTo(*options.socket, std::move(callbacks));
        } else {
            ServiceStartOptions start;
            start.executable = *service;
            start.environment = serviceEnvironment(options, backend == "lldb");
            start.stdinFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
            start.stdoutFd = STDERR_FILENO;
            client = ServiceClient::start(start, std::move(callbacks));
            const int error = errno;
            if (start.stdinFd >= 0)
                close(start.stdinFd);
            errno = error;
        }
        if (!client)
            reason = (options.socket ? "cannot connect to " + *options.socket : "cannot start " + *service) + ": " +
                     strerror(errno);
        return client;
    };
    return local_debugger::dap::runAdapter(std::move(access));
}

} // namespace

int main(int argc, char **argv)
{
    Options options = parseOptions(argc, argv);
    std::optional<std::string> service;
    if (!options.socket && !(service = findService(options))) {
        fprintf(stderr, "debugger-host: cannot find the local-debugger service%s%s\n",
                options.service ? " at " : " beside this program", options.service ? options.service->c_str() : "");
        return exitNoService;
    }

    if (options.dap)
        return serveEditor(options, service);

    // Signals are taken by one thread with sigwait, so each Ctrl-C becomes exactly one break.
    sigset_t handled;
    sigemptyset(&handled);
    for (int signo : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&handled, signo);
    // The console passes window size changes on; nothing else wants them.
    sigset_t blocked = handled;
    sigaddset(&blocked, SIGWINCH);
    pthread_sigmask(SIG_BLOCK, &blocked, nullptr);
    signal(SIGPIPE, SIG_IGN);

    ServiceStartOptions start;
    start.executable = service.value_or("");
    start.environment = serviceEnvironment(options, options.lldb);
    const bool consoleMode = !options.raw && isatty(STDIN_FILENO) && isatty(STDOUT_FILENO);
    // A person at the console reads the service's own lines only when they explain a failure.
    std::unique_ptr<HeldLines> serviceLines;
    if (consoleMode && !options.log && !options.socket) {
        serviceLines = HeldLines::open();
        if (serviceLines)
            start.stderrFd = serviceLines->writeEnd();
    }

    AnswerCounter answers(options.gdb);
    std::unique_ptr<TerminalConsole> console;
    std::unique_ptr<LldbCliConsole> lldbConsole;
    std::atomic<LldbCliConsole *> lldbFed{nullptr}; // while LLDB's own command line runs
    if (consoleMode) {
        ConsoleOptions consoleOptions{options.program, options.arguments, !options.noInitFiles};
        console = std::make_unique<TerminalConsole>(options.gdb ? gdbDialect() : lldbDialect(), consoleOptions);
        if (options.lldb)
            lldbConsole = std::make_unique<LldbCliConsole>(
                CliOptions{options.program, options.arguments, !options.noInitFiles});
    }
    ServiceClient::Callbacks callbacks;
    callbacks.onMessage = [&answers, &console, &lldbFed](const Message &message) {
        if (const MessageBytes *data = message.dictionary.getData("data")) {
            if (LldbCliConsole *cli = lldbFed.load()) {
                cli->feed(data->data(), data->size());
                return;
            }
            if (console) {
                console->feed(data->data(), data->size());
                return;
            }
            writeOut(*data);
            answers.feed(data->data(), data->size());
        }
    };
    callbacks.onClosed = [&console, &lldbFed] {
        if (LldbCliConsole *cli = lldbFed.load())
            cli->closed();
        if (console)
            console->closed();
    };
    auto client = options.socket ? ServiceClient::connectTo(*options.socket, callbacks)
                                 : ServiceClient::start(start, callbacks);
    if (serviceLines)
        serviceLines->startReading();
    if (!client) {
        fprintf(stderr, "debugger-host: cannot %s %s: %s\n", options.socket ? "connect to" : "start",
                options.socket ? options.socket->c_str() : service->c_str(), strerror(errno));
        return exitNoService;
    }

    client->sendData("set_env", environmentPayload(options));
    if (options.log)
        client->sendCommand("log");
    MessageDictionary launch;
    launch.setString("command", options.gdb ? "launch_gdb" : "launch_lldb");
    if (options.arch)
        launch.setString("arch", *options.arch);
    const char *debugger = options.gdb ? "GDB" : "LLDB";
    auto reply = client->request(launch, 60s);
    if (!reply) {
        fprintf(stderr, "debugger-host: the service ended without answering the launch of %s\n", debugger);
        client->disconnect();
        client->waitForExit(5s);
        return exitServiceFailed;
    }
    if (serviceLines)
        serviceLines->closeWriteEnd();
    if (reply->getBool("result") != true) {
        // A reason the service gives is its console line, just above on standard error.
        if (serviceLines)
            serviceLines->show();
        fprintf(stderr, "debugger-host: the service refused to launch %s%s\n", debugger,
                options.log ? "" : " (run with --log for the service's diagnostics)");
        client->requestResult("stop", 5s);
        client->waitForExit(5s);
        return exitRefused;
    }

    const bool seesOurTerminals = !options.socket || sharesOurMountNamespace(client->peerPid());
    // A console request that fails would leave the record console's lines numbered one short.
    if (lldbConsole && seesOurTerminals && (!options.socket || runsAsUs(client->peerPid()))) {
        lldbFed.store(lldbConsole.get());
        if (client->closed())
            lldbConsole->closed();
        if (lldbConsole->run(*client)) {
            if (lldbConsole->died()) {
                client->waitUntilClosed();
                fprintf(stderr, "debugger-host: LLDB ended unexpectedly\n");
                _exit(exitDebuggerDied);
            }
            return finish(*client, options, debugger, lldbConsole->wrote(), serviceLines.get());
        }
        lldbFed.store(nullptr);
    }
    if (lldbConsole) {
        printf("note: LLDB cannot run its own command line on this console's terminal: its records are shown instead\n");
        fflush(stdout);
    }
    if (console) {
        console->run(*client, seesOurTerminals);
        if (console->debuggerDied()) {
            client->waitUntilClosed();
            fprintf(stderr, "debugger-host: %s ended unexpectedly\n", debugger);
            _exit(exitDebuggerDied);
        }
        return finish(*client, options, debugger, console->debuggerWrote(), serviceLines.get());
    }

    std::thread([&client, handled] {
        for (;;) {
            int signo = 0;
            if (sigwait(&handled, &signo) != 0)
                continue;
            if (signo == SIGINT)
                client->sendCommand("break");
            else
                client->requestResult("stop", 10s);
        }
    }).detach();

    std::thread([&client, &answers, &options] {
        std::vector<uint8_t> buffer(64 * 1024);
        size_t lines = 0;
        if (options.program) {
            auto dialect = options.gdb ? gdbDialect() : lldbDialect();
            for (const auto &line : dialect->loadProgram(*options.program, options.arguments, 1)) {
                client->sendData("send", std::vector<uint8_t>(line.begin(), line.end()));
                ++lines;
            }
        }
        for (;;) {
            ssize_t got = read(STDIN_FILENO, buffer.data(), buffer.size());
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break;
            lines += static_cast<size_t>(std::count(buffer.begin(), buffer.begin() + got, '\n'));
            if (!client->sendData("send", std::vector<uint8_t>(buffer.begin(), buffer.begin() + got)))
                return;
        }
        // Every line sent gets its answer; then the debugger ends by itself, so that what it
        // writes while ending (LLDB's last exited record) still arrives. stop only if it will not.
        const auto deadline = std::chrono::steady_clock::now() + options.answerTimeout;
        if (answers.waitFor(lines, options.answerTimeout)) {
            const std::string quit = options.gdb ? "-gdb-exit\n" : "quit\n";
            client->sendData("send", std::vector<uint8_t>(quit.begin(), quit.end()));
            while (!client->closed() && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(10ms);
        }
        client->requestResult("stop", 10s);
    }).detach();

    client->waitUntilClosed();
    return finish(*client, options, debugger, answers.wrote(), serviceLines.get());
}
