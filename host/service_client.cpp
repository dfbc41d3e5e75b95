#include "host/service_client.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/unique_fd.h"

extern char **environ;

namespace local_debugger {

namespace {

constexpr int activationFd = 3;

// Async-signal-safe: decimal pid into a buffer that already holds "LISTEN_PID=".
void writePid(char *slot, pid_t pid)
{
    char digits[16];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + pid % 10);
        pid /= 10;
    } while (pid > 0);
    while (count > 0)
        *slot++ = digits[--count];
    *slot = '\0';
}

// Everything the child needs, built before the fork: the environment with the activation
// variables (LISTEN_PID's digits filled in by the child), and the descriptors it is given.
struct ChildPlan {
    explicit ChildPlan(const ServiceStartOptions &options)
        : executable(options.executable), stdinFd(options.stdinFd), stdoutFd(options.stdoutFd),
          stderrFd(options.stderrFd), ownGroup(options.ownProcessGroup)
    {
        if (options.environment) {
            entries = *options.environment;
        } else {
            for (char **entry = environ; *entry != nullptr; ++entry)
                entries.emplace_back(*entry);
        }
        std::erase_if(entries, [](const std::string &entry) {
            return entry.starts_with("LISTEN_FDS=") || entry.starts_with("LISTEN_PID=") ||
                   entry.starts_with("LISTEN_FDNAMES=");
        });
        entries.emplace_back("LISTEN_FDS=1");
        entries.emplace_back(std::string("LISTEN_PID=") + std::string(16, '0'));
        for (auto &entry : entries)
            envp.push_back(entry.data());
        envp.push_back(nullptr);
        pidSlot = entries.back().data() + strlen("LISTEN_PID=");
        argv[0] = executable.data();
    }
    // envp and argv point into this object's own strings.
    ChildPlan(const ChildPlan &) = delete;
    ChildPlan &operator=(const ChildPlan &) = delete;

    std::vector<std::string> entries;
    std::vector<char *> envp;
    char *pidSlot = nullptr;
    std::string executable;
    char *argv[2] = {nullptr, nullptr};
    int stdinFd;
    int stdoutFd;
    int stderrFd;
    bool ownGroup;
};

// In the child: handlers it inherited, and the signals a host ignores or catches, back to their defaults.
void takeBackSignalHandlers()
{
    for (int signo = 1; signo < NSIG; ++signo) {
        struct sigaction action {};
        if (sigaction(signo, nullptr, &action) != 0)
            continue;
        const bool caught = action.sa_handler != SIG_DFL && action.sa_handler != SIG_IGN;
        const bool reset =
            signo == SIGPIPE || signo == SIGINT || signo == SIGTERM || signo == SIGCHLD || signo == SIGHUP;
        if (caught || reset) {
            action = {};
            action.sa_handler = SIG_DFL;
            sigaction(signo, &action, nullptr);
        }
    }
}

// In the vforked child: system calls only, then the service.
[[noreturn]] void becomeService(const ChildPlan &plan, int activationSocket)
{
    takeBackSignalHandlers();
    if (plan.ownGroup)
        setpgid(0, 0);
    if (plan.stdinFd >= 0 && plan.stdinFd != STDIN_FILENO)
        dup2(plan.stdinFd, STDIN_FILENO);
    if (plan.stdoutFd >= 0 && plan.stdoutFd != STDOUT_FILENO)
        dup2(plan.stdoutFd, STDOUT_FILENO);
    if (plan.stderrFd >= 0 && plan.stderrFd != STDERR_FILENO)
        dup2(plan.stderrFd, STDERR_FILENO);
    if (activationSocket == activationFd)
        fcntl(activationFd, F_SETFD, 0);
    else
        dup2(activationSocket, activationFd);
    // Only what the service is given on purpose: nothing else of the host leaks into it.
    close_range(activationFd + 1, ~0U, 0);
    writePid(plan.pidSlot, getpid());
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(plan.executable.c_str(), plan.argv, plan.envp.data());
    _exit(127);
}

// vfork: no copy of the host's page tables, which a large host pays for in milliseconds.
// The child shares our memory until it executes, so every signal stays blocked until it has
// taken back the handlers it inherited, and it calls nothing but system calls. Not inlined: no
// local of a caller lives across the second return.
[[gnu::noinline]] pid_t spawnService(const ChildPlan &plan, int activationSocket)
{
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    const pid_t pid = vfork();
    if (pid == 0)
        becomeService(plan, activationSocket);
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    return pid;
}

} // namespace

std::vector<uint8_t> encodeEnvironmentPayload(const std::vector<std::string> &entries)
{
    std::vector<uint8_t> payload;
    for (const auto &entry : entries) {
        payload.insert(payload.end(), entry.begin(), entry.end());
        payload.push_back(0);
    }
    payload.push_back(0);
    return payload;
}

ServiceClient::ServiceClient(int fd, pid_t pid, Callbacks callbacks)
    : connection_(std::make_shared<Connection>(fd)), pid_(pid), callbacks_(std::move(callbacks))
{
    reader_ = std::thread(&ServiceClient::readLoop, this);
}

