#pragma once
// Test support: service processes (through the host library, or started by hand for raw bytes
// and listening sockets), the stand-in back ends' reports, and process checks through /proc.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "files.h"
#include "host_names.h"

using namespace std::chrono_literals;

// A service as a host drives it, with everything it sends kept in order.
class ServiceRun {
public:
    // A sanitizer's report ends the service with another status than 0, which tests check.
    explicit ServiceRun(const std::string &bundleDir = LD_BUNDLE_DIR, std::vector<std::string> environment = {},
                        int stderrFd = -1);
    // A client of a service already listening at socketPath.
    static std::unique_ptr<ServiceRun> connect(const std::string &socketPath);
    ~ServiceRun();

    ServiceClient &client() { return *client_; }
    pid_t pid() const { return client_->pid(); }
    bool command(const std::string &name) { return client_->sendCommand(name); }
    std::optional<bool> request(const std::string &name) { return client_->requestResult(name, 30s); }
    std::optional<bool> launchGdb(std::optional<std::string> arch = std::nullopt);
    std::optional<bool> launchLldb() { return request("launch_lldb"); }
    void setEnvironment(const std::vector<std::string> &entries)
    {
        client_->sendData("set_env", encodeEnvironmentPayload(entries));
    }
    void send(const std::string &bytes) { client_->sendData("send", {bytes.begin(), bytes.end()}); }

    // The next data message is taken in only after this long, as a host busy elsewhere would.
    void pauseReading(std::chrono::milliseconds pause) { pause_ = pause.count(); }

    // The data messages so far, joined.
    std::string output() const;
    bool waitForOutput(const std::string &needle, std::chrono::milliseconds timeout = 20s, size_t from = 0) const;
    // The exit status, when the service exited normally in time.
    std::optional<int> exitStatus();
    bool connectionClosed() const;

private:
    explicit ServiceRun(std::nullptr_t) {}
    ServiceClient::Callbacks callbacks();

    std::unique_ptr<ServiceClient> client_;
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::string output_;
    bool closed_ = false;
    std::atomic<int64_t> pause_{0};
};

// Starts the service by hand with descriptor3 (a connected or listening socket) on descriptor 3,
// and each {descriptor, number} of inherited left open under that number (above 3).
pid_t startRawService(int descriptor3, const std::string &bundleDir = LD_BUNDLE_DIR,
                      const std::vector<std::pair<int, int>> &inherited = {},
                      std::vector<std::string> environment = {});
std::optional<int> rawExitStatus(pid_t pid);

// A service on one end of a socket pair; the other end, for raw bytes, is the second value.
std::pair<pid_t, int> startRawConnection();

// A service started on a listening socket in a temporary directory.
struct ListeningService {
    explicit ListeningService(const std::string &bundleDir = LD_BUNDLE_DIR,
                              const std::vector<std::pair<int, int>> &inherited = {},
                              const std::vector<std::string> &environment = {}, bool nonBlocking = false);
    TempDir directory;
    std::string path;
    pid_t pid = -1;
};

// What the stand-in "report" back end said about itself, up to its END-REPORT line.
struct StandinReport {
    pid_t pid = -1;
    std::vector<std::string> argv, environment;
    std::vector<std::pair<int, std::string>> descriptors; // number, what it refers to
    std::string blocked, ignored;
};
std::optional<StandinReport> parseStandinReport(const std::string &output);
StandinReport reportOf(ServiceRun &run);
std::vector<int> descriptorNumbers(const StandinReport &report);

// True once done() is, checked every few milliseconds for up to 20 seconds.
bool waitUntil(const std::function<bool()> &done);
// True once pid no longer runs (gone, or a zombie nobody reaped yet).
bool processGone(pid_t pid);
std::vector<pid_t> childrenOf(pid_t pid);
// A KiB figure of /proc/PID/status: "VmHWM" (peak resident memory), "VmSize"...
long statusKiB(pid_t pid, const std::string &field);
// How many rounds a stress test makes: normal, unless LD_STRESS_RUNS says otherwise.
int stressRuns(int normal);
size_t descriptorCount(pid_t pid);

// Sends total bytes of the stream the scripted stand-in's "absorb" checks, 1 MiB a send.
// This process's copies of each piece then come from reused memory, not fresh pages, so that
// it sends faster than a back end that reads slowly.
void sendPattern(ServiceRun &run, size_t total);

// Copies the built bundle into directory, then puts stand-ins (from tests/standins) in place of
// back ends: {"gdb-x86_64", "report"} installs the stand-in "report" as gdb-x86_64.
void makeBundleCopy(const std::string &directory,
                    const std::vector<std::pair<std::string, std::string>> &standins = {});
