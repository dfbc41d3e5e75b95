// The console measures: the debugger's first prompt, a key's echo at the prompt, and a program's
// line reaching the person's terminal, each with debugger-host --gdb (--lldb) and with plain gdb
// (lldb-16), both on a pseudo-terminal of their own as a terminal emulator runs them.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "measures.h"

using namespace std::chrono_literals;

namespace {

// A debugger: debugger-host's option for it, its own console's command line, its prompt.
struct Debugger {
    const char *option;
    std::vector<std::string> plain;
    std::string_view prompt;
};

const Debugger &gdb()
{
    static const Debugger debugger{"--gdb", {LD_BENCH_SYSTEM_GDB, "-q", "--nx"}, "(gdb) "};
    return debugger;
}

const Debugger &lldb()
{
    // lldb-16's progress line is off in debugger-host's console unless asked for.
    static const Debugger debugger{
        "--lldb", {"/usr/bin/lldb-16", "--no-lldbinit", "-O", "settings set show-progress false"}, "(lldb) "};
    return debugger;
}

// A console program on a terminal of its own, 80 by 24, in a session of its own.
class TerminalSession {
public:
    TerminalSession(const std::vector<std::string> &argv, const std::vector<std::string> &environment,
                    const std::string &directory)
    {
        master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128];
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0 ||
            ptsname_r(master_, name, sizeof name) != 0)
            return;
        winsize size{24, 80, 0, 0};
        ioctl(master_, TIOCSWINSZ, &size);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        // A new session, so that opening the terminal makes it the controlling one.
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addchdir_np(&actions, directory.c_str());
        posix_spawn_file_actions_addopen(&actions, 0, name, O_RDWR, 0);
        posix_spawn_file_actions_adddup2(&actions, 0, 1);
        posix_spawn_file_actions_adddup2(&actions, 0, 2);
        std::vector<std::string> strings = argv;
        strings.insert(strings.end(), environment.begin(), environment.end());
        std::vector<char *> arguments, entries;
        for (size_t i = 0; i < strings.size(); ++i)
            (i < argv.size() ? arguments : entries).push_back(strings[i].data());
        arguments.push_back(nullptr);
        entries.push_back(nullptr);
        if (posix_spawn(&pid_, argv[0].c_str(), &actions, &attributes, arguments.data(), entries.data()) != 0)
            pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
    }

    ~TerminalSession()
    {
        if (pid_ > 0) {
            kill(-pid_, SIGKILL);
            reap(pid_);
        }
        if (master_ >= 0)
            close(master_);
    }
    TerminalSession(const TerminalSession &) = delete;
    TerminalSession &operator=(const TerminalSession &) = delete;

    bool started() const { return pid_ > 0; }

    void type(std::string_view keys) { writeAllTo(master_, keys.data(), keys.size()); }

    // Reads until consume, shown what arrived and not yet consumed with the moment the read
    // that brought the last of it returned, says it is done; false at the timeout or the end.
    bool readUntil(const std::function<bool(std::string &, BenchClock::time_point)> &consume,
                   std::chrono::milliseconds timeout)
    {
        const auto deadline = BenchClock::now() + timeout;
        char bytes[65536];
        while (!consume(pending_, readAt_)) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - BenchClock::now());
            pollfd ready{master_, POLLIN, 0};
            if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count()) + 1) <= 0)
                return false;
            const ssize_t got = read(master_, bytes, sizeof bytes);
            readAt_ = BenchClock::now();
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return false;
            pending_.append(bytes, static_cast<size_t>(got));
        }
        return true;
    }

    // The moment text arrived, what came up to it consumed.
    std::optional<BenchClock::time_point> waitFor(std::string_view text, std::chrono::milliseconds timeout)
    {
        std::optional<BenchClock::time_point> at;
        readUntil(
            [&](std::string &pending, BenchClock::time_point when) {
                const size_t found = pending.find(text);
                if (found == std::string::npos)
                    return false;
                pending.erase(0, found + text.size());
                at = when;
                return true;
            },
            timeout);
        return at;
    }

    // Ends it as a person would: quit, and yes when asked.
    void end()
    {
        type("quit\n");
        bool asked = false;
        readUntil(
            [&](std::string &pending, BenchClock::time_point) {
                asked = pending.find("(y or n) ") != std::string::npos;
                return asked;
            },
            5s);
        if (asked)
            type("y\n");
        readUntil([](std::string &, BenchClock::time_point) { return false; }, 5s);
    }

