// Stand-in back end: reports what it was started with, then mirrors its input to its output
// byte for byte, noting the SIGINT and SIGTERM it receives (SIGTERM also ends it).

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <string>
#include <sys/select.h>
#include <unistd.h>

#include "tests/standins/standin_io.h"

extern char **environ;

namespace {

int signalPipe[2];

void onSignal(int signo)
{
    int saved = errno;
    unsigned char byte = static_cast<unsigned char>(signo);
    ssize_t ignored = write(signalPipe[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

std::string report(int argc, char **argv)
{
    std::string text = "pid=" + std::to_string(getpid()) + "\n";
    for (int i = 0; i < argc; ++i)
        text += std::string("argv=") + argv[i] + "\n";
    for (char **entry = environ; entry != nullptr && *entry != nullptr; ++entry)
        text += std::string("env=") + *entry + "\n";
    DIR *fds = opendir("/proc/self/fd");
    for (dirent *entry = readdir(fds); entry != nullptr; entry = readdir(fds)) {
        char target[512];
        std::string link = std::string("/proc/self/fd/") + entry->d_name;
        ssize_t length = readlink(link.c_str(), target, sizeof target);
        if (standin::isNumber(entry->d_name) && atoi(entry->d_name) != dirfd(fds) && length > 0)
            text += std::string("fd ") + entry->d_name + "=" + std::string(target, length) + "\n";
    }
    closedir(fds);
    sigset_t mask;
    sigprocmask(SIG_SETMASK, nullptr, &mask);
    std::string blocked, ignored;
    for (int signo = 1; signo < 32; ++signo) {
        struct sigaction action {};
        if (sigismember(&mask, signo) == 1)
            blocked += std::to_string(signo) + ",";
        if (sigaction(signo, nullptr, &action) == 0 && action.sa_handler == SIG_IGN)
            ignored += std::to_string(signo) + ",";
    }
    return text + "blocked=" + blocked + "\nignored=" + ignored + "\nEND-REPORT\n";
}

} // namespace

int main(int argc, char **argv)
{
    const auto [inputFd, outputFd] = standin::channelsFrom(argc, argv);
    std::string text = report(argc, argv);
    if (pipe(signalPipe) != 0)
        return 4;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    standin::writeAll(outputFd, text);

    char buffer[65536];
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(inputFd, &readable);
        FD_SET(signalPipe[0], &readable);
        if (select(std::max(inputFd, signalPipe[0]) + 1, &readable, nullptr, nullptr, nullptr) < 0)
            continue;
        unsigned char signo = 0;
        if (FD_ISSET(signalPipe[0], &readable) && read(signalPipe[0], &signo, 1) == 1) {
            standin::writeAll(outputFd, signo == SIGINT ? "<SIGINT>\n" : "<SIGTERM>\n");
            if (signo == SIGTERM)
                return 0;
        }
        if (FD_ISSET(inputFd, &readable)) {
            ssize_t got = read(inputFd, buffer, sizeof buffer);
            if (got == 0 || (got < 0 && errno != EINTR))
                return 0;
            if (got > 0)
                standin::writeAll(outputFd, {buffer, static_cast<size_t>(got)});
        }
    }
}
