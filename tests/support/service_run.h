#pragma once
// Test support: a service process started through the host library, with everything it
// sends and everything it writes on standard error collected for the test to examine.

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "files.h"
#include "host/service_client.h"

using namespace std::chrono_literals;

class ServiceRun {
public:
    struct Options {
        std::string bundleDir = LD_BUNDLE_DIR;
        bool diagnosticsOnStderr = true;
        std::vector<std::string> extraEnvironment;
        int stdinFd = -1;
    };

    ServiceRun();
    explicit ServiceRun(Options options);
    ~ServiceRun();

    ServiceClient &client() { return *client_; }
    pid_t pid() const { return client_->pid(); }

    // Commands, as a host sends them.
    bool command(const std::string &name);
    std::optional<bool> request(const std::string &name, std::chrono::milliseconds timeout = 10s);
    std::optional<bool> launchGdb(std::optional<std::string> arch = std::nullopt);
    std::optional<bool> launchLldb();
    bool setEnvironment(const std::vector<std::string> &entries);
    bool setEnvironmentPayload(const std::vector<uint8_t> &payload);
    bool send(const std::string &bytes);

    // What the service sent as data messages, in order, joined.
    std::string output() const;
    std::vector<std::vector<uint8_t>> dataMessages() const;
    bool waitForOutput(const std::string &needle, std::chrono::milliseconds timeout = 10s) const;
    // The same, looking only at output from byte offset on.
    bool waitForOutputAfter(size_t offset, const std::string &needle, std::chrono::milliseconds timeout = 10s) const;
    // Messages that were neither data messages nor replies.
    size_t otherMessageCount() const;

    std::string stderrText() const;
    bool waitForStderr(const std::string &needle, std::chrono::milliseconds timeout = 10s) const;
    // Diagnostic entries, in order, without their prefix.
    std::vector<std::string> diagnostics() const;

    // The exit status, when the service exited normally within the timeout.
    std::optional<int> exitStatus(std::chrono::milliseconds timeout = 10s);
    bool connectionClosed(std::chrono::milliseconds timeout = 10s) const;

private:
    void readStderr(int fd);

    std::unique_ptr<ServiceClient> client_;
    std::thread stderrReader_;
    mutable std::mutex lock_;
    mutable std::condition_variable changed_;
    std::vector<std::vector<uint8_t>> data_;
    size_t otherMessages_ = 0;
    std::string stderr_;
    bool closed_ = false;
    bool stderrClosed_ = false;
};

// What a stand-in back end reported about itself (its lines up to END-REPORT).
struct StandinReport {
    pid_t pid = -1;
    std::vector<std::string> argv;
    std::vector<std::string> environment;
    bool environmentPresent = false;
    std::map<int, std::string> descriptors; // number -> what it refers to
    std::string blocked;
    std::string ignored;
    int inputFd = -1;
    int outputFd = -1;
};
std::optional<StandinReport> parseStandinReport(const std::string &output);

// True once pid no longer runs (gone, or a zombie nobody reaped yet).
bool processGone(pid_t pid, std::chrono::milliseconds timeout = 10s);

// The children of pid (all its threads'), from /proc.
std::vector<pid_t> childrenOf(pid_t pid);
// Peak resident memory of pid in KiB (VmHWM), or -1.
long residentPeakKiB(pid_t pid);
// A memory bound for the service: as given for a plain build; sanitizer runtimes need more.
constexpr long serviceMemoryBoundKiB(long plainBound)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return plainBound * 8;
#else
    return plainBound;
#endif
}

// How many rounds a stress test makes: normal, unless LD_STRESS_RUNS says otherwise (the
// sanitizer run in CI makes fewer, since every round costs several times as much there).
int stressRuns(int normal);

// How many descriptors this process has open.
size_t openDescriptorCount();

// The environment payload of set_env for these entries.
std::vector<uint8_t> environmentPayload(const std::vector<std::string> &entries);

// Copies the built bundle into directory, then puts the named stand-in programs (built from
// tests/standins) in place of back ends: {"gdb-x86_64", "report"} installs the stand-in
// "report" as gdb-x86_64.
void makeBundleCopy(const std::string &directory,
                    const std::vector<std::pair<std::string, std::string>> &standins = {});

