#include "backends/lldb_helper/worker.h"

#include "backends/lldb_helper/breakpoints.h"
#include "backends/lldb_helper/watchpoints.h"
#include "backends/lldb_helper/describe.h"
#include "backends/lldb_helper/event_writer.h"
#include "backends/lldb_helper/examiner.h"
#include "backends/lldb_helper/memory.h"
#include "backends/lldb_helper/process_tree.h"
#include "backends/lldb_helper/program_modules.h"
#include "backends/lldb_helper/program_terminal.h"
#include "backends/lldb_helper/python_cache.h"
#include "backends/lldb_helper/records.h"
#include "backends/lldb_helper/reporter.h"
#include "backends/lldb_helper/requests.h"
#include "backends/lldb_helper/utf8.h"

#include <lldb/API/LLDB.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <thread>
#include <type_traits>
#include <unistd.h>
#include <variant>
#include <vector>

namespace lldb_helper {

namespace {

constexpr const char* kBackendName = "lldb-helper";
constexpr const char* kDebugServerVariable = "LLDB_DEBUGSERVER_PATH";
constexpr const char* kDebugServerPath = "/usr/lib/llvm-16/bin/lldb-server";
// Once shutdown starts, the worker is gone after this long even if LLDB never answers.
constexpr auto kShutdownDeadline = std::chrono::seconds(10);
// How long shutdown waits for LLDB to report the end of the debuggees it killed.
constexpr auto kSettlePatience = std::chrono::milliseconds(3000);

void set_cloexec(int fd)
{
    const int flags = ::fcntl(fd, F_GETFD);
    if (flags >= 0)
        ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

// Why path cannot be a terminal for LLDB's console or the program; empty when it can.
std::string terminal_problem(const std::string& path)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return "error: cannot open " + to_utf8_lossy(path) + ": " + std::strerror(errno) + "\n";
    const bool terminal = ::isatty(fd) != 0;
    ::close(fd);
    return terminal ? "" : "error: " + to_utf8_lossy(path) + " is not a terminal\n";
}

void write_byte(int fd)
{
    const char byte = 1;
    while (::write(fd, &byte, 1) < 0 && errno == EINTR) {
    }
}

std::string first_line(const char* text)
{
    if (text == nullptr)
        return {};
    std::string line = text;
    const std::size_t end = line.find('\n');
    if (end != std::string::npos)
        line.erase(end);
    return to_utf8_lossy(line);
}

class Session {
public:
    Session(int command_fd, int event_fd, int wake_read, int wake_write, int signal_fd)
        : command_fd_(command_fd), writer_(event_fd, wake_write), reporter_(writer_), wake_read_(wake_read),
          wake_write_(wake_write), signal_fd_(signal_fd)
    {
    }

    int run(bool unset_debug_server_for_debuggee);

private:
    bool start_debugger(bool unset_debug_server_for_debuggee);
    void event_loop();
    void signal_loop();
    void interrupt_debuggees();
    void request_shutdown();
    void arm_deadline();
    // Runs one command line; false when the session should end ("quit").
    bool run_line(std::string line);
    void answer(std::uint64_t seq, const std::string& line);
    requests::Answer input(const requests::Input& request);
    requests::Answer launch(const requests::Launch& request);
    requests::Answer console(const requests::Console& request);
    requests::Answer console_size();
    void direct_output_to_program_terminal();
    void relay_loop();
    void command_loop();
    [[noreturn]] void shut_down();

    int command_fd_;
    EventWriter writer_;
    Reporter reporter_;
    int wake_read_;
    int wake_write_;
    int signal_fd_;
    lldb::SBDebugger debugger_;
    lldb::SBListener records_{"lldb-helper.records"};
    int console_fd_ = -1;
    ProgramTerminal program_terminal_;
    BreakpointRequests breakpoints_;
    WatchpointRequests watchpoints_;
    Examiner examiner_{debugger_};
    std::uint64_t seq_ = 0;
    std::atomic<bool> shutdown_requested_{false};
    std::atomic<bool> in_command_{false};
    std::atomic_flag deadline_armed_ = ATOMIC_FLAG_INIT;
};

bool Session::start_debugger(bool unset_debug_server_for_debuggee)
{
    lldb::SBError init;
    {
        const StartupPythonCache cache;  // LLDB starts its Python here
        init = lldb::SBDebugger::InitializeWithErrorHandling();
    }
    if (init.Fail()) {
        writer_.write_line(records::error(std::string("cannot initialise LLDB: ") +
                                          to_utf8_lossy(init.GetCString() ? init.GetCString() : "")));
        return false;
    }
    debugger_ = lldb::SBDebugger::Create(false);
    if (!debugger_.IsValid()) {
        writer_.write_line(records::error("cannot create an LLDB debugger"));
        return false;
    }
    debugger_.SetAsync(true);
    // Commands that would read from a terminal (a bare "script", say) see end of input rather
    // than waiting forever on a pipe nobody writes to.
    const int null_fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null_fd >= 0)
        debugger_.SetInputFile(lldb::SBFile(null_fd, "r", true));

