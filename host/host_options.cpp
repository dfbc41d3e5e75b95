#include "host/host_options.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <sys/stat.h>
#include <unistd.h>

namespace local_debugger {

namespace {

using Problem = std::optional<std::string>;

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

CommandLine usageError(const std::string &problem)
{
    fprintf(stderr, "debugger-host: %s\nTry 'debugger-host --help' for more.\n", problem.c_str());
    return {std::nullopt, exitUsage};
}

bool isDirectory(const std::string &path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::string socketUnitPath()
{
    const char *runtime = getenv("XDG_RUNTIME_DIR");
    return (runtime != nullptr && *runtime != '\0' ? std::string(runtime) : "/run/user/" + std::to_string(getuid())) +
           "/local-debugger.sock";
}

// An option that takes no value; false when the argument is not one.
bool setFlag(const std::string &argument, HostOptions &options)
{
    if (argument == "--gdb") {
        options.gdb = true;
    } else if (argument == "--lldb") {
        options.lldb = true;
    } else if (argument == "--lldb=helper" || argument == "--lldb=script") {
        options.lldb = true;
        options.lldbLayout = argument == "--lldb=helper" ? "lldb" : "lldb-python";
    } else if (argument == "--env-clear") {
        options.clearEnvironment = true;
    } else if (argument == "--log") {
        options.log = true;
    } else if (argument == "--dap") {
        options.dap = true;
    } else if (argument == "--nx" || argument == "--no-lldbinit") {
        options.noInitFiles = true;
    } else if (argument == "--raw") {
        options.raw = true;
    } else if (argument == "--connect") {
        options.socket = socketUnitPath();
    } else {
        return false;
    }
    return true;
}

bool takesValue(const std::string &argument)
{
    static const char *const names[] = {"--arch", "--root", "--timeout", "--env", "--service", "--socket"};
    return std::find(std::begin(names), std::end(names), argument) != std::end(names);
}

Problem setValue(const std::string &name, std::string value, HostOptions &options)
{
    if (name == "--arch") {
        if (value == "arm64")
            value = "aarch64";
        if (value != "x86_64" && value != "aarch64")
            return "--arch takes x86_64, aarch64 or arm64, not \"" + value + "\"";
        options.arch = value;
    } else if (name == "--root") {
        if (!isDirectory(value))
            return "--root " + value + ": no such directory";
        if (access((value + "/usr/bin/xcode-select").c_str(), X_OK) != 0)
            return "--root " + value + ": no toolchain layout there (no usr/bin/xcode-select)";
        options.root = value;
    } else if (name == "--timeout") {
        char *end = nullptr;
        const double seconds = strtod(value.c_str(), &end);
        if (end == value.c_str() || *end != '\0' || !(seconds >= 0 && seconds <= 86400))
            return "--timeout takes a number of seconds, not \"" + value + "\"";
        options.answerTimeout = std::chrono::milliseconds(static_cast<long long>(seconds * 1000));
    } else if (name == "--env") {
        if (value.find('=') == std::string::npos)
            return "--env takes NAME=VALUE, not \"" + value + "\"";
        options.extraEnvironment.push_back(value);
    } else if (name == "--service") {
        options.service = value;
    } else {
        options.socket = value;
    }
    return std::nullopt;
}

// With --dap, --lldb=helper|script only chooses which LLDB back end a launch of "lldb" gets.
Problem dapProblem(const HostOptions &options)
{
    if (options.gdb || (options.lldb && !options.lldbLayout) || options.arch || options.raw || options.program)
        return "--dap takes its debugger and program from the editor's launch request: "
               "give it without --gdb, --lldb, --arch, --raw or a program";
    return std::nullopt;
}

Problem debuggerProblem(const HostOptions &options)
{
    if (options.gdb == options.lldb)
        return "choose one debugger: --gdb or --lldb";
    if (options.arch && !options.gdb)
        return "--arch goes with --gdb";
    if (options.root && !options.lldb)
        return "--root goes with --lldb";
    if (options.socket && (options.service || options.root || options.lldbLayout))
        return "a service reached through its socket uses its own program and toolchain: "
               "--socket and --connect go without --service, --root and --lldb=";
    return std::nullopt;
}

Problem resolveProgram(HostOptions &options)
{
    if (!options.program)
        return std::nullopt;
    char *path = realpath(options.program->c_str(), nullptr);
    if (path == nullptr)
        return *options.program + ": " + strerror(errno);
    options.program = path;
    free(path);
    if (options.lldb && options.program->find('\n') != std::string::npos)
        return "LLDB cannot load a program whose path holds a newline (GDB can)";
    return std::nullopt;
}

Problem combinationProblem(HostOptions &options)
{
    if (options.dap)
        return dapProblem(options);
    if (Problem problem = debuggerProblem(options))
        return problem;
    if (Problem problem = resolveProgram(options))
        return problem;
    if (options.root && options.lldbLayout)
        return "--root and --lldb=" + std::string(*options.lldbLayout == "lldb" ? "helper" : "script") +
               " each choose the toolchain: give one";
    return std::nullopt;
}

} // namespace

CommandLine parseOptions(int argc, char **argv)
{
    HostOptions options;
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        if (argument == "--help" || argument == "-h") {
            fputs(usageText, stdout);
            return {std::nullopt, 0};
        }
        if (argument == "--version") {
            puts("debugger-host " LD_VERSION);
            return {std::nullopt, 0};
        }
        if (takesValue(argument)) {
            if (i + 1 >= argc)
                return usageError(argument + " needs a value");
            if (Problem problem = setValue(argument, argv[++i], options))
                return usageError(*problem);
        } else if (argument == "--" || argument.empty() || argument[0] != '-') {
            const int first = argument == "--" ? i + 1 : i;
            if (first < argc) {
                options.program = argv[first];
                options.arguments.assign(argv + first + 1, argv + argc);
            }
            break;
        } else if (!setFlag(argument, options)) {
            return usageError("unknown argument \"" + argument + "\"");
        }
    }
    if (Problem problem = combinationProblem(options))
        return usageError(*problem);
    return {std::move(options), 0};
}

} // namespace local_debugger