ServiceClient::~ServiceClient()
{
    disconnect();
    if (reader_.joinable())
        reader_.join();
    if (pid_ > 0 && !exitStatus_) {
        // Not waited for by the host: make sure no zombie or orphan service is left behind.
        if (!waitForExit(std::chrono::milliseconds(2000))) {
            kill(pid_, SIGKILL);
            waitForExit(std::chrono::milliseconds(5000));
        }
    }
}

std::optional<StartedService> startService(const ServiceStartOptions &options)
{
    int sockets[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0)
        return std::nullopt;
    UniqueFd ours(sockets[0]);
    UniqueFd theirs(sockets[1]);
    const ChildPlan plan(options);
    const pid_t pid = spawnService(plan, theirs.get());
    if (pid < 0)
        return std::nullopt;
    if (options.ownProcessGroup)
        setpgid(pid, pid);
    return StartedService{pid, ours.release()};
}

std::unique_ptr<ServiceClient> ServiceClient::start(const ServiceStartOptions &options, Callbacks callbacks)
{
    std::optional<StartedService> started = startService(options);
    if (!started)
        return nullptr;
    return std::unique_ptr<ServiceClient>(new ServiceClient(started->fd, started->pid, std::move(callbacks)));
}

std::unique_ptr<ServiceClient> ServiceClient::connectTo(const std::string &socketPath, Callbacks callbacks)
{
    sockaddr_un address{};
    if (socketPath.size() >= sizeof address.sun_path)
        return nullptr;
    UniqueFd fd(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd)
        return nullptr;
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    int result;
    do {
        result = connect(fd.get(), reinterpret_cast<sockaddr *>(&address), sizeof address);
    } while (result != 0 && errno == EINTR);
    if (result != 0)
        return nullptr;
    return std::unique_ptr<ServiceClient>(new ServiceClient(fd.release(), -1, std::move(callbacks)));
}

void ServiceClient::readLoop()
{
    Connection::End end = connection_->receive([this](Message &message) {
        if (message.kind == MessageKind::Reply) {
            std::lock_guard<std::mutex> guard(lock_);
            auto waiting = replies_.find(message.msgid);
            if (waiting != replies_.end()) {
                waiting->second = std::move(message.dictionary);
                changed_.notify_all();
            }
            return;
        }
        if (callbacks_.onMessage)
            callbacks_.onMessage(message);
    });
    {
        std::lock_guard<std::mutex> guard(lock_);
        closed_ = true;
        end_ = end;
        changed_.notify_all();
    }
    if (callbacks_.onClosed)
        callbacks_.onClosed();
}

bool ServiceClient::send(const MessageDictionary &dictionary)
{
    Message message;
    message.kind = MessageKind::Plain;
    message.dictionary = dictionary;
    return connection_->send(message);
}

bool ServiceClient::sendCommand(const std::string &command)
{
    MessageDictionary dictionary;
    dictionary.setString("command", command);
    return send(dictionary);
}

bool ServiceClient::sendData(const std::string &command, const std::vector<uint8_t> &data)
{
    MessageDictionary dictionary;
    dictionary.setString("command", command);
    dictionary.setData("data", data);
    return send(dictionary);
}

std::optional<MessageDictionary> ServiceClient::request(const MessageDictionary &dictionary,
                                                        std::chrono::milliseconds timeout)
{
    Message message;
    message.kind = MessageKind::Request;
    message.dictionary = dictionary;
    {
        std::lock_guard<std::mutex> guard(lock_);
        message.msgid = nextMsgid_++;
        replies_[message.msgid];
    }
    std::unique_lock<std::mutex> guard(lock_, std::defer_lock);
    if (connection_->send(message)) {
        guard.lock();
        changed_.wait_for(guard, timeout, [&] { return replies_[message.msgid].has_value() || closed_; });
    } else {
        guard.lock();
    }
    std::optional<MessageDictionary> reply = std::move(replies_[message.msgid]);
    replies_.erase(message.msgid);
    return reply;
}

std::optional<bool> ServiceClient::requestResult(const std::string &command, std::chrono::milliseconds timeout)
{
    MessageDictionary dictionary;
    dictionary.setString("command", command);
    auto reply = request(dictionary, timeout);
    if (!reply)
        return std::nullopt;
    return reply->getBool("result");
}

std::optional<int> ServiceClient::waitForExit(std::chrono::milliseconds timeout)
{
    if (exitStatus_ || pid_ <= 0)
        return exitStatus_;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    auto pause = std::chrono::microseconds(200);
    for (;;) {
        int status = 0;
        pid_t result = waitpid(pid_, &status, WNOHANG);
        if (result == pid_) {
            exitStatus_ = status;
            return exitStatus_;
        }
        if (result < 0 && errno != EINTR)
            return std::nullopt;
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::microseconds(10000));
    }
}

bool ServiceClient::closed() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return closed_;
}

void ServiceClient::waitUntilClosed()
{
    if (reader_.joinable())
        reader_.join();
}

std::optional<Connection::End> ServiceClient::connectionEnd() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return end_;
}

std::optional<pid_t> ServiceClient::peerPid() const
{
    ucred peer{};
    socklen_t size = sizeof peer;
    if (getsockopt(connection_->descriptor(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 || peer.pid <= 0)
        return std::nullopt;
    return peer.pid;
}

void ServiceClient::disconnect()
{
    connection_->shutdown();
}

} // namespace local_debugger