    std::vector<std::string> setup = {"settings set auto-confirm true", "settings set use-color false"};
    if (unset_debug_server_for_debuggee)
        setup.push_back(std::string("settings set target.unset-env-vars ") + kDebugServerVariable);
    lldb::SBCommandInterpreter interpreter = debugger_.GetCommandInterpreter();
    for (const std::string& command : setup) {
        lldb::SBCommandReturnObject result;
        interpreter.HandleCommand(command.c_str(), result, false);
        if (!result.Succeeded()) {
            writer_.write_line(records::error("setting up LLDB failed: " + command + ": " +
                                              to_utf8_lossy(result.GetError() ? result.GetError() : "")));
        }
    }
    return true;
}

void Session::event_loop()
{
    for (;;) {
        lldb::SBEvent event;
        if (!records_.WaitForEvent(UINT32_MAX, event))
            continue;
        try {
            reporter_.on_event(event);
        } catch (const std::exception& fault) {
            writer_.write_line(records::error(std::string("event handling failed: ") + fault.what()));
        }
        // LLDB's interpreter describes stops from these, once the records have what they carry.
        // Not what the debuggee's LLDB terminal gave back (the echo of keys typed to it): the
        // reporter has shown that already, in order with the debuggee's output, and LLDB would
        // take what came since and show it whenever its thread next runs.
        constexpr std::uint32_t kStdio = lldb::SBProcess::eBroadcastBitSTDOUT | lldb::SBProcess::eBroadcastBitSTDERR;
        if (lldb::SBProcess::EventIsProcessEvent(event) && (event.GetType() & kStdio) == 0 &&
            reporter_.console_running())
            debugger_.GetListener().AddEvent(event);
    }
}

void Session::interrupt_debuggees()
{
    // LLDB ignores the request for a process that is not running, so no state check is needed
    // (and a check would race with a resume that LLDB has not reported yet).
    const std::uint32_t targets = debugger_.GetNumTargets();
    for (std::uint32_t i = 0; i < targets; ++i) {
        lldb::SBProcess process = debugger_.GetTargetAtIndex(i).GetProcess();
        if (process.IsValid())
            process.SendAsyncInterrupt();
    }
}

void Session::request_shutdown()
{
    shutdown_requested_ = true;
    arm_deadline();
    write_byte(wake_write_);
}

void Session::arm_deadline()
{
    if (deadline_armed_.test_and_set())
        return;
    const PidList* pids = &reporter_.pids();
    std::thread([pids] {
        std::this_thread::sleep_for(kShutdownDeadline);
        // LLDB has not managed it: kill the debuggees it knows of (an attached one is not
        // below us), and everything below us (debug servers, and debuggees not yet reported).
        for (const std::uint64_t pid : pids->snapshot())
            ::kill(static_cast<pid_t>(pid), SIGKILL);
        for (const pid_t pid : descendants_of(::getpid()))
            ::kill(pid, SIGKILL);
        ::_exit(0);
    }).detach();
}

void Session::signal_loop()
{
    for (;;) {
        signalfd_siginfo info;
        const ssize_t n = ::read(signal_fd_, &info, sizeof info);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (n != static_cast<ssize_t>(sizeof info))
            continue;
        if (info.ssi_signo == SIGINT && reporter_.console_running()) {
            // As a Ctrl-C at LLDB's own console: the prompt's line is dropped, or the running
            // debuggee is interrupted.
            debugger_.DispatchInputInterrupt();
        } else if (info.ssi_signo == SIGINT) {
            interrupt_debuggees();
        } else if (info.ssi_signo == SIGTERM) {
            request_shutdown();
            // A command that waits on the debuggee (an attach that waits for its process, say)
            // would hold up the shutdown; interrupting cuts it short.
            if (in_command_)
                interrupt_debuggees();
        }
    }
}

bool Session::run_line(std::string line)
{
    const std::uint64_t seq = ++seq_;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    const char* refusal = nullptr;
    if (!is_valid_utf8(line))
        refusal = "is not valid UTF-8";
    else if (line.find('\0') != std::string::npos)
        refusal = "contains a NUL byte";
    if (refusal != nullptr) {
        writer_.write_line(records::error("command line " + std::to_string(seq) + " " + refusal));
        writer_.write_line(records::result(seq, false, "", std::string("error: command line ") + refusal + "\n"));
        return true;
    }
    // Requests never reach LLDB's interpreter, so they stay out of its history and an empty
    // line still repeats the last command.
    if (requests::is_request(line)) {
        answer(seq, line);
        return true;
    }

    lldb::SBCommandReturnObject result;
    in_command_ = true;
    debugger_.GetCommandInterpreter().HandleCommand(line.c_str(), result, true);
    in_command_ = false;
    const lldb::ReturnStatus status = result.GetStatus();
    const bool quit = status == lldb::eReturnStatusQuit;
    const std::string output = to_utf8_lossy(result.GetOutput() ? result.GetOutput() : "");
    const std::string error = to_utf8_lossy(result.GetError() ? result.GetError() : "");
    // Records derived from the command's effect go out before its result, so a host that has
    // the result has also seen the debuggee the command started.
    reporter_.after_command(debugger_);
    writer_.write_line(records::result(seq, result.Succeeded() || quit, output, error));
    return !quit;
}

void Session::answer(std::uint64_t seq, const std::string& line)
{
    const std::variant<requests::Request, std::string> parsed = requests::parse(line);
    if (const auto* refusal = std::get_if<std::string>(&parsed)) {
        writer_.write_line(records::result(seq, false, "", *refusal));
        return;
    }
    std::optional<std::vector<std::string>> matches;
    const requests::Answer answer = std::visit(
        [&](const auto& request) -> requests::Answer {
            using Kind = std::decay_t<decltype(request)>;
            if constexpr (std::is_same_v<Kind, requests::Input>) {
                return input(request);
            } else if constexpr (std::is_same_v<Kind, requests::Complete>) {
                lldb::SBStringList found;
                const auto cursor = static_cast<std::uint32_t>(request.cursor);
                debugger_.GetCommandInterpreter().HandleCompletion(request.line.c_str(), cursor, 0, -1, found);
                // Entry 0 is what every match adds to the word at the cursor; the matches follow.
                matches.emplace();
                for (std::uint32_t i = 1; i < found.GetSize(); ++i) {
                    const char* match = found.GetStringAtIndex(i);
                    matches->push_back(to_utf8_lossy(match ? match : ""));
                }
                return {};
            } else if constexpr (std::is_same_v<Kind, requests::Breakpoints> ||
                                 std::is_same_v<Kind, requests::FunctionBreakpoints> ||
                                 std::is_same_v<Kind, requests::InstructionBreakpoints>) {
                return breakpoints_.set(debugger_.GetSelectedTarget(), request);
            } else if constexpr (std::is_same_v<Kind, requests::Threads>) {
                return examiner_.threads();
            } else if constexpr (std::is_same_v<Kind, requests::Frames>) {
                return examiner_.frames(request);
            } else if constexpr (std::is_same_v<Kind, requests::Scopes>) {
                return examiner_.scopes(request);
            } else if constexpr (std::is_same_v<Kind, requests::Variables>) {
                return examiner_.variables(request);
            } else if constexpr (std::is_same_v<Kind, requests::Evaluate>) {
                return examiner_.evaluate(request);
            } else if constexpr (std::is_same_v<Kind, requests::SetVariable>) {
                return examiner_.set_variable(request);
            } else if constexpr (std::is_same_v<Kind, requests::SetExpression>) {
                return examiner_.set_expression(request);
            } else if constexpr (std::is_same_v<Kind, requests::Locate>) {
                return examiner_.locate(request);
            } else if constexpr (std::is_same_v<Kind, requests::Watchpoints>) {
                return watchpoints_.set(debugger_.GetSelectedTarget(), request);
            } else if constexpr (std::is_same_v<Kind, requests::Launch>) {
                return launch(request);
            } else if constexpr (std::is_same_v<Kind, requests::Console>) {
                return console(request);
            } else if constexpr (std::is_same_v<Kind, requests::ConsoleSize>) {
                return console_size();
            } else if constexpr (std::is_same_v<Kind, requests::ReadMemory>) {
                return memory::read(debugger_.GetSelectedTarget(), request);
            } else if constexpr (std::is_same_v<Kind, requests::WriteMemory>) {
                return memory::write(debugger_.GetSelectedTarget(), request);
            } else if constexpr (std::is_same_v<Kind, requests::Disassemble>) {
                return memory::disassemble(debugger_.GetSelectedTarget(), request);
            } else if constexpr (std::is_same_v<Kind, requests::Modules>) {
                return program_modules(debugger_.GetSelectedTarget());
            } else if constexpr (std::is_same_v<Kind, requests::Sources>) {
                return program_sources(debugger_.GetSelectedTarget());
            } else {
                static_assert(std::is_same_v<Kind, requests::Step>);
                requests::Answer stepped = examiner_.step(request);
                // As for a command: a debuggee left running reports that before the result.
                if (stepped.ok)
                    reporter_.after_command(debugger_);
                return stepped;
            }
        },
        std::get<requests::Request>(parsed));
    writer_.write_line(records::result(seq, answer.ok, "", answer.error, matches, answer.body));
}

requests::Answer Session::input(const requests::Input& request)
{
    lldb::SBProcess process = debugger_.GetSelectedTarget().GetProcess();
    if (!reporter_.launched_and_live(process))
        return requests::refused("error: no debuggee to write to\n");
    // LLDB writes every byte to the terminal itself, looping on partial writes, and returns 0
    // whatever it wrote: the count gives nothing to loop on here.
    if (!request.data.empty())
        process.PutSTDIN(request.data.data(), request.data.size());
    return {};
}

requests::Answer Session::launch(const requests::Launch& request)
{
    lldb::SBTarget target = debugger_.GetSelectedTarget();
    if (!target.IsValid())
        return requests::refused("error: no target\n");
    // Given to LLDB as data: no command line, so nothing rewrites them (backticks, quotes,
    // empty arguments, newlines). Kept as the target's, for a later process launch.
    std::vector<const char*> argv;
    for (const std::string& argument : request.arguments)
        argv.push_back(argument.c_str());
    argv.push_back(nullptr);
    lldb::SBLaunchInfo info = target.GetLaunchInfo();
    info.SetArguments(argv.data(), false);
    target.SetLaunchInfo(info);
    if (!request.start)
        return {};
    // As process launch does: a debuggee the target still has gives way to the new one.
    lldb::SBProcess previous = target.GetProcess();
    if (previous.IsValid() && previous.GetState() != lldb::eStateExited && previous.GetState() != lldb::eStateDetached)
        previous.Kill();
    if (request.cwd)
        info.SetWorkingDirectory(request.cwd->c_str());
    if (request.stop_at_entry)
        info.SetLaunchFlags(info.GetLaunchFlags() | lldb::eLaunchFlagStopAtEntry);
    if (request.terminal) {
        if (std::string problem = terminal_problem(*request.terminal); !problem.empty())
            return requests::refused(problem);
        // The program's own standard streams, in place of a terminal of LLDB's.
        info.AddOpenFileAction(STDIN_FILENO, request.terminal->c_str(), true, false);
        info.AddOpenFileAction(STDOUT_FILENO, request.terminal->c_str(), false, true);
        info.AddOpenFileAction(STDERR_FILENO, request.terminal->c_str(), false, true);
    }
    lldb::SBError error;
    in_command_ = true;
    target.Launch(info, error);
    in_command_ = false;
    if (error.Fail())
        return requests::refused(describe::error_line(error.GetCString(), "error: cannot launch the program\n"));
    // As for a command: the launch is reported before the result.
    reporter_.after_command(debugger_);
    return {};
}

requests::Answer Session::console(const requests::Console& request)
{
    if (console_fd_ >= 0)
        return requests::refused("error: a console is already running\n");
    if (std::string problem = terminal_problem(request.terminal); !problem.empty())
        return requests::refused(problem);
    const int fd = ::open(request.terminal.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return requests::refused("error: cannot open " + to_utf8_lossy(request.terminal) + ": " + std::strerror(errno) +
                                 "\n");
    if (std::string failed = program_terminal_.open(fd); !failed.empty()) {
        ::close(fd);
        return requests::refused(failed);
    }
    console_fd_ = fd;
    // LLDB's own console on a terminal: colours, and its questions asked there. Its progress
    // line stays off: the debuggee's output reaches the terminal past LLDB, which would not
    // clear that line first.
    lldb::SBCommandInterpreter interpreter = debugger_.GetCommandInterpreter();
    for (const char* command :
         {"settings set auto-confirm false", "settings set use-color true", "settings set show-progress false"}) {
        lldb::SBCommandReturnObject ignored;
        interpreter.HandleCommand(command, ignored, false);
    }
    direct_output_to_program_terminal();
    if (request.init_file) {
        // What it prints goes to the terminal; LLDB shows none of its results either.
        lldb::SBCommandReturnObject ignored;
        debugger_.SkipLLDBInitFiles(false);
        interpreter.SourceInitFileInHomeDirectory(ignored);
    }
    // Copies of its own for each of LLDB's streams, none reaching the debug server or the debuggee.
    debugger_.SetInputFile(lldb::SBFile(::fcntl(fd, F_DUPFD_CLOEXEC, 0), "r", true));
    debugger_.SetOutputFile(lldb::SBFile(::fcntl(fd, F_DUPFD_CLOEXEC, 0), "w", true));
    debugger_.SetErrorFile(lldb::SBFile(::fcntl(fd, F_DUPFD_CLOEXEC, 0), "w", true));
    console_size();
    reporter_.set_console(fd, program_terminal_);
    std::thread(&Session::relay_loop, this).detach();
    std::thread([this] {
        lldb::SBCommandInterpreterRunOptions options;
        int errors = 0;
        bool quit = false, crashed = false;
        debugger_.RunCommandInterpreter(true, false, options, errors, quit, crashed);
        writer_.write_line(records::console_ended());
        request_shutdown();
    }).detach();
    return {};
}

requests::Answer Session::console_size()
{
    winsize size{};
    if (console_fd_ < 0)
        return requests::refused("error: no console\n");
    if (::ioctl(console_fd_, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
        debugger_.SetTerminalWidth(size.ws_col);
    program_terminal_.take_size(console_fd_);
    return {};
}

void Session::direct_output_to_program_terminal()
{
    // Launches write to the program's terminal, for every target and those made later; LLDB
    // keeps a terminal of its own for the debuggee's input only, and reads keys for it while
    // it runs. An init file read afterwards may send the output elsewhere.
    lldb::SBCommandInterpreter interpreter = debugger_.GetCommandInterpreter();
    const auto run = [&](const std::string& command) {
        lldb::SBCommandReturnObject ignored;
        interpreter.HandleCommand(command.c_str(), ignored, false);
    };
    const std::string path = requests::json_quoted(program_terminal_.path());
    lldb::SBTarget selected = debugger_.GetSelectedTarget();
    for (std::uint32_t i = 0; i < debugger_.GetNumTargets(); ++i) {
        lldb::SBTarget target = debugger_.GetTargetAtIndex(i);
        debugger_.SetSelectedTarget(target);
        run("settings set target.output-path " + path);
        run("settings set target.error-path " + path);
    }
    if (selected.IsValid())
        debugger_.SetSelectedTarget(selected);
    run("settings set -g target.output-path " + path);
    run("settings set -g target.error-path " + path);
}

void Session::relay_loop()
{
    for (;;) {
        pollfd readable{program_terminal_.master(), POLLIN, 0};
        if (::poll(&readable, 1, -1) < 0 && errno != EINTR)
            return;
        reporter_.relay_program();
    }
}

void Session::command_loop()
{
    std::string pending;
    char buffer[65536];
    for (;;) {
        if (shutdown_requested_ || writer_.broken())
            return;
        pollfd fds[2] = {{command_fd_, POLLIN, 0}, {wake_read_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            writer_.write_line(records::error(std::string("poll failed: ") + std::strerror(errno)));
            return;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            while (::read(wake_read_, buffer, sizeof buffer) > 0) {
            }
            continue;
        }
        if (fds[0].revents == 0)
            continue;
        const ssize_t n = ::read(command_fd_, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN)
                continue;
            writer_.write_line(records::error(std::string("reading commands failed: ") + std::strerror(errno)));
            return;
        }
        if (n == 0) {
            // A last line without its newline is still a command.
            if (!pending.empty())
                run_line(std::move(pending));
            return;
        }
        pending.append(buffer, static_cast<std::size_t>(n));
        std::size_t end = 0;
        while ((end = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (!run_line(std::move(line)))
                return;
            if (shutdown_requested_)
                return;
        }
    }
}

void Session::shut_down()
{
    arm_deadline();
    const std::uint32_t targets = debugger_.GetNumTargets();
    for (std::uint32_t i = 0; i < targets; ++i) {
        lldb::SBProcess process = debugger_.GetTargetAtIndex(i).GetProcess();
        if (!process.IsValid())
            continue;
        const lldb::StateType state = process.GetState();
        if (state != lldb::eStateExited && state != lldb::eStateDetached && state != lldb::eStateInvalid &&
            state != lldb::eStateUnloaded)
            process.Kill();
    }
    reporter_.settle(debugger_, kSettlePatience);
    // LLDB writes its console's history as it lets the console go.
    if (console_fd_ >= 0)
        lldb::SBDebugger::Destroy(debugger_);
    writer_.seal();
    // Tearing LLDB down can block on its own threads; nothing is left worth the wait.
    ::_exit(0);
}

int Session::run(bool unset_debug_server_for_debuggee)
{
    if (!start_debugger(unset_debug_server_for_debuggee))
        return 1;
    // The records hear every process and every target; LLDB's own listener hears a process
    // only through them.
    records_.StartListeningForEventClass(debugger_, lldb::SBProcess::GetBroadcasterClassName(), UINT32_MAX);
    records_.StartListeningForEventClass(debugger_, lldb::SBTarget::GetBroadcasterClassName(),
                                         lldb::SBTarget::eBroadcastBitModulesLoaded);
    reporter_.listen(records_, debugger_.GetListener());
    std::thread([this] { event_loop(); }).detach();
    std::thread([this] { signal_loop(); }).detach();
    writer_.write_line(records::ready(kBackendName, first_line(lldb::SBDebugger::GetVersionString())));
    command_loop();
    shut_down();
}

}  // namespace

int run_worker(int command_fd, int event_fd, pid_t supervisor)
{
    // SIGTERM when the supervisor dies, by whatever means, so the debuggee goes with it.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM, 0, 0, 0);
    if (::getppid() != supervisor)
        return 0;
    // Only the supervisor gets the service's signals; keep a terminal's from reaching us twice.
    ::setpgid(0, 0);

    set_cloexec(command_fd);
    set_cloexec(event_fd);

    // SIGINT and SIGTERM come in through a descriptor; SIGPIPE is blocked so a vanished reader is
    // an error value. LLDB clears the mask of the processes it starts, so none of this reaches
    // the debuggee.
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGPIPE);
    ::sigprocmask(SIG_SETMASK, &blocked, nullptr);
    sigset_t watched;
    sigemptyset(&watched);
    sigaddset(&watched, SIGINT);
    sigaddset(&watched, SIGTERM);
    const int signal_fd = ::signalfd(-1, &watched, SFD_CLOEXEC);

    int wake[2];
    if (signal_fd < 0 || ::pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        EventWriter writer(event_fd);
        writer.write_line(records::error(std::string("cannot set up signal handling: ") + std::strerror(errno)));
        return 1;
    }

    // LLDB finds its debug server only through this variable; a host need not know.
    const bool set_debug_server = ::getenv(kDebugServerVariable) == nullptr;
    if (set_debug_server)
        ::setenv(kDebugServerVariable, kDebugServerPath, 1);

    Session session(command_fd, event_fd, wake[0], wake[1], signal_fd);
    return session.run(set_debug_server);
}

}  // namespace lldb_helper

extern "C" int lldb_helper_worker_main(int command_fd, int event_fd, pid_t supervisor)
{
    try {
        return lldb_helper::run_worker(command_fd, event_fd, supervisor);
    } catch (const std::exception& fault) {
        lldb_helper::EventWriter(event_fd).write_line(
            lldb_helper::records::error(std::string("internal error: ") + fault.what()));
    } catch (...) {
        lldb_helper::EventWriter(event_fd).write_line(lldb_helper::records::error("internal error"));
    }
    return 1;
}