private:
    pid_t pid_ = -1;
    int master_ = -1;
    std::string pending_;
    BenchClock::time_point readAt_;
};

struct Consoles {
    std::vector<std::string> ours;   // debugger-host --gdb PROGRAM
    std::vector<std::string> theirs; // gdb -q --nx PROGRAM
    std::string_view prompt;
    std::vector<std::string> environment;
    std::string directory; // empty: no init files, no history to read
};

Consoles makeConsoles(const BenchConfig &config, const std::string &home, const Debugger &debugger)
{
    const std::string program = config.paths.debuggeeDir + "/timed_lines";
    Consoles consoles{{config.paths.hostProgram, debugger.option, program}, debugger.plain, debugger.prompt, {}, home};
    consoles.theirs.push_back(program);
    for (const std::string &entry : ownEnvironment()) {
        if (!entry.starts_with("HOME=") && !entry.starts_with("XDG_") && !entry.starts_with("TERM="))
            consoles.environment.push_back(entry);
    }
    for (const char *name : {"HOME=", "XDG_CONFIG_HOME=", "XDG_STATE_HOME="})
        consoles.environment.push_back(name + home);
    consoles.environment.push_back("TERM=xterm");
    return consoles;
}

double firstPromptOnce(const Consoles &consoles, const std::vector<std::string> &argv)
{
    const auto start = BenchClock::now();
    TerminalSession session(argv, consoles.environment, consoles.directory);
    const auto prompted = session.started() ? session.waitFor(consoles.prompt, 30s) : std::nullopt;
    session.end();
    return prompted ? secondsBetween(start, *prompted) : -1;
}

// Each key typed alone, as a person types, then rubbed out; its echo's latency each.
void echoes(const Consoles &consoles, const std::vector<std::string> &argv, int keys, std::vector<double> &samples)
{
    TerminalSession session(argv, consoles.environment, consoles.directory);
    if (!session.started() || !session.waitFor(consoles.prompt, 30s))
        return;
    std::this_thread::sleep_for(100ms); // what follows the prompt (GDB's settings, the first redraw)
    for (int key = 0; key < keys; ++key) {
        std::this_thread::sleep_for(3ms);
        const auto typed = BenchClock::now();
        session.type("x");
        const auto echoed = session.waitFor("x", 2s);
        if (!echoed)
            break;
        samples.push_back(secondsBetween(typed, *echoed));
        session.type("\x7f");
        session.waitFor("\x1b[K", 1s); // both line editors end a rubout so
    }
    session.end();
}

// The program's lines, each stamped with the moment of its write, timed as they arrive here.
void programLines(const Consoles &consoles, const std::vector<std::string> &argv, int lines,
                  std::vector<double> &samples)
{
    TerminalSession session(argv, consoles.environment, consoles.directory);
    if (!session.started() || !session.waitFor(consoles.prompt, 30s))
        return;
    session.type("run " + std::to_string(lines) + " 2000\n");
    int seen = 0;
    session.readUntil(
        [&](std::string &pending, BenchClock::time_point at) {
            for (size_t tick; (tick = pending.find("tick ")) != std::string::npos;) {
                const size_t end = pending.find('\n', tick);
                if (end == std::string::npos)
                    break;
                const double written = strtod(pending.c_str() + tick + 5, nullptr) / 1e9;
                const double arrived =
                    std::chrono::duration<double>(at.time_since_epoch()).count(); // CLOCK_MONOTONIC too
                samples.push_back(arrived - written);
                pending.erase(0, end + 1);
                ++seen;
            }
            return seen == lines;
        },
        30s);
    session.waitFor(consoles.prompt, 10s);
    session.end();
}

