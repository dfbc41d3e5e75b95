#pragma once
// What every benchmark shares: timing and statistics, child processes, bundle copies, and a
// service started and driven through the host library as a host would.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/files.h"
#include "tests/support/host_names.h"

using BenchClock = std::chrono::steady_clock;

inline double secondsBetween(BenchClock::time_point from, BenchClock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

double median(std::vector<double> values);
// The median of the values that are measurements (positive); a failed round is stored as 0 or
// less. NaN when there is none.
double medianOfValid(const std::vector<double> &values);
// medianOfValid(service) / medianOfValid(baseline). The two are measured in interleaved rounds,
// so both medians come from the same stretch of whatever else the machine was doing.
double ratioOfMedians(const std::vector<double> &service, const std::vector<double> &baseline);
// CPU time of this process and of its children reaped so far (theirs include their own reaped
// children), in seconds.
double cpuSecondsUsed();
// Nearest-rank percentile, p in (0, 100].
double percentile(std::vector<double> values, double p);

struct BenchPaths {
    std::string bundleDir;      // the built bundle: the service and the real GDB back end
    std::string standinDir;     // stand-in back ends
    std::string baselineDir;    // baseline programs
    std::string socat;          // empty when socat is not installed
    std::string hostProgram;    // the built debugger-host
    std::string debuggeeDir;    // programs to debug
    std::string debuggeeSource; // the stepping program's source, for breakpoints
};

// Where the suite's programs are, and how much work each measure does.
struct BenchConfig {
    BenchPaths paths;
    bool smoke = false;
};

// A bundle holding the built service and, under the back ends' names, stand-in programs:
// {"gdb-x86_64", "echo"} puts the stand-in "echo" there as gdb-x86_64.
void makeBundle(const BenchPaths &paths, const std::string &directory,
                const std::vector<std::pair<std::string, std::string>> &standins);

// Close-on-exec pipe and socket pair; abort the suite when the system refuses.
void makePipe(int fds[2]);
void makeSocketPair(int fds[2]);
void closeAll(std::initializer_list<int> fds);

// Starts program with descriptors mapped (source -> number in the child) and nothing else
// inherited. environment: unset means this process's own.
pid_t spawnProgram(const std::string &program, const std::vector<std::string> &arguments,
                   const std::vector<std::pair<int, int>> &descriptors,
                   const std::optional<std::vector<std::string>> &environment = std::nullopt);
int reap(pid_t pid);

bool writeAllTo(int fd, const void *bytes, size_t count);

// Resident set size of a process, in KiB (VmRSS), or -1.
long residentKiB(pid_t pid);

// This process's environment as a list of entries (encodeEnvironmentPayload makes set_env's payload).
std::vector<std::string> ownEnvironment();

// One service process, started with a connected socket as a host starts it; its standard
// error is drained (and counted) so diagnostics on it cost what they would cost a host.
class ServiceSession {
public:
    struct Options {
        std::string bundleDir;
        std::vector<std::string> environment; // the service's own
    };

    // onData sees every data message's bytes, on the host library's reader thread; onClosed
    // is called there once the connection has ended.
    ServiceSession(const Options &options, std::function<void(const MessageBytes &)> onData,
                   std::function<void()> onClosed = {});
    ~ServiceSession();

    bool started() const { return client_ != nullptr; }
    ServiceClient &client() { return *client_; }
    pid_t pid() const { return client_->pid(); }

    // Waits for the service's start-up console line, then lets it settle into its read.
    bool waitUntilIdle(std::chrono::milliseconds timeout);
    std::optional<bool> request(const std::string &command, std::chrono::milliseconds timeout);
    // stop, the exit that follows, and the end of the back end it stopped, so that nothing of
    // this run is still running in the next measurement.
    void stop();
    // The run ends by itself (its back end exits); waits for the service's exit.
    void waitForExit(std::chrono::milliseconds timeout);
    uint64_t stderrBytes() const { return stderrBytes_.load(); }

private:
    void drainStderr(int fd);

    std::unique_ptr<ServiceClient> client_;
    std::thread stderrReader_;
    std::atomic<uint64_t> stderrBytes_{0};
    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::string stderrHead_;
};

// How long a started service is left after its start-up line before it is sent anything: its
// remaining set-up is done well within it, so a request finds it idle in its first read.
constexpr std::chrono::milliseconds serviceSettleTime{30};

// A service driven from the measuring thread itself, as the baselines are: requests are
// written and the socket read on the calling thread, with no reader thread between a reply and
// the clock. Its standard error is read until the start-up line, then left to fill a pipe
// nobody waits on, so a console line wakes no thread of ours.
class RawService {
public:
    // idle: how long it is left in its first read before ready() answers.
    explicit RawService(const std::string &bundleDir, std::chrono::milliseconds idle = serviceSettleTime);
    ~RawService();
    RawService(const RawService &) = delete;
    RawService &operator=(const RawService &) = delete;

    // Started and settled into its first read of the connection.
    bool ready() const { return ready_; }
    int fd() const { return service_.fd; }
    // The reply's result; nothing when the connection ended first. The request is encoded
    // before sent is stamped, right before its write; answered is stamped when the read that
    // completed the reply returned.
    std::optional<bool> request(const std::string &command, BenchClock::time_point *sent = nullptr,
                                BenchClock::time_point *answered = nullptr);
    // Reads until done accepts a decoded message; false when the connection ended first.
    // lastRead: stamped as each read returns.
    bool readUntil(const std::function<bool(const Message &)> &done, BenchClock::time_point *lastRead = nullptr);
    // As ServiceSession::stop.
    void stop();

private:
    StartedService service_;
    int stderr_ = -1;
    bool ready_ = false;
    uint32_t nextId_ = 1;
    std::unique_ptr<MessageDecoder> decoder_;
};

// A thread of the suite's own keeping one CPU (the first this process may use) busy while the
// object lives, for measures under load.
class BusyCpu {
public:
    BusyCpu();
    ~BusyCpu();
    BusyCpu(const BusyCpu &) = delete;
    BusyCpu &operator=(const BusyCpu &) = delete;

    int cpu() const { return cpu_; }

private:
    int cpu_ = 0;
    std::atomic<bool> stop_{false};
    std::thread spinner_;
};

// A one-shot signal from one thread to another, with the moment it was given.
class Completion {
public:
    void complete(BenchClock::time_point at = BenchClock::now());
    // The moment, or nothing when the timeout passed first.
    std::optional<BenchClock::time_point> wait(std::chrono::milliseconds timeout);

private:
    std::mutex lock_;
    std::condition_variable changed_;
    std::optional<BenchClock::time_point> at_;
};
