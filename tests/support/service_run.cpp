#include "service_run.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

ServiceRun::ServiceRun() : ServiceRun(Options{}) {}

ServiceRun::ServiceRun(Options options)
{
    int errPipe[2];
    if (pipe2(errPipe, O_CLOEXEC) != 0)
        abort();
    ServiceStartOptions start;
    start.executable = options.bundleDir + "/local-debugger";
    std::vector<std::string> environment = {"PATH=/usr/bin:/bin"};
    if (options.diagnosticsOnStderr)
        environment.emplace_back("TORVEX_DEBUGGER_LOG=stderr");
    for (auto &entry : options.extraEnvironment)
        environment.push_back(entry);
    start.environment = environment;
    start.stderrFd = errPipe[1];
    start.stdinFd = options.stdinFd;
    ServiceClient::Callbacks callbacks;
    callbacks.onMessage = [this](const Message &message) {
        std::lock_guard<std::mutex> guard(lock_);
        const MessageBytes *data = message.dictionary.getData("data");
        if (data != nullptr && message.dictionary.entries().size() == 1)
            data_.push_back(*data);
        else
            ++otherMessages_;
        changed_.notify_all();
    };
    callbacks.onClosed = [this] {
        std::lock_guard<std::mutex> guard(lock_);
        closed_ = true;
        changed_.notify_all();
    };
    client_ = ServiceClient::start(start, std::move(callbacks));
    close(errPipe[1]);
    if (!client_)
        abort();
    stderrReader_ = std::thread(&ServiceRun::readStderr, this, errPipe[0]);
}

ServiceRun::~ServiceRun()
{
    client_.reset();
    if (stderrReader_.joinable())
        stderrReader_.join();
    // A sanitizer's report in the service fails the test that ran it, whatever its status.
    for (const char *report : {"ThreadSanitizer:", "AddressSanitizer:", "LeakSanitizer:", "runtime error:"}) {
        if (stderr_.find(report) != std::string::npos)
            ADD_FAILURE() << "the service reported a fault:\n" << stderr_;
    }
}

void ServiceRun::readStderr(int fd)
{
    char buffer[4096];
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        std::lock_guard<std::mutex> guard(lock_);
        stderr_.append(buffer, static_cast<size_t>(got));
        changed_.notify_all();
    }
    close(fd);
    std::lock_guard<std::mutex> guard(lock_);
    stderrClosed_ = true;
    changed_.notify_all();
}

bool ServiceRun::command(const std::string &name)
{
    return client_->sendCommand(name);
}

std::optional<bool> ServiceRun::request(const std::string &name, std::chrono::milliseconds timeout)
{
    return client_->requestResult(name, timeout);
}

std::optional<bool> ServiceRun::launchGdb(std::optional<std::string> arch)
{
    MessageDictionary dictionary;
    dictionary.setString("command", "launch_gdb");
    if (arch)
        dictionary.setString("arch", *arch);
    auto reply = client_->request(dictionary, 10s);
    if (!reply)
        return std::nullopt;
    return reply->getBool("result");
}

std::optional<bool> ServiceRun::launchLldb()
{
    return request("launch_lldb", 30s);
}

bool ServiceRun::setEnvironment(const std::vector<std::string> &entries)
{
    return setEnvironmentPayload(environmentPayload(entries));
}

bool ServiceRun::setEnvironmentPayload(const std::vector<uint8_t> &payload)
{
    return client_->sendData("set_env", payload);
}

bool ServiceRun::send(const std::string &bytes)
{
    return client_->sendData("send", std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

std::string ServiceRun::output() const
{
    std::lock_guard<std::mutex> guard(lock_);
    std::string joined;
    for (const auto &chunk : data_)
        joined.append(chunk.begin(), chunk.end());
    return joined;
}

std::vector<std::vector<uint8_t>> ServiceRun::dataMessages() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return data_;
}

bool ServiceRun::waitForOutput(const std::string &needle, std::chrono::milliseconds timeout) const
{
    return waitForOutputAfter(0, needle, timeout);
}

bool ServiceRun::waitForOutputAfter(size_t offset, const std::string &needle, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, timeout, [&] {
        std::string joined;
        for (const auto &chunk : data_)
            joined.append(chunk.begin(), chunk.end());
        return joined.find(needle, offset) != std::string::npos;
    });
}

