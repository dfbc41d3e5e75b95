// Launch latency, GDB's first prompt, and idle memory.

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "measures.h"

using namespace std::chrono_literals;

namespace {

// What the bundle's launcher hands GDB of the service's arguments: their "-D ." names no data
// directory, so it is left out and GDB keeps its own.
const std::vector<std::string> gdbArguments = {"--quiet", "--interpreter=mi2", "--nx"};

// Timed on the thread that writes the request and reads the reply, as the baseline times its
// call: from the request's write to the read that returns the reply, the host's own encoding
// and decoding outside it. The request comes after the service has waited idle in its first read.
double serviceLaunchOnce(const std::string &bundleDir, std::chrono::milliseconds idle)
{
    RawService session(bundleDir, idle);
    if (!session.ready())
        return -1;
    BenchClock::time_point start, end;
    std::optional<bool> result = session.request("launch_gdb", &start, &end);
    session.stop();
    return result == true ? secondsBetween(start, end) : -1;
}

// The baseline program's answer about its posix_spawn calls of /bin/true.
struct SpawnTimes {
    double returned = -1; // median
    double reaped = -1;   // median, to the reaped exit
};

// idle: how long the baseline sleeps before each call.
SpawnTimes spawnTrue(const BenchPaths &paths, int calls, std::chrono::microseconds idle)
{
    int output[2];
    makePipe(output);
    pid_t pid = spawnProgram(paths.baselineDir + "/spawn_true", {std::to_string(calls), std::to_string(idle.count())},
                             {{output[1], 1}});
    close(output[1]);
    char text[128] = {};
    ssize_t got = read(output[0], text, sizeof text - 1);
    close(output[0]);
    reap(pid);
    long long times[4];
    SpawnTimes result;
    if (got <= 0 || sscanf(text, "%lld %lld %lld %lld", &times[0], &times[1], &times[2], &times[3]) != 4)
        return result;
    result.returned = static_cast<double>(times[2]) / 1e9;
    result.reaped = static_cast<double>(times[3]) / 1e9;
    return result;
}

bool holdsPrompt(const std::string &text)
{
    return text.find("(gdb)") != std::string::npos;
}

double directGdbOnce(const std::string &gdb, const std::vector<std::string> &environment)
{
    int input[2];
    int output[2];
    makePipe(input);
    makePipe(output);
    int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    auto start = BenchClock::now();
    pid_t pid = spawnProgram(gdb, gdbArguments, {{input[0], 0}, {output[1], 1}, {null, 2}}, environment);
    closeAll({input[0], output[1], null});
    std::string text;
    char buffer[4096];
    while (!holdsPrompt(text)) {
        ssize_t got = read(output[0], buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        text.append(buffer, static_cast<size_t>(got));
    }
    auto end = BenchClock::now();
    close(input[1]);
    while (read(output[0], buffer, sizeof buffer) > 0) {
    }
    close(output[0]);
    reap(pid);
    return holdsPrompt(text) ? secondsBetween(start, end) : -1;
}

// Through the service: from the start of the service, or from the launch_gdb request to an
// idle service, to the data message that completes the prompt.
double serviceGdbOnce(const BenchPaths &paths, const std::vector<std::string> &environment, bool fromStart)
{
    Completion prompted;
    std::string text;
    auto start = BenchClock::now();
    std::atomic<bool> seen{false};
    ServiceSession session(
        {paths.bundleDir, {}},
        [&](const MessageBytes &data) {
            text.append(data.begin(), data.end());
            if (holdsPrompt(text)) {
                seen.store(true);
                prompted.complete();
            }
        },
        [&] { prompted.complete(); });
    if (!session.started())
        return -1;
    if (!fromStart && !session.waitUntilIdle(10s))
        return -1;
    session.client().sendData("set_env", encodeEnvironmentPayload(environment));
    if (!fromStart)
        start = BenchClock::now();
    if (session.request("launch_gdb", 10s) != true)
        return -1;
    auto end = prompted.wait(10s);
    session.stop();
    return end && seen.load() ? secondsBetween(start, *end) : -1;
}

// One launch row: the service's request after idle against posix_spawn calls each after the
// same idle, both with the same CPU kept busy or none.
struct LaunchCondition {
    std::chrono::milliseconds idle;
    bool busyCpu;
    int rounds;
    int callsPerRound;
};

void measureLaunchUnder(const BenchConfig &config, const std::string &bundle, const LaunchCondition &condition,
                        Report &report)
{
    const int rounds = config.smoke ? 2 : condition.rounds;
    const int callsPerRound = config.smoke ? 1 : condition.callsPerRound;
    const bool backToBackNoted = !condition.busyCpu && condition.idle == serviceSettleTime;
    const int backToBackCalls = config.smoke ? 5 : 21;
    const auto idle = std::chrono::duration_cast<std::chrono::microseconds>(condition.idle);
    std::optional<BusyCpu> busy;
    if (condition.busyCpu)
        busy.emplace();
    std::vector<double> service, returned, reaped, backToBack;
    for (int round = 0; round < rounds; ++round) {
        service.push_back(serviceLaunchOnce(bundle, condition.idle));
        SpawnTimes times = spawnTrue(config.paths, callsPerRound, idle);
        returned.push_back(times.returned);
        reaped.push_back(times.reaped);
        if (backToBackNoted)
            backToBack.push_back(spawnTrue(config.paths, backToBackCalls, 0us).returned);
    }
    const std::string idleText = std::to_string(condition.idle.count()) + " ms idle";
    std::string conditionText = idleText;
    if (busy)
        conditionText += ", CPU " + std::to_string(busy->cpu()) + " busy";
    report.rows.push_back(makeRow("launch_gdb request -> reply, " + conditionText,
                                  formatMilliseconds(medianOfValid(service)),
                                  formatMilliseconds(medianOfValid(returned)) + " posix_spawn(/bin/true)",
                                  ratioOfMedians(service, returned), {Goal::Kind::AtMost, 1.5}));
    char note[512];
    snprintf(note, sizeof note,
             "launch, %s: %d rounds, each a fresh service sent its request after %s, and a fresh baseline process "
             "making %d posix_spawn calls of /bin/true, each after %s (reaped after %s)",
             conditionText.c_str(), rounds, idleText.c_str(), callsPerRound, idleText.c_str(),
             formatMilliseconds(medianOfValid(reaped)).c_str());
    std::string text = note;
    if (backToBackNoted) {
        snprintf(note, sizeof note,
                 "; the same calls back to back return after %s, against which the service's launch is %.2fx",
                 formatMilliseconds(medianOfValid(backToBack)).c_str(), ratioOfMedians(service, backToBack));
        text += note;
    }
    report.notes.push_back(text);
}

} // namespace

// A CPU that has been idle runs the same clone and exec several times slower than one kept
// busy, and a host may launch at once or long after the service started. So each row's
// baseline calls come after the same idle as the service's request, and with the same CPU kept
// busy when the row has one busy.
void measureLaunch(const BenchConfig &config, Report &report)
{
    const LaunchCondition conditions[] = {
        {1ms, false, 40, 5},
        {serviceSettleTime, false, 40, 5},
        {200ms, false, 15, 2},
        // Every sample waits a second, so fewer; still enough that one slow wake-up of an idle
        // CPU does not move the median.
        {1000ms, false, 32, 1},
        {serviceSettleTime, true, 30, 5},
    };
    TempDir bundle;
    makeBundle(config.paths, bundle.path(), {{"gdb-x86_64", "echo"}});
    serviceLaunchOnce(bundle.path(), serviceSettleTime);
    spawnTrue(config.paths, 5, 0us);
    for (const LaunchCondition &condition : conditions)
        measureLaunchUnder(config, bundle.path(), condition, report);
}

void measureFirstPrompt(const BenchConfig &config, Report &report)
{
    const int rounds = config.smoke ? 1 : 20;
    // The GDB the bundle's gdb-x86_64 runs.
    const std::string gdb = LD_BENCH_SYSTEM_GDB;
    const std::vector<std::string> environment = ownEnvironment();
    directGdbOnce(gdb, environment);
    serviceGdbOnce(config.paths, environment, false);
    std::vector<double> direct, fromRequest, fromStart;
    for (int round = 0; round < rounds; ++round) {
        direct.push_back(directGdbOnce(gdb, environment));
        fromRequest.push_back(serviceGdbOnce(config.paths, environment, false));
        fromStart.push_back(serviceGdbOnce(config.paths, environment, true));
    }
    double d = medianOfValid(direct);
    report.rows.push_back(makeRow(
        "first MI prompt, from launch_gdb request", formatMilliseconds(medianOfValid(fromRequest)),
        formatMilliseconds(d) + " GDB on pipes", ratioOfMedians(fromRequest, direct), {Goal::Kind::AtMost, 1.05}));
    report.rows.push_back(makeRow("first MI prompt, from service start", formatMilliseconds(medianOfValid(fromStart)),
                                  formatMilliseconds(d) + " GDB on pipes", ratioOfMedians(fromStart, direct),
                                  {Goal::Kind::AtMost, 1.05}));
    char note[256];
    snprintf(note, sizeof note, "first prompt: %d rounds, %s", rounds, gdb.c_str());
    report.notes.push_back(note);
}

void measureIdleMemory(const BenchConfig &config, Report &report)
{
    const int rounds = config.smoke ? 1 : 3;
    TempDir bundle;
    makeBundle(config.paths, bundle.path(), {});
    std::vector<double> service, idle;
    for (int round = 0; round < rounds; ++round) {
        {
            ServiceSession session({bundle.path(), {}}, [](const MessageBytes &) {});
            if (session.started() && session.waitUntilIdle(10s)) {
                std::this_thread::sleep_for(200ms);
                service.push_back(static_cast<double>(residentKiB(session.pid())));
                session.stop();
            }
        }
        int input[2];
        int output[2];
        makePipe(input);
        makePipe(output);
        pid_t pid = spawnProgram(config.paths.baselineDir + "/idle_process", {}, {{input[0], 0}, {output[1], 1}});
        closeAll({input[0], output[1]});
        char ready[8];
        if (read(output[0], ready, sizeof ready) > 0) {
            std::this_thread::sleep_for(200ms);
            idle.push_back(static_cast<double>(residentKiB(pid)));
        }
        closeAll({input[1], output[0]});
        reap(pid);
    }
    double s = median(service);
    double b = median(idle);
    report.rows.push_back(makeRow("idle service resident memory", formatMebibytes(static_cast<long>(s)),
                                  formatMebibytes(static_cast<long>(b)) + " idle C++ process", s / b,
                                  {Goal::Kind::AtMost, 1.5}));
}
