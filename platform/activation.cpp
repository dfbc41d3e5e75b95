#include "platform/activation.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <algorithm>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int firstActivationFd = 3;

bool parseNumber(const char *text, long &out)
{
    if (text == nullptr || *text == '\0')
        return false;
    char *end = nullptr;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (errno != 0 || *end != '\0')
        return false;
    out = value;
    return true;
}

} // namespace

int firstDescriptorAboveActivation()
{
    long fds = 0;
    if (!parseNumber(getenv("LISTEN_FDS"), fds) || fds < 1)
        fds = 1;
    return static_cast<int>(std::min<long>(firstActivationFd + fds, std::numeric_limits<int>::max()));
}

ActivationResult takeActivationSocket()
{
    ActivationResult result;
    const char *fdsText = getenv("LISTEN_FDS");
    const char *pidText = getenv("LISTEN_PID");
    long fds = 0;
    long pid = 0;
    if (fdsText == nullptr || pidText == nullptr) {
        result.problem = "no activation socket: LISTEN_FDS and LISTEN_PID are not set";
    } else if (!parseNumber(pidText, pid) || pid != static_cast<long>(getpid())) {
        result.problem = "no activation socket: LISTEN_PID is not this process's id";
    } else if (!parseNumber(fdsText, fds) || fds < 1) {
        result.problem = "no activation socket: LISTEN_FDS does not name a descriptor";
    }
    unsetenv("LISTEN_FDS");
    unsetenv("LISTEN_PID");
    unsetenv("LISTEN_FDNAMES");
    if (!result.problem.empty())
        return result;

    int domain = 0;
    int type = 0;
    int accepting = 0;
    socklen_t size = sizeof domain;
    bool isUnixStream = getsockopt(firstActivationFd, SOL_SOCKET, SO_DOMAIN, &domain, &size) == 0 && domain == AF_UNIX;
    size = sizeof type;
    isUnixStream =
        isUnixStream && getsockopt(firstActivationFd, SOL_SOCKET, SO_TYPE, &type, &size) == 0 && type == SOCK_STREAM;
    size = sizeof accepting;
    if (!isUnixStream || getsockopt(firstActivationFd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &size) != 0) {
        result.problem = "no activation socket: descriptor 3 is not a Unix stream socket";
        return result;
    }
    fcntl(firstActivationFd, F_SETFD, FD_CLOEXEC);
    result.fd = firstActivationFd;
    result.listening = accepting != 0;
    return result;
}

int acceptConnection(int listeningFd)
{
    for (;;) {
        int fd = accept4(listeningFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EPROTO)
                continue;
            // A starter may pass the socket non-blocking: wait for a peer rather than spin.
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                pollfd ready{listeningFd, POLLIN, 0};
                if (poll(&ready, 1, -1) < 0 && errno != EINTR)
                    return -1;
                continue;
            }
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                usleep(10000);
                continue;
            }
            return -1;
        }
        ucred peer{};
        socklen_t size = sizeof peer;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &size) == 0 && peer.uid == getuid())
            return fd;
        close(fd);
    }
}
