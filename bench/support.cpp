#include "support.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sched.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace fs = std::filesystem;

double median(std::vector<double> values)
{
    if (values.empty())
        return NAN;
    std::sort(values.begin(), values.end());
    size_t middle = values.size() / 2;
    return values.size() % 2 == 1 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double medianOfValid(const std::vector<double> &values)
{
    std::vector<double> valid;
    for (double value : values) {
        if (value > 0)
            valid.push_back(value);
    }
    return median(valid);
}

double ratioOfMedians(const std::vector<double> &service, const std::vector<double> &baseline)
{
    return medianOfValid(service) / medianOfValid(baseline);
}

double cpuSecondsUsed()
{
    double total = 0;
    for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        rusage usage{};
        getrusage(who, &usage);
        total += static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }
    return total;
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return NAN;
    std::sort(values.begin(), values.end());
    size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(values.size())));
    return values[std::clamp<size_t>(rank, 1, values.size()) - 1];
}

void makeBundle(const BenchPaths &paths, const std::string &directory,
                const std::vector<std::pair<std::string, std::string>> &standins)
{
    fs::create_directories(directory);
    fs::copy_file(fs::path(paths.bundleDir) / "local-debugger", fs::path(directory) / "local-debugger",
                  fs::copy_options::overwrite_existing);
    for (const auto &[name, standin] : standins)
        fs::copy_file(fs::path(paths.standinDir) / standin, fs::path(directory) / name,
                      fs::copy_options::overwrite_existing);
}

void makePipe(int fds[2])
{
    if (pipe2(fds, O_CLOEXEC) != 0) {
        perror("ld-bench: pipe");
        exit(1);
    }
}

void makeSocketPair(int fds[2])
{
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
        perror("ld-bench: socketpair");
        exit(1);
    }
}

void closeAll(std::initializer_list<int> fds)
{
    for (int fd : fds) {
        if (fd >= 0)
            close(fd);
    }
}

pid_t spawnProgram(const std::string &program, const std::vector<std::string> &arguments,
                   const std::vector<std::pair<int, int>> &descriptors,
                   const std::optional<std::vector<std::string>> &environment)
{
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // Every source is close-on-exec; dup2 onto the target clears the flag there.
    for (const auto &[source, target] : descriptors)
        posix_spawn_file_actions_adddup2(&actions, source, target);

    std::vector<std::string> argumentStrings = arguments;
    argumentStrings.insert(argumentStrings.begin(), program);
    std::vector<char *> argv;
    for (auto &argument : argumentStrings)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    std::vector<std::string> environmentStrings;
    std::vector<char *> envp;
    if (environment) {
        environmentStrings = *environment;
        for (auto &entry : environmentStrings)
            envp.push_back(entry.data());
        envp.push_back(nullptr);
    }
    pid_t pid = -1;
    int error = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environment ? envp.data() : environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        fprintf(stderr, "ld-bench: cannot start %s: %s\n", program.c_str(), strerror(error));
        exit(1);
    }
    return pid;
}

int reap(pid_t pid)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return status;
}

bool writeAllTo(int fd, const void *bytes, size_t count)
{
    const char *at = static_cast<const char *>(bytes);
    while (count > 0) {
        ssize_t n = write(fd, at, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        at += n;
        count -= static_cast<size_t>(n);
    }
    return true;
}

long residentKiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0)
            return strtol(line.c_str() + 6, nullptr, 10);
    }
    return -1;
}

std::vector<std::string> ownEnvironment()
{
    std::vector<std::string> entries;
    for (char **entry = environ; *entry != nullptr; ++entry)
        entries.emplace_back(*entry);
    return entries;
}

ServiceSession::ServiceSession(const Options &options, std::function<void(const MessageBytes &)> onData,
                               std::function<void()> onClosed)
{
    int errorPipe[2];
    makePipe(errorPipe);
    ServiceStartOptions start;
    start.executable = options.bundleDir + "/local-debugger";
    start.environment = options.environment;
    start.stderrFd = errorPipe[1];
    ServiceClient::Callbacks callbacks;
    callbacks.onMessage = [onData = std::move(onData)](const Message &message) {
        if (const MessageBytes *data = message.dictionary.getData("data"))
            onData(*data);
    };
    callbacks.onClosed = std::move(onClosed);
    client_ = ServiceClient::start(start, std::move(callbacks));
    close(errorPipe[1]);
    stderrReader_ = std::thread(&ServiceSession::drainStderr, this, errorPipe[0]);
}

ServiceSession::~ServiceSession()
{
    client_.reset();
    if (stderrReader_.joinable())
        stderrReader_.join();
}

void ServiceSession::drainStderr(int fd)
{
    std::unique_ptr<char[]> buffer(new char[1 << 20]);
    for (;;) {
        ssize_t got = read(fd, buffer.get(), 1 << 20);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break;
        stderrBytes_ += static_cast<uint64_t>(got);
        std::lock_guard<std::mutex> guard(lock_);
        if (stderrHead_.size() < 4096) {
            stderrHead_.append(buffer.get(), static_cast<size_t>(std::min<ssize_t>(got, 4096)));
            changed_.notify_all();
        }
    }
    close(fd);
}