size_t ServiceRun::otherMessageCount() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return otherMessages_;
}

std::string ServiceRun::stderrText() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return stderr_;
}

bool ServiceRun::waitForStderr(const std::string &needle, std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, timeout, [&] { return stderr_.find(needle) != std::string::npos; });
}

std::vector<std::string> ServiceRun::diagnostics() const
{
    static const std::string prefix = "[TORVEX_DEBUGGER(XPC)] ";
    std::vector<std::string> entries;
    std::istringstream lines(stderrText());
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with(prefix))
            entries.push_back(line.substr(prefix.size()));
    }
    return entries;
}

std::optional<int> ServiceRun::exitStatus(std::chrono::milliseconds timeout)
{
    auto status = client_->waitForExit(timeout);
    if (!status || !WIFEXITED(*status))
        return std::nullopt;
    // Everything the service wrote on its standard error is read before anyone looks at it.
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_for(guard, 5s, [&] { return stderrClosed_; });
    return WEXITSTATUS(*status);
}

bool ServiceRun::connectionClosed(std::chrono::milliseconds timeout) const
{
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, timeout, [&] { return closed_; });
}

std::vector<uint8_t> environmentPayload(const std::vector<std::string> &entries)
{
    return encodeEnvironmentPayload(entries);
}

void makeBundleCopy(const std::string &directory, const std::vector<std::pair<std::string, std::string>> &standins)
{
    fs::create_directories(directory);
    // Unlinked first: a back end of an earlier run may still be executing the old file.
    for (const auto &entry : fs::directory_iterator(LD_BUNDLE_DIR)) {
        fs::path target = fs::path(directory) / entry.path().filename();
        fs::remove_all(target);
        fs::copy(entry.path(), target, fs::copy_options::recursive);
    }
    for (const auto &[name, standin] : standins) {
        fs::path target = fs::path(directory) / name;
        fs::remove(target);
        fs::copy_file(fs::path(LD_STANDIN_DIR) / standin, target);
    }
}

std::optional<StandinReport> parseStandinReport(const std::string &output)
{
    size_t end = output.find("END-REPORT\n");
    if (end == std::string::npos)
        return std::nullopt;
    StandinReport report;
    std::istringstream lines(output.substr(0, end));
    for (std::string line; std::getline(lines, line);) {
        if (line.starts_with("pid=")) {
            report.pid = atoi(line.c_str() + 4);
        } else if (line.starts_with("argv[")) {
            report.argv.push_back(line.substr(line.find("]=") + 2));
        } else if (line.starts_with("env=")) {
            report.environment.push_back(line.substr(4));
        } else if (line.starts_with("environ=")) {
            report.environmentPresent = line == "environ=present";
        } else if (line.starts_with("input=")) {
            sscanf(line.c_str(), "input=%d output=%d", &report.inputFd, &report.outputFd);
        } else if (line.starts_with("fd ")) {
            size_t equals = line.find('=');
            report.descriptors[atoi(line.c_str() + 3)] = line.substr(equals + 1);
        } else if (line.starts_with("blocked=")) {
            report.blocked = line.substr(8);
        } else if (line.starts_with("ignored=")) {
            report.ignored = line.substr(8);
        }
    }
    return report;
}

bool processGone(pid_t pid, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
        size_t close = stat.rfind(')');
        if (stat.empty() || (close != std::string::npos && close + 2 < stat.size() && stat[close + 2] == 'Z'))
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
}

std::vector<pid_t> childrenOf(pid_t pid)
{
    std::vector<pid_t> children;
    std::error_code error;
    for (const auto &task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::istringstream list(readFile(task.path() / "children"));
        for (pid_t child; list >> child;)
            children.push_back(child);
    }
    return children;
}

long residentPeakKiB(pid_t pid)
{
    std::istringstream status(readFile("/proc/" + std::to_string(pid) + "/status"));
    for (std::string line; std::getline(status, line);) {
        if (line.starts_with("VmHWM:"))
            return atol(line.c_str() + 6);
    }
    return -1;
}

size_t openDescriptorCount()
{
    size_t count = 0;
    for ([[maybe_unused]] const auto &entry : fs::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

int stressRuns(int normal)
{
    const char *override = getenv("LD_STRESS_RUNS");
    int runs = override != nullptr ? atoi(override) : 0;
    return runs > 0 ? runs : normal;
}
