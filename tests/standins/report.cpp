// Stand-in back end: reports what it was started with, then mirrors its input to its output
// byte for byte, noting the SIGINT and SIGTERM it receives (SIGTERM also ends it).

#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <string>
#include <unistd.h>

#include "tests/standins/standin_io.h"

extern char **environ;

namespace {

int outputFd = STDOUT_FILENO;

void onSignal(int signo)
{
    const char *note = signo == SIGINT ? "<SIGINT>\n" : "<SIGTERM>\n";
    ssize_t ignored = write(outputFd, note, signo == SIGINT ? 9 : 10);
    (void)ignored;
    if (signo == SIGTERM)
        _exit(0);
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
        ssize_t length = readlink((std::string("/proc/self/fd/") + entry->d_name).c_str(), target, sizeof target);
        if (standin::isNumber(entry->d_name) && atoi(entry->d_name) != dirfd(fds) && length > 0)
            text += std::string("fd ") + entry->d_name + "=" + std::string(target, length) + "\n";
    }
    closedir(fds);
    sigset_t mask;
    sigprocmask(SIG_SETMASK, nullptr, &mask);
    std::string blocked, ignored;
    for (int signo = 1; signo < 32; ++signo) {
        struct sigaction action {};
        blocked += sigismember(&mask, signo) == 1 ? std::to_string(signo) + "," : "";
        sigaction(signo, nullptr, &action);
        ignored += action.sa_handler == SIG_IGN ? std::to_string(signo) + "," : "";
    }
    return text + "blocked=" + blocked + "\nignored=" + ignored + "\nEND-REPORT\n";
}

} // namespace

int main(int argc, char **argv)
{
    const auto [inputFd, output] = standin::channelsFrom(argc, argv);
    outputFd = output;
    std::string text = report(argc, argv);
    struct sigaction action {};
    action.sa_handler = onSignal;
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    standin::writeAll(outputFd, text);
    char buffer[65536];
    for (ssize_t got; (got = read(inputFd, buffer, sizeof buffer)) > 0;)
        standin::writeAll(outputFd, {buffer, static_cast<size_t>(got)});
    return 0;
}
