// GDB behind the adapter: starting, running and stopping the debuggee, and its output.

#include "host/dap/gdb_driver.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include "host/command_quoting.h"
#include "host/dap/gdb_block_commands.h"
#include "host/dap/launch_values.h"

namespace local_debugger::dap {

using namespace std::chrono_literals;

GdbDriver::~GdbDriver()
{
    work_.stop();
    if (relay_.joinable()) {
        (void)!write(stopRelay_.write.get(), "", 1);
        relay_.join();
    }
}

void GdbDriver::prepare()
{
    command("-gdb-set confirm off");
    // Asynchronous: an editor asks for threads and sets breakpoints while the program runs,
    // which GDB answers only in this mode. The interrupt is then GDB's own command: in this
    // mode GDB takes SIGINT as a Quit of its own, not as an interrupt of the program.
    command("-gdb-set mi-async on");
    // Library values as their printers show them: a vector's elements, a string's text.
    command("-enable-pretty-printing");
    if (!programTerminal_.empty()) {
        command("-inferior-tty-set " + programTerminal_); // the adapter has checked GDB can open it
        return;
    }
    if (seesTerminals_ && terminal_.open(-1) && (stopRelay_ = Pipe::make()).read) {
        // Output events carry the program's lines as it wrote them, without a terminal's \r.
        termios modes{};
        if (tcgetattr(terminal_.slave(), &modes) == 0) {
            modes.c_oflag &= ~OPOST;
            tcsetattr(terminal_.slave(), TCSANOW, &modes);
        }
        command("-inferior-tty-set " + terminal_.path);
        relay_ = std::thread([this] { relayDebuggee(); });
    } else {
        terminal_.reset();
        channel_.event("output", {{"category", "console"},
                                  {"output", "The program's input and output go through the debugger: "
                                             "the service cannot open this adapter's terminals.\n"}});
    }
}

std::optional<std::string> GdbDriver::attachTo(int64_t pid)
{
    MiAnswer attached = command("-target-attach " + std::to_string(pid));
    return attached.ok() ? std::nullopt : std::optional(attached.error());
}

std::optional<std::string> GdbDriver::load(const Json &arguments)
{
    if (auto problem = refusedLaunchValue(arguments))
        return "cannot launch: " + *problem;
    MiAnswer loaded = consoleCommand(gdbFile(arguments.value("program", "")));
    if (!loaded.ok())
        return "cannot load the program: " + loaded.error();
    return runSettings(arguments);
}

std::optional<std::string> GdbDriver::runSettings(const Json &arguments)
{
    if (auto problem = refusedLaunchValue(arguments))
        return "cannot launch: " + *problem;
    // Through GDB's console: the MI commands for these take the rest of the line raw.
    std::vector<std::string> settings;
    if (arguments.contains("args"))
        settings.push_back(*gdbSetArgs(programArguments(arguments)));
    if (arguments.contains("cwd") && arguments["cwd"].is_string() && !arguments["cwd"].get<std::string>().empty())
        settings.push_back(*gdbSetCwd(arguments["cwd"].get<std::string>()));
    for (const auto &setting : settings) {
        MiAnswer set = consoleCommand(setting);
        if (!set.ok())
            return "cannot launch: " + set.error();
    }
    return std::nullopt;
}

std::optional<std::string> GdbDriver::rerun(const Json &launch)
{
    if (auto problem = runSettings(launch))
        return problem;
    forgetHandles();
    // With confirm off GDB kills the program it runs, without telling its end, and starts anew.
    MiAnswer run = command(stopOnEntry_ ? "-exec-run --start" : "-exec-run");
    return run.ok() ? std::nullopt : std::optional(run.error());
}

void GdbDriver::pause()
{
    pauseRequested_ = true;
    commandThen("-exec-interrupt --all", [](const MiAnswer &) {});
}

void GdbDriver::endAttached(bool terminate)
{
    terminate ? consoleCommand("kill", 10s) : command("-target-detach", 10s);
}

void GdbDriver::read(std::string_view line)
{
    auto record = GdbSession::read(line);
    if (!record) {
        output("stdout", std::string(line) + "\n"); // the debuggee, when it has no terminal
        return;
    }
    switch (record->kind) {
    case MiRecord::Kind::Result:
        if (const auto token = GdbSession::answerTo(*record))
            answers_.deliver(*token, [&](MiAnswer &answer) { answer.record = std::move(*record); });
        break;
    case MiRecord::Kind::ConsoleStream:
    case MiRecord::Kind::LogStream:
        if (!capture(record->streamText))
            output("console", record->streamText);
        break;
    case MiRecord::Kind::TargetStream:
        output("stdout", streamText_.take(record->streamText));
        break;
    case MiRecord::Kind::ExecAsync:
        if (record->resultClass == "running") {
            running_ = true;
            handles_.resumed();
            if (!resumeRequested_.exchange(false))
                channel_.event("continued", {{"threadId", 1}, {"allThreadsContinued", true}});
        } else if (record->resultClass == "stopped") {
            running_ = false;
            answers_.notify();
            stopped(*record);
        }
        break;
    case MiRecord::Kind::NotifyAsync:
        if (record->resultClass == "library-loaded")
            libraryLoaded(library(record->results));
        else if (record->resultClass == "library-unloaded")
            libraryUnloaded(library(record->results));
        else if (record->resultClass == "thread-created" || record->resultClass == "thread-exited")
            channel_.event("thread", {{"reason", record->resultClass == "thread-created" ? "started" : "exited"},
                                      {"threadId", miNumber(record->text("id"))}});
        break;
    default:
        break;
    }
}

bool GdbDriver::capture(const std::string &text)
{
    bool captured = false;
    answers_.forEachAwaited([&](MiAnswer &answer) {
        answer.console += text;
        captured = true;
    });
    return captured;
}

void GdbDriver::stopped(const MiRecord &record)
{
    if (const auto code = GdbSession::exitCode(record)) {
        drainDebuggee(true);
        output("stdout", streamText_.rest());
        channel_.event("exited", {{"exitCode", *code}});
        sendTerminated();
        return;
    }
    told(GdbSession::stop(record));
}

void GdbDriver::output(const char *category, std::string text)
{
    if (!text.empty())
        channel_.event("output", {{"category", category}, {"output", std::move(text)}});
}

void GdbDriver::relayDebuggee()
{
    for (;;) {
        pollfd watched[] = {{terminal_.master(), POLLIN, 0}, {stopRelay_.read.get(), POLLIN, 0}};
        if (poll(watched, 2, -1) < 0 && errno != EINTR)
            return;
        if (watched[1].revents != 0)
            return;
        if (watched[0].revents != 0)
            drainDebuggee(false);
    }
}

void GdbDriver::drainDebuggee(bool ended)
{
    if (terminal_.master() < 0)
        return;
    std::lock_guard<std::mutex> guard(relayLock_);
    char bytes[65536];
    for (;;) {
        pollfd ready = {terminal_.master(), POLLIN, 0};
        if (poll(&ready, 1, 0) <= 0 || (ready.revents & POLLIN) == 0)
            break;
        ssize_t got = ::read(terminal_.master(), bytes, sizeof bytes);
        if (got <= 0)
            break;
        output("stdout", terminalText_.take(std::string_view(bytes, static_cast<size_t>(got))));
    }
    if (ended)
        output("stdout", terminalText_.rest());
}

MiAnswer GdbDriver::command(const std::string &text, std::chrono::milliseconds timeout)
{
    return exchange([&](uint64_t token) { return GdbSession::command(token, text); }, timeout);
}

MiAnswer GdbDriver::consoleCommand(const std::string &line, std::chrono::milliseconds timeout)
{
    return exchange([&](uint64_t token) { return std::optional(GdbSession::console(token, line)); }, timeout);
}

void GdbDriver::commandThen(const std::string &text, AwaitedAnswers<MiAnswer>::Then then)
{
    const uint64_t token = session_.nextToken();
    auto line = GdbSession::command(token, text);
    if (!line) {
        then(refused());
        return;
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        answers_.expect(token, std::move(then));
    }
    client_->sendData("send", std::vector<uint8_t>(line->begin(), line->end()));
}

void GdbDriver::configurationDone(const Json &request)
{
    if (attach_) {
        resume(request, "-exec-continue");
        return;
    }
    entryPending_ = stopOnEntry_;
    resumeRequested_ = true;
    MiAnswer run = command(stopOnEntry_ ? "-exec-run --start" : "-exec-run");
    if (!run.ok()) {
        resumeRequested_ = false;
        fail(request, "cannot run the program: " + run.error());
        return;
    }
    channel_.respond(request);
}

void GdbDriver::step(const Json &request, Step kind, int64_t thread)
{
    stepping_ = kind != Step::Continue;
    const std::string where = " --thread " + std::to_string(thread);
    switch (kind) {
    case Step::Continue:
        resume(request, "-exec-continue", {{"allThreadsContinued", true}});
        break;
    case Step::Over:
        resume(request, "-exec-next" + where);
        break;
    case Step::Into:
        resume(request, "-exec-step" + where);
        break;
    case Step::Out:
        resume(request, "-exec-finish" + where);
        break;
    case Step::OverInstruction:
        resume(request, "-exec-next-instruction" + where);
        break;
    case Step::IntoInstruction:
        resume(request, "-exec-step-instruction" + where);
        break;
    }
}

void GdbDriver::resume(const Json &request, const std::string &text, const Json &body)
{
    forgetHandles();
    resumeRequested_ = true;
    commandThen(text, [this, request, body](const MiAnswer &answer) {
        if (answer.ok()) {
            channel_.respond(request, body);
            return;
        }
        resumeRequested_ = false;
        fail(request, answer.error());
    });
}

namespace {

// As GDB's own thread list names a thread: the system's name for it, then the thread's own.
std::string threadName(const MiValue &info)
{
    const auto system = info.text("target-id");
    std::string name = system ? std::string(*system) : "Thread " + std::string(info.text("id").value_or(""));
    if (auto own = info.text("name"))
        name += " \"" + std::string(*own) + "\"";
    if (auto details = info.text("details"))
        name += " (" + std::string(*details) + ")";
    return name;
}

} // namespace

void GdbDriver::threads(const Json &request)
{
    Json list = Json::array();
    MiAnswer answer = command("-thread-info");
    if (!answer.ok()) {
        fail(request, answer.error());
        return;
    }
    if (const MiValue *threads = answer.record->find("threads")) {
        for (const auto &thread : threads->items) {
            const MiValue &info = thread.value;
            list.push_back({{"id", miNumber(info.text("id"))}, {"name", threadName(info)}});
        }
    }
    channel_.respond(request, {{"threads", list}});
}

void GdbDriver::console(const Json &request, const std::string &input)
{
    const std::vector<std::string> lines = consoleLines(input);
    for (const auto &line : lines) {
        if (startsGdbBlock(line)) {
            fail(request, "\"" + line +
                              "\" reads the lines after it, which the Debug Console cannot give it: "
                              "not run (nothing was)");
            return;
        }
    }
    std::string output;
    for (const auto &line : lines) {
        MiAnswer ran = consoleCommand(line);
        if (!ran.ok()) {
            fail(request, output + ran.error());
            return;
        }
        output += ran.console;
    }
    channel_.respond(request, {{"result", output}, {"variablesReference", 0}});
}

std::unique_ptr<DebuggerDriver> gdbDriver(DapChannel &channel, bool debuggerSeesOurTerminals)
{
    return std::make_unique<GdbDriver>(channel, debuggerSeesOurTerminals);
}

} // namespace local_debugger::dap
