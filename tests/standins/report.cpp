// Stand-in back end: reports what it was started with, then mirrors its input to its output
// byte for byte, noting the signals it receives. Input and output are the last two arguments
// when they are descriptor numbers (LLDB back ends), else standard input and output (GDB).

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <string>
#include <unistd.h>

#include "tests/standins/standin_io.h"

extern char **environ;

namespace {

using standin::isNumber;
using standin::writeAll;

int signalPipe[2];

void onSignal(int signo)
{
    int saved = errno;
    unsigned char byte = static_cast<unsigned char>(signo);
    ssize_t ignored = write(signalPipe[1], &byte, 1);
    (void)ignored;
    errno = saved;
}

std::string describeFd(int fd)
{
    char link[64];
    char target[512];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t length = readlink(link, target, sizeof target - 1);
    if (length < 0)
        return "closed";
    target[length] = '\0';
    return target;
}

std::string report(int argc, char **argv, int inputFd, int outputFd)
{
    std::string text = "pid=" + std::to_string(getpid()) + "\n";
    for (int i = 0; i < argc; ++i)
        text += "argv[" + std::to_string(i) + "]=" + argv[i] + "\n";
    for (char **entry = environ; *entry != nullptr; ++entry)
        text += std::string("env=") + *entry + "\n";
    text += "environ=" + std::string(environ == nullptr ? "null" : "present") + "\n";
    text += "input=" + std::to_string(inputFd) + " output=" + std::to_string(outputFd) + "\n";
    DIR *fds = opendir("/proc/self/fd");
    int listing = dirfd(fds);
    for (dirent *entry = readdir(fds); entry != nullptr; entry = readdir(fds)) {
        if (!isNumber(entry->d_name) || atoi(entry->d_name) == listing)
            continue;
        int fd = atoi(entry->d_name);
        text += "fd " + std::to_string(fd) + "=" + describeFd(fd) + "\n";
    }
    closedir(fds);
    sigset_t mask;
    sigprocmask(SIG_SETMASK, nullptr, &mask);
    text += "blocked=";
    for (int signo = 1; signo < 32; ++signo) {
        if (sigismember(&mask, signo) == 1)
            text += std::to_string(signo) + ",";
    }
    text += "\nignored=";
    for (int signo = 1; signo < 32; ++signo) {
        struct sigaction action {};
        if (sigaction(signo, nullptr, &action) == 0 && action.sa_handler == SIG_IGN)
            text += std::to_string(signo) + ",";
    }
    text += "\nEND-REPORT\n";
    return text;
}

} // namespace

int main(int argc, char **argv)
{
    const auto [inputFd, outputFd] = standin::channelsFrom(argc, argv);
    std::string text = report(argc, argv, inputFd, outputFd);

    if (pipe(signalPipe) != 0)
        return 4;
    struct sigaction action {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    writeAll(outputFd, text);

    char buffer[65536];
    for (;;) {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(inputFd, &readable);
        FD_SET(signalPipe[0], &readable);
        int highest = inputFd > signalPipe[0] ? inputFd : signalPipe[0];
        if (select(highest + 1, &readable, nullptr, nullptr, nullptr) < 0) {
            if (errno == EINTR)
                continue;
            return 5;
        }
        if (FD_ISSET(signalPipe[0], &readable)) {
            unsigned char signo = 0;
            if (read(signalPipe[0], &signo, 1) == 1) {
                writeAll(outputFd, signo == SIGINT ? "<SIGINT>\n" : "<SIGTERM>\n");
                if (signo == SIGTERM)
                    return 0;
            }
        }
        if (FD_ISSET(inputFd, &readable)) {
            ssize_t got = read(inputFd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return 0;
            writeAll(outputFd, {buffer, static_cast<size_t>(got)});
        }
    }
}
