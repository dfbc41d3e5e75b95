// Output relay: bulk throughput, the cost of logging, and many small writes.

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

#include "baselines/frame.h"
#include "measures.h"

using namespace std::chrono_literals;

namespace {

constexpr size_t receiveSize = 64 * 1024;

struct RunResult {
    double seconds = 0;
    double cpuSeconds = 0; // of every process taking part: writer, relay, receiver
    uint64_t messages = 0;
    bool complete = false;
};

// How the service under measurement is set up and its back end launched.
struct ServiceSetup {
    std::string bundleDir;
    std::vector<std::string> environment;
    std::string launchCommand = "launch_gdb";
    bool logging = false;
};

RunResult serviceRun(const ServiceSetup &setup, const std::string &command, uint64_t expected)
{
    const double cpuBefore = cpuSecondsUsed();
    Completion done;
    std::atomic<uint64_t> received{0};
    std::atomic<uint64_t> messages{0};
    ServiceSession session(
        {setup.bundleDir, setup.environment},
        [&](const MessageBytes &data) {
            messages.fetch_add(1, std::memory_order_relaxed);
            if (received.fetch_add(data.size(), std::memory_order_relaxed) + data.size() >= expected)
                done.complete();
        },
        [&] { done.complete(); });
    RunResult result;
    if (!session.started())
        return result;
    if (setup.logging)
        session.client().sendCommand("log");
    if (session.request(setup.launchCommand, 10s) != true)
        return result;
    // The launch's own start-up is not part of the relay's time.
    std::this_thread::sleep_for(20ms);
    auto start = BenchClock::now();
    session.client().sendData("send", MessageBytes(command.begin(), command.end()));
    auto end = done.wait(120s);
    if (!end || received.load() < expected)
        return result;
    result.seconds = secondsBetween(start, *end);
    result.messages = messages.load();
    result.complete = true;
    session.waitForExit(10s);
    result.cpuSeconds = cpuSecondsUsed() - cpuBefore;
    return result;
}

// The stand-in writer, spawned directly, with its output on outputFd; its input is returned.
int spawnWriter(const BenchConfig &config, int outputFd, pid_t &pid)
{
    int input[2];
    makePipe(input);
    pid = spawnProgram(config.paths.standinDir + "/writer", {}, {{input[0], 0}, {outputFd, 1}});
    close(input[0]);
    return input[1];
}

// Reads the socket until expected payload bytes arrived, framed or raw.
RunResult receive(int socketFd, int commandFd, const std::string &command, uint64_t expected, bool framed)
{
    static char buffer[receiveSize];
    RunResult result;
    FrameFollower follower;
    uint64_t raw = 0;
    auto start = BenchClock::now();
    writeAllTo(commandFd, command.data(), command.size());
    for (;;) {
        ssize_t got = read(socketFd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        if (framed) {
            follower.feed(buffer, static_cast<size_t>(got), [](const char *, size_t) {});
            if (follower.payloadBytes >= expected)
                break;
        } else {
            raw += static_cast<uint64_t>(got);
            if (raw >= expected)
                break;
        }
    }
    auto end = BenchClock::now();
    result.complete = framed ? follower.payloadBytes >= expected : raw >= expected;
    result.seconds = secondsBetween(start, end);
    result.messages = follower.frames;
    return result;
}

// The writer's output through a relay program (output pipe on its input, host socket on its
// output) to this process; framed says whether the relay sends data messages.
RunResult relayProgramRun(const BenchConfig &config, const std::string &command, uint64_t expected,
                          const std::string &program, const std::vector<std::string> &arguments, bool framed)
{
    const double cpuBefore = cpuSecondsUsed();
    int output[2];
    int host[2];
    makePipe(output);
    makeSocketPair(host);
    pid_t writer;
    int commandFd = spawnWriter(config, output[1], writer);
    pid_t relay = spawnProgram(program, arguments, {{output[0], 0}, {host[1], 1}});
    closeAll({output[0], output[1], host[1]});
    std::this_thread::sleep_for(20ms);
    RunResult result = receive(host[0], commandFd, command, expected, framed);
    closeAll({commandFd, host[0]});
    reap(writer);
    reap(relay);
    result.cpuSeconds = cpuSecondsUsed() - cpuBefore;
    return result;
}

RunResult minimalRelayRun(const BenchConfig &config, const std::string &command, uint64_t expected)
{
    return relayProgramRun(config, command, expected, config.paths.baselineDir + "/minimal_relay", {}, true);
}

RunResult socatRun(const BenchConfig &config, const std::string &command, uint64_t expected)
{
    return relayProgramRun(config, command, expected, config.paths.socat, {"-u", "-b", "65536", "STDIN", "STDOUT"},
                           false);
}

// debugger-host bridging the writer, as a terminal host relays a flood to an output that costs
// nothing (/dev/null): from the command on its standard input until it has exited, which it
// does once the writer, done, has ended the run.
RunResult hostRun(const BenchConfig &config, const std::string &bundleDir, const std::string &command)
{
    const double cpuBefore = cpuSecondsUsed();
    int input[2];
    makePipe(input);
    int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
    pid_t host =
        spawnProgram(config.paths.hostProgram, {"--gdb", "--env-clear", "--service", bundleDir + "/local-debugger"},
                     {{input[0], 0}, {quiet, 1}, {quiet, 2}});
    closeAll({input[0], quiet});
    // Its start and the launch are not part of the relay's time.
    std::this_thread::sleep_for(200ms);
    RunResult result;
    auto start = BenchClock::now();
    writeAllTo(input[1], command.data(), command.size());
    const int status = reap(host);
    result.seconds = secondsBetween(start, BenchClock::now());
    result.complete = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    close(input[1]);
    result.cpuSeconds = cpuSecondsUsed() - cpuBefore;
    return result;
}

// Context only: the writer straight into a pipe that this process reads.
RunResult rawPipeRun(const BenchConfig &config, const std::string &command, uint64_t expected)
{
    int output[2];
    makePipe(output);
    pid_t writer;
    int commandFd = spawnWriter(config, output[1], writer);
    close(output[1]);
    std::this_thread::sleep_for(20ms);
    RunResult result = receive(output[0], commandFd, command, expected, false);
    closeAll({commandFd, output[0]});
    reap(writer);
    return result;
}

std::string floodCommand(uint64_t bytes)
{
    return "flood " + std::to_string(bytes) + " 65536\n";
}

// One side's rounds: rates (amount per second) and CPU seconds per amount; a failed round
// counts as a rate of 0, so its pair drops out of the ratios.
struct Series {
    explicit Series(double amountPerRound) : amount(amountPerRound) {}
    double amount;
    std::vector<double> rates;
    std::vector<double> cpuPerAmount;
    std::vector<double> messages;
    void add(const RunResult &run)
    {
        rates.push_back(run.complete ? amount / run.seconds : 0);
        cpuPerAmount.push_back(run.complete ? run.cpuSeconds / amount : 0);
        messages.push_back(static_cast<double>(run.messages));
    }
    double rate() const { return medianOfValid(rates); }
};

std::string cpuText(const Series &series, double unit, const char *unitName)
{
    char text[64];
    snprintf(text, sizeof text, "%.2f CPU s per %s", medianOfValid(series.cpuPerAmount) * unit, unitName);
    return text;
}

} // namespace

void measureRelayThroughput(const BenchConfig &config, Report &report)
{
    const uint64_t bytes = config.smoke ? 64ull << 20 : 512ull << 20;
    const int rounds = config.smoke ? 1 : 9;
    TempDir bundle;
    makeBundle(config.paths, bundle.path(), {{"gdb-x86_64", "writer"}});
    ServiceSetup setup{bundle.path(), {}};
    const std::string command = floodCommand(bytes);
    const bool haveSocat = !config.paths.socat.empty();
    const double amount = static_cast<double>(bytes);

    // A short warm-up of each, then the rounds interleaved so drift hits all alike.
    serviceRun(setup, floodCommand(bytes / 8), bytes / 8);
    minimalRelayRun(config, floodCommand(bytes / 8), bytes / 8);
    Series service{amount}, minimal{amount}, socat{amount}, raw{amount}, host{amount};
    for (int round = 0; round < rounds; ++round) {
        service.add(serviceRun(setup, command, bytes));
        host.add(hostRun(config, bundle.path(), command));
        minimal.add(minimalRelayRun(config, command, bytes));
        if (haveSocat)
            socat.add(socatRun(config, command, bytes));
        raw.add(rawPipeRun(config, command, bytes));
    }
    const std::string name = "relay throughput, back end -> host library, logging off";
    report.rows.push_back(makeRow(name, formatRate(service.rate()), formatRate(minimal.rate()) + " minimal relay",
                                  ratioOfMedians(service.rates, minimal.rates), {Goal::Kind::AtLeast, 1.6}));
    report.rows.push_back(makeRow("relay throughput, back end -> debugger-host -> /dev/null", formatRate(host.rate()),
                                  formatRate(minimal.rate()) + " minimal relay",
                                  ratioOfMedians(host.rates, minimal.rates), {Goal::Kind::AtLeast, 1.6}));
    if (haveSocat)
        report.rows.push_back(makeRow(name, formatRate(service.rate()), formatRate(socat.rate()) + " socat",
                                      ratioOfMedians(service.rates, socat.rates), {Goal::Kind::AtLeast, 2.4}));
    else
        report.rows.push_back(unmeasuredRow(name, "socat", {Goal::Kind::AtLeast, 2.4}, "socat is not installed"));
    const double gib = double(1ull << 30);
    char note[512];
    snprintf(note, sizeof note,
             "relay throughput: %d rounds of %.0f MiB; raw pipe %s; data messages per round: service %.0f, minimal "
             "relay %.0f; CPU: service %s, minimal relay %s%s%s",
             rounds, amount / (1 << 20), formatRate(raw.rate()).c_str(), median(service.messages),
             median(minimal.messages), cpuText(service, gib, "GiB").c_str(), cpuText(minimal, gib, "GiB").c_str(),
             haveSocat ? ", socat " : "", haveSocat ? cpuText(socat, gib, "GiB").c_str() : "");
    report.notes.push_back(note);
}

void measureLoggingCost(const BenchConfig &config, Report &report)
{
    const uint64_t bytes = config.smoke ? 16ull << 20 : 128ull << 20;
    const int rounds = config.smoke ? 1 : 5;
    TempDir bundle;
    TempDir root;
    makeBundle(config.paths, bundle.path(), {{"lldb-helper", "writer"}});
    // A toolchain root whose developer directory's parent has SharedFrameworks.
    const std::string developer = root.path() + "/Toolchain/Developer";
    std::filesystem::create_directories(root.path() + "/usr/bin");
    std::filesystem::create_directories(developer);
    std::filesystem::create_directories(root.path() + "/Toolchain/SharedFrameworks");
    writeFile(root.path() + "/usr/bin/xcode-select", "#!/bin/sh\necho '" + developer + "'\n", 0755);

    std::vector<std::string> environment = {"TORVEX_DEBUGGER_LOG=stderr", "TORVEX_DEBUGGER_ROOT=" + root.path()};
    ServiceSetup off{bundle.path(), environment, "launch_lldb", false};
    ServiceSetup on{bundle.path(), environment, "launch_lldb", true};
    const std::string command = floodCommand(bytes);
    const double amount = static_cast<double>(bytes);
    serviceRun(off, floodCommand(bytes / 8), bytes / 8);
    serviceRun(on, floodCommand(bytes / 8), bytes / 8);
    Series withoutLog{amount}, withLog{amount};
    for (int round = 0; round < rounds; ++round) {
        withoutLog.add(serviceRun(off, command, bytes));
        withLog.add(serviceRun(on, command, bytes));
    }
    report.rows.push_back(makeRow("LLDB-variant relay, logging on vs off", formatRate(withLog.rate()),
                                  formatRate(withoutLog.rate()) + " logging off",
                                  ratioOfMedians(withLog.rates, withoutLog.rates), {Goal::Kind::AtLeast, 0.3}));
    const double gib = double(1ull << 30);
    char note[256];
    snprintf(note, sizeof note, "logging: %d rounds of %.0f MiB; CPU: logging on %s, off %s", rounds,
             amount / (1 << 20), cpuText(withLog, gib, "GiB").c_str(), cpuText(withoutLog, gib, "GiB").c_str());
    report.notes.push_back(note);
}

void measureSmallWrites(const BenchConfig &config, Report &report)
{
    const uint64_t writes = config.smoke ? 20000 : 200000;
    const int rounds = config.smoke ? 1 : 9;
    TempDir bundle;
    makeBundle(config.paths, bundle.path(), {{"gdb-x86_64", "writer"}});
    ServiceSetup setup{bundle.path(), {}};
    struct Kind {
        const char *name;
        const char *verb;
        uint64_t size;
    };
    for (Kind kind : {Kind{"one byte", "bytes", 1}, Kind{"one line", "lines", 32}}) {
        const std::string command = std::string(kind.verb) + " " + std::to_string(writes) + "\n";
        const uint64_t expected = writes * kind.size;
        const double amount = static_cast<double>(writes);
        serviceRun(setup, command, expected);
        minimalRelayRun(config, command, expected);
        Series service{amount}, minimal{amount};
        for (int round = 0; round < rounds; ++round) {
            service.add(serviceRun(setup, command, expected));
            minimal.add(minimalRelayRun(config, command, expected));
        }
        report.rows.push_back(makeRow(std::string("small writes (") + kind.name + "), writes relayed per second",
                                      formatPerSecond(service.rate()),
                                      formatPerSecond(minimal.rate()) + " minimal relay",
                                      ratioOfMedians(service.rates, minimal.rates), {Goal::Kind::ReportAtLeast, 0.8}));
        char note[256];
        snprintf(note, sizeof note,
                 "small writes (%s): %d rounds of %llu writes; data messages per round: service %.0f, minimal relay "
                 "%.0f; CPU: service %s, minimal relay %s",
                 kind.name, rounds, static_cast<unsigned long long>(writes), median(service.messages),
                 median(minimal.messages), cpuText(service, 1e6, "M writes").c_str(),
                 cpuText(minimal, 1e6, "M writes").c_str());
        report.notes.push_back(note);
    }
}
