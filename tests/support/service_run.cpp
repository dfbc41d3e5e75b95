#include <algorithm>
#include <fcntl.h>
#include "service_run.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <functional>
#include <malloc.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "tests/standins/standin_io.h"

namespace fs = std::filesystem;

namespace {

// A runner that started the tests in the background (a shell without job control ignores
// SIGINT and SIGQUIT there, nohup SIGHUP) would hand those ignores on to every service, which
// keeps them for its back ends: tests start from the defaults. SIGPIPE stays as it is.
const bool signalsAtDefault = [] {
    for (int signo = 1; signo < NSIG; ++signo) {
        struct sigaction action {};
        if (signo != SIGPIPE && sigaction(signo, nullptr, &action) == 0 && action.sa_handler == SIG_IGN)
            signal(signo, SIG_DFL);
    }
    return true;
}();

} // namespace

ServiceRun::ServiceRun(const std::string &bundleDir, std::vector<std::string> environment, int stderrFd)
{
    ServiceStartOptions start;
    start.stderrFd = stderrFd;
    start.executable = bundleDir + "/local-debugger";
    environment.emplace_back("PATH=/usr/bin:/bin");
    start.environment = environment;
    client_ = ServiceClient::start(start, callbacks());
}

std::unique_ptr<ServiceRun> ServiceRun::connect(const std::string &socketPath)
{
    std::unique_ptr<ServiceRun> run(new ServiceRun(nullptr));
    run->client_ = ServiceClient::connectTo(socketPath, run->callbacks());
    return run->client_ ? std::move(run) : nullptr;
}

ServiceRun::~ServiceRun()
{
    client_.reset();
}

ServiceClient::Callbacks ServiceRun::callbacks()
{
    ServiceClient::Callbacks callbacks;
    callbacks.onMessage = [this](const Message &message) {
        const MessageBytes *data = message.dictionary.getData("data");
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (data != nullptr)
                output_.append(data->begin(), data->end());
            changed_.notify_all();
        }
        if (data != nullptr && pause_.load() > 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(pause_.exchange(0)));
    };
    callbacks.onClosed = [this] {
        std::lock_guard<std::mutex> guard(lock_);
        closed_ = true;
        changed_.notify_all();
    };
    return callbacks;
}

std::optional<bool> ServiceRun::launchGdb(std::optional<std::string> arch)
{
    MessageDictionary dictionary;
    dictionary.setString("command", "launch_gdb");
    if (arch)
        dictionary.setString("arch", *arch);
    auto reply = client_->request(dictionary, 30s);
    return reply ? reply->getBool("result") : std::nullopt;
}

std::string ServiceRun::output() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return output_;
}

bool ServiceRun::waitForOutput(const std::string &needle, std::chrono::milliseconds timeout, size_t from) const
{
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, timeout, [&] { return output_.find(needle, from) != std::string::npos; });
}

std::optional<int> ServiceRun::exitStatus()
{
    auto status = client_->waitForExit(20s);
    return status && WIFEXITED(*status) ? std::optional<int>(WEXITSTATUS(*status)) : std::nullopt;
}

bool ServiceRun::connectionClosed() const
{
    std::unique_lock<std::mutex> guard(lock_);
    return changed_.wait_for(guard, 20s, [&] { return closed_; });
}

pid_t startRawService(int descriptor3, const std::string &bundleDir, const std::vector<std::pair<int, int>> &inherited,
                      std::vector<std::string> environment)
{
    std::string executable = bundleDir + "/local-debugger";
    std::string listenPid = "LISTEN_PID=" + std::string(16, '\0');
    char listenFds[] = "LISTEN_FDS=1";
    // An inherited socket counts as one more activation socket, as a starter would say.
    for (const auto &[fd, number] : inherited) {
        int type = 0;
        socklen_t size = sizeof type;
        if (getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &size) == 0)
            ++listenFds[sizeof listenFds - 2];
    }
    std::vector<char *> envp = {listenFds, listenPid.data()};
    for (std::string &entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    char *argv[] = {executable.data(), nullptr};
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    // Only async-signal-safe calls from here: the test process has threads.
    // dup2 onto itself would leave close-on-exec set.
    descriptor3 == 3 ? fcntl(3, F_SETFD, 0) : dup2(descriptor3, 3);
    unsigned next = 4;
    for (const auto &[fd, number] : inherited) {
        fd == number ? fcntl(fd, F_SETFD, 0) : dup2(fd, number);
        if (next < static_cast<unsigned>(number))
            close_range(next, static_cast<unsigned>(number) - 1, 0);
        next = static_cast<unsigned>(number) + 1;
    }
    close_range(next, ~0U, 0);
    char *digits = listenPid.data() + strlen("LISTEN_PID=");
    int count = 0;
    for (pid_t own = getpid(); own > 0; own /= 10)
        ++count;
    for (pid_t own = getpid(); own > 0; own /= 10)
        digits[--count] = static_cast<char>('0' + own % 10);
    execve(executable.c_str(), argv, envp.data());
    _exit(127);
}