using Sampler = void (*)(const Consoles &, const std::vector<std::string> &argv, int count, std::vector<double> &);

// Rounds alternating between gdb and debugger-host, each taking count samples; a row against a
// 2 ms median and a note.
void measureLatency(const BenchConfig &config, Report &report, const Debugger &debugger, Sampler sample, int count,
                    const std::string &measure, const std::string &baseline, const std::string &what)
{
    TempDir home;
    const Consoles consoles = makeConsoles(config, home.path(), debugger);
    const int rounds = config.smoke ? 1 : 3;
    count = config.smoke ? 10 : count;
    std::vector<double> ours, theirs;
    for (int round = 0; round < rounds; ++round) {
        sample(consoles, consoles.theirs, count, theirs);
        sample(consoles, consoles.ours, count, ours);
    }
    report.rows.push_back(makeSecondsRow(measure, medianOfValid(ours),
                                         formatMilliseconds(medianOfValid(theirs)) + " " + baseline,
                                         ratioOfMedians(ours, theirs), 0.002));
    report.notes.push_back(what + ": " + std::to_string(ours.size()) + " with debugger-host (p99 " +
                           formatMilliseconds(percentile(ours, 99)) + "), " + std::to_string(theirs.size()) + " with " +
                           debugger.plain[0] + " (p99 " + formatMilliseconds(percentile(theirs, 99)) + ")");
}

void measurePrompt(const BenchConfig &config, Report &report, const Debugger &debugger, const std::string &row,
                   const std::string &baseline)
{
    TempDir home;
    const Consoles consoles = makeConsoles(config, home.path(), debugger);
    const int rounds = config.smoke ? 1 : 15;
    firstPromptOnce(consoles, consoles.theirs);
    firstPromptOnce(consoles, consoles.ours);
    std::vector<double> ours, theirs;
    for (int round = 0; round < rounds; ++round) {
        theirs.push_back(firstPromptOnce(consoles, consoles.theirs));
        ours.push_back(firstPromptOnce(consoles, consoles.ours));
    }
    report.rows.push_back(makeRow(row + ": first prompt on the screen", formatMilliseconds(medianOfValid(ours)),
                                  formatMilliseconds(medianOfValid(theirs)) + " " + baseline,
                                  ratioOfMedians(ours, theirs), {Goal::Kind::AtMost, 1.1}));
    report.notes.push_back(row + " first prompt: " + std::to_string(rounds) + " rounds, from starting debugger-host " +
                           debugger.option + " PROGRAM (or " + baseline +
                           " PROGRAM) on a terminal of its own to its prompt read there");
}

const std::string outputNote =
    "program output: lines written 2 ms apart, timed from the write to their arrival on the console's terminal";

} // namespace

void measureConsolePrompt(const BenchConfig &config, Report &report)
{
    measurePrompt(config, report, gdb(), "console", "gdb -q --nx");
}

void measureConsoleEcho(const BenchConfig &config, Report &report)
{
    measureLatency(config, report, gdb(), echoes, 150, "console: key echoed at the prompt, median", "gdb's own",
                   "key echo: keys typed 3 ms apart");
}

void measureConsoleOutput(const BenchConfig &config, Report &report)
{
    measureLatency(config, report, gdb(), programLines, 300, "console: program's line on the screen, median",
                   "under gdb", outputNote);
}

void measureLldbConsolePrompt(const BenchConfig &config, Report &report)
{
    measurePrompt(config, report, lldb(), "LLDB console", "lldb-16 --no-lldbinit");
}

void measureLldbConsoleEcho(const BenchConfig &config, Report &report)
{
    measureLatency(config, report, lldb(), echoes, 150, "LLDB console: key echoed at the prompt, median",
                   "lldb-16's own", "LLDB key echo: keys typed 3 ms apart");
}

void measureLldbConsoleOutput(const BenchConfig &config, Report &report)
{
    measureLatency(config, report, lldb(), programLines, 300, "LLDB console: program's line on the screen, median",
                   "under lldb-16", "LLDB " + outputNote);
}
