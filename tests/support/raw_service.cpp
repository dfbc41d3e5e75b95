#include "raw_service.h"

#include <cerrno>
#include <fcntl.h>
#include <cstring>
#include <map>
#include <memory>
#include <poll.h>
#include <csignal>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "platform/message_codec.h"

pid_t startRawService(const RawStart &start)
{
    std::vector<std::string> environment = start.environment;
    if (start.listenVariables) {
        environment.emplace_back("LISTEN_FDS=1");
        environment.emplace_back("LISTEN_PID=" + std::string(16, ' '));
    }
    std::vector<char *> envp;
    for (auto &entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::string executable = start.bundleDir + "/local-debugger";
    char *argv[] = {executable.data(), nullptr};
    char *pidSlot = start.listenVariables ? environment.back().data() + strlen("LISTEN_PID=") : nullptr;

    pid_t pid = fork();
    if (pid != 0)
        return pid;
    if (start.stderrFd >= 0)
        dup2(start.stderrFd, STDERR_FILENO);
    if (start.descriptor3 >= 0) {
        if (start.descriptor3 == 3)
            fcntl(3, F_SETFD, 0);
        else
            dup2(start.descriptor3, 3);
    }
    close_range(4, ~0U, 0);
    if (start.closeStandardDescriptors) {
        close(0);
        close(1);
        close(2);
    }
    if (pidSlot != nullptr) {
        pid_t own = start.wrongListenPid ? getppid() : getpid();
        char digits[16];
        int count = 0;
        do {
            digits[count++] = static_cast<char>('0' + own % 10);
            own /= 10;
        } while (own > 0);
        while (count > 0)
            *pidSlot++ = digits[--count];
        *pidSlot = '\0';
    }
    execve(executable.c_str(), argv, envp.data());
    _exit(127);
}

RawConnection::RawConnection(RawStart start)
{
    int sockets[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sockets) != 0)
        abort();
    start.descriptor3 = sockets[1];
    pid = startRawService(start);
    close(sockets[1]);
    fd = sockets[0];
}

RawConnection::~RawConnection()
{
    if (fd >= 0)
        close(fd);
    if (!ended_) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
}

bool RawConnection::write(const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::optional<int> RawConnection::exitStatus(std::chrono::milliseconds timeout)
{
    auto status = rawExitStatus(pid, timeout);
    ended_ = status.has_value();
    return status;
}

void RawConnection::closeConnection()
{
    close(fd);
    fd = -1;
}

std::optional<int> rawExitStatus(pid_t pid, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t result = waitpid(pid, &status, WNOHANG);
        if (result == pid)
            return WIFEXITED(status) ? std::optional<int>(WEXITSTATUS(status)) : std::nullopt;
        if (result < 0 && errno != EINTR)
            return std::nullopt;
        if (std::chrono::steady_clock::now() >= deadline)
            return std::nullopt;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

sockaddr_un unixAddress(const std::string &path)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    return address;
}

int listeningSocket(const std::string &path)
{
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address = unixAddress(path);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 || listen(fd, 4) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

ServiceClient::Callbacks DataCollector::callbacks()
{
    ServiceClient::Callbacks callbacks;
    callbacks.onMessage = [this](const Message &message) {
        if (const MessageBytes *data = message.dictionary.getData("data")) {
            std::lock_guard<std::mutex> guard(lock_);
            text_.append(data->begin(), data->end());
            arrived_.notify_all();
        }
    };
    return callbacks;
}

bool DataCollector::waitFor(const std::string &text, std::chrono::milliseconds timeout)
{
    std::unique_lock<std::mutex> guard(lock_);
    return arrived_.wait_for(guard, timeout, [&] { return text_.find(text) != std::string::npos; });
}

std::string DataCollector::text() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return text_;
}

std::optional<Message> readMessage(int fd, std::chrono::milliseconds timeout)
{
    // One decoder per descriptor, so bytes past one message are kept for the next call.
    static std::map<int, std::unique_ptr<MessageDecoder>> decoders;
    auto &decoder = decoders[fd];
    if (!decoder)
        decoder = std::make_unique<MessageDecoder>();
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        Message message;
        auto status = decoder->next(message);
        if (status == MessageDecoder::Status::Message)
            return message;
        if (status == MessageDecoder::Status::BadInput)
            return std::nullopt;
        if (status == MessageDecoder::Status::Ignored)
            continue;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return std::nullopt;
        pollfd readable{fd, POLLIN, 0};
        if (poll(&readable, 1, static_cast<int>(left.count())) <= 0)
            continue;
        char buffer[65536];
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0) {
            decoders.erase(fd);
            return std::nullopt;
        }
        decoder->feed(buffer, static_cast<size_t>(got));
    }
}