bool waitUntil(const std::function<bool()> &done)
{
    for (int i = 0; i < 4000; ++i) {
        if (done())
            return true;
        std::this_thread::sleep_for(5ms);
    }
    return false;
}

std::optional<int> rawExitStatus(pid_t pid)
{
    int status = 0;
    bool exited = waitUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; });
    return exited && WIFEXITED(status) ? std::optional<int>(WEXITSTATUS(status)) : std::nullopt;
}

std::pair<pid_t, int> startRawConnection()
{
    int sockets[2];
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets);
    pid_t pid = startRawService(sockets[1]);
    close(sockets[1]);
    return {pid, sockets[0]};
}

ListeningService::ListeningService(const std::string &bundleDir, const std::vector<std::pair<int, int>> &inherited,
                                   const std::vector<std::string> &environment, bool nonBlocking)
    : path(directory.path() + "/service.sock")
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
    sockaddr_un address{AF_UNIX, {}};
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address);
    listen(fd, 4);
    pid = startRawService(fd, bundleDir, inherited, environment);
    close(fd);
}

std::optional<StandinReport> parseStandinReport(const std::string &output)
{
    size_t end = output.find("END-REPORT\n");
    if (end == std::string::npos)
        return std::nullopt;
    StandinReport report;
    std::istringstream lines(output.substr(0, end));
    for (std::string line; std::getline(lines, line);) {
        std::string key = line.substr(0, line.find('='));
        std::string value = line.substr(key.size() + 1);
        if (key == "pid")
            report.pid = std::stoi(value);
        else if (key == "argv" || key == "env")
            (key == "argv" ? report.argv : report.environment).push_back(value);
        else if (key.starts_with("fd "))
            report.descriptors.emplace_back(std::stoi(key.substr(3)), value);
        else
            (key == "blocked" ? report.blocked : report.ignored) = value;
    }
    return report;
}

StandinReport reportOf(ServiceRun &run)
{
    EXPECT_TRUE(run.waitForOutput("END-REPORT\n")) << run.output();
    return parseStandinReport(run.output()).value_or(StandinReport{});
}

std::vector<int> descriptorNumbers(const StandinReport &report)
{
    std::vector<int> numbers;
    for (const auto &[number, target] : report.descriptors)
        numbers.push_back(number);
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

bool processGone(pid_t pid)
{
    return waitUntil([pid] {
        std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
        return stat.empty() || stat.substr(stat.rfind(')') + 2, 1) == "Z";
    });
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

long statusKiB(pid_t pid, const std::string &field)
{
    std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("\n" + field + ":");
    return at == std::string::npos ? -1 : atol(status.c_str() + at + field.size() + 2);
}

int stressRuns(int normal)
{
    const char *override = getenv("LD_STRESS_RUNS");
    return override != nullptr && atoi(override) > 0 ? atoi(override) : normal;
}

size_t descriptorCount(pid_t pid)
{
    return static_cast<size_t>(std::distance(fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd"), {}));
}

void makeBundleCopy(const std::string &directory, const std::vector<std::pair<std::string, std::string>> &standins)
{
    fs::create_directories(directory);
    // Unlinked first: a back end of an earlier run may still be executing the old file.
    for (const auto &entry : fs::directory_iterator(LD_BUNDLE_DIR)) {
        fs::remove_all(directory / entry.path().filename());
        fs::copy(entry.path(), directory / entry.path().filename(), fs::copy_options::recursive);
    }
    for (const auto &[name, standin] : standins) {
        fs::remove(fs::path(directory) / name);
        fs::copy_file(fs::path(LD_STANDIN_DIR) / standin, fs::path(directory) / name);
    }
}

void sendPattern(ServiceRun &run, size_t total)
{
    mallopt(M_MMAP_THRESHOLD, 64 << 20);
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
    std::string piece(1 << 20, '\0');
    for (size_t offset = 0; offset < total; offset += piece.size()) {
        for (size_t i = 0; i < piece.size(); ++i)
            piece[i] = static_cast<char>(standin::patternByte(offset + i));
        run.send(piece);
    }
}