bool ServiceSession::waitUntilIdle(std::chrono::milliseconds timeout)
{
    if (!client_)
        return false;
    std::unique_lock<std::mutex> guard(lock_);
    bool seen = changed_.wait_for(guard, timeout,
                                  [&] { return stderrHead_.find("launching local debugger") != std::string::npos; });
    guard.unlock();
    std::this_thread::sleep_for(serviceSettleTime);
    return seen;
}

std::optional<bool> ServiceSession::request(const std::string &command, std::chrono::milliseconds timeout)
{
    return client_->requestResult(command, timeout);
}

namespace {

std::vector<pid_t> childrenOf(pid_t pid)
{
    std::vector<pid_t> children;
    std::error_code error;
    for (const auto &task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::ifstream list(task.path() / "children");
        pid_t child;
        while (list >> child)
            children.push_back(child);
    }
    return children;
}

// Gone, or a zombie nobody has reaped yet.
bool processGone(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (!std::getline(stat, text))
        return true;
    size_t close = text.rfind(')');
    return close == std::string::npos || text.compare(close, 3, ") Z") == 0;
}

void waitUntilGone(const std::vector<pid_t> &processes)
{
    auto deadline = BenchClock::now() + std::chrono::seconds(5);
    for (pid_t process : processes) {
        while (!processGone(process) && BenchClock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
}

} // namespace

void ServiceSession::stop()
{
    std::vector<pid_t> children = childrenOf(client_->pid());
    client_->requestResult("stop", std::chrono::seconds(10));
    client_->waitForExit(std::chrono::seconds(10));
    waitUntilGone(children);
}

RawService::RawService(const std::string &bundleDir, std::chrono::milliseconds idle)
    : decoder_(std::make_unique<MessageDecoder>())
{
    int errorPipe[2];
    makePipe(errorPipe);
    ServiceStartOptions options;
    options.executable = bundleDir + "/local-debugger";
    options.environment = std::vector<std::string>{};
    options.stderrFd = errorPipe[1];
    if (std::optional<StartedService> started = startService(options))
        service_ = *started;
    close(errorPipe[1]);
    stderr_ = errorPipe[0];
    std::string head;
    char buffer[4096];
    pollfd readable{stderr_, POLLIN, 0};
    while (service_.fd >= 0 && head.find("launching local debugger") == std::string::npos &&
           poll(&readable, 1, 10000) > 0) {
        ssize_t got = read(stderr_, buffer, sizeof buffer);
        if (got <= 0)
            break;
        head.append(buffer, static_cast<size_t>(got));
    }
    ready_ = head.find("launching local debugger") != std::string::npos;
    std::this_thread::sleep_for(idle);
}

BusyCpu::BusyCpu()
{
    cpu_set_t allowed;
    if (sched_getaffinity(0, sizeof allowed, &allowed) == 0) {
        while (cpu_ < CPU_SETSIZE - 1 && !CPU_ISSET(cpu_, &allowed))
            ++cpu_;
    }
    spinner_ = std::thread([this] {
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu_, &one);
        sched_setaffinity(0, sizeof one, &one);
        while (!stop_.load(std::memory_order_relaxed)) {
        }
    });
}

BusyCpu::~BusyCpu()
{
    stop_.store(true);
    spinner_.join();
}

RawService::~RawService()
{
    if (service_.fd >= 0) {
        close(service_.fd);
        reap(service_.pid);
    }
    close(stderr_);
}

bool RawService::readUntil(const std::function<bool(const Message &)> &done, BenchClock::time_point *lastRead)
{
    Message message;
    for (;;) {
        MessageDecoder::Status status = decoder_->next(message);
        if (status == MessageDecoder::Status::Message && done(message))
            return true;
        if (status == MessageDecoder::Status::BadInput)
            return false;
        if (status != MessageDecoder::Status::NeedMore)
            continue;
        std::span<char> space = decoder_->readSpace(64 * 1024);
        ssize_t got = read(service_.fd, space.data(), space.size());
        if (lastRead != nullptr)
            *lastRead = BenchClock::now();
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return false;
        decoder_->commit(static_cast<size_t>(got));
    }
}

std::optional<bool> RawService::request(const std::string &command, BenchClock::time_point *sent,
                                        BenchClock::time_point *answered)
{
    Message request;
    request.kind = MessageKind::Request;
    request.msgid = nextId_++;
    request.dictionary.setString("command", command);
    const std::string encoded = encodeMessage(request);
    decoder_->readSpace(64 * 1024); // the reply's room, had before the clock starts
    std::optional<bool> result;
    if (sent != nullptr)
        *sent = BenchClock::now();
    if (!writeAllTo(service_.fd, encoded.data(), encoded.size()))
        return std::nullopt;
    readUntil(
        [&](const Message &message) {
            if (message.kind != MessageKind::Reply || message.msgid != request.msgid)
                return false;
            result = message.dictionary.getBool("result");
            return true;
        },
        answered);
    return result;
}

void RawService::stop()
{
    if (service_.fd < 0)
        return;
    std::vector<pid_t> children = childrenOf(service_.pid);
    request("stop");
    close(service_.fd);
    service_.fd = -1;
    reap(service_.pid);
    waitUntilGone(children);
}

void ServiceSession::waitForExit(std::chrono::milliseconds timeout)
{
    client_->waitForExit(timeout);
}

void Completion::complete(BenchClock::time_point at)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (!at_)
        at_ = at;
    changed_.notify_all();
}

std::optional<BenchClock::time_point> Completion::wait(std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_for(guard, timeout, [&] { return at_.has_value(); });
    return at_;
}
