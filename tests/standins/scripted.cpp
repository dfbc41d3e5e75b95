// Stand-in back end driven by command lines on its input:
//   flood N    write N bytes of a counting pattern ('a' + offset % 26)
//   stderr N   write N bytes to standard error, then "stderr done\n"
//   exit N     write "bye\n", then exit with status N
//   linger N   fork a child that keeps the output open for N seconds, writing only
//              "lingering PID\n" first
//   absorb N HOLD PAUSE
//              read nothing for HOLD ms, then the next N bytes of input, pausing PAUSE us after
//              each MiB; check them against the pattern and write "absorbed N mismatches M\n".
//              Meanwhile SIGINT writes "interrupted\n" instead of ending it, from when it has
//              written "absorbing\n".

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <csignal>
#include <ctime>
#include <string>
#include <unistd.h>

#include "tests/standins/standin_io.h"

namespace {

void flood(int fd, size_t count)
{
    static char block[65536 + 26];
    for (size_t i = 0; i < sizeof block; ++i)
        block[i] = static_cast<char>('a' + i % 26);
    for (size_t offset = 0; offset < count;) {
        size_t chunk = std::min<size_t>(count - offset, 65536);
        standin::writeAll(fd, {block + offset % 26, chunk});
        offset += chunk;
    }
}

int output = STDOUT_FILENO;

void sleepFor(long microseconds)
{
    timespec left{microseconds / 1000000, microseconds % 1000000 * 1000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

void absorb(int fd, std::string &pending, const char *arguments)
{
    char *end = nullptr;
    const unsigned long long count = strtoull(arguments, &end, 10);
    const long hold = strtol(end, &end, 10);
    const long pause = strtol(end, &end, 10);
    signal(SIGINT, [](int) { standin::writeAll(output, "interrupted\n"); });
    standin::writeAll(output, "absorbing\n");
    sleepFor(hold * 1000);
    unsigned long long offset = 0;
    unsigned long long mismatches = 0;
    char buffer[65536];
    while (offset < count) {
        size_t got = std::min<size_t>(pending.size(), count - offset);
        const char *bytes = pending.data();
        if (got == 0) {
            ssize_t received = read(fd, buffer, std::min<unsigned long long>(sizeof buffer, count - offset));
            if (received < 0 && errno == EINTR)
                continue;
            if (received <= 0)
                break;
            got = static_cast<size_t>(received);
            bytes = buffer;
        }
        for (size_t i = 0; i < got; ++i)
            mismatches += static_cast<unsigned char>(bytes[i]) != standin::patternByte(offset + i);
        if (bytes == pending.data())
            pending.erase(0, got);
        if ((offset + got) >> 20 != offset >> 20)
            sleepFor(pause);
        offset += got;
    }
    signal(SIGINT, SIG_DFL);
    standin::writeAll(output,
                      "absorbed " + std::to_string(offset) + " mismatches " + std::to_string(mismatches) + "\n");
}

} // namespace

int main(int argc, char **argv)
{
    const auto [inputFd, outputFd] = standin::channelsFrom(argc, argv);
    output = outputFd;
    standin::writeAll(outputFd, "scripted ready\n");
    std::string pending;
    char buffer[4096];
    for (;;) {
        for (size_t newline; (newline = pending.find('\n')) != std::string::npos;) {
            std::string line = pending.substr(0, newline);
            pending.erase(0, newline + 1);
            std::string verb = line.substr(0, line.find(' '));
            size_t argument = line.size() > verb.size() ? strtoul(line.c_str() + verb.size(), nullptr, 10) : 0;
            if (verb == "flood") {
                flood(outputFd, argument);
            } else if (verb == "stderr") {
                flood(STDERR_FILENO, argument);
                standin::writeAll(outputFd, "stderr done\n");
            } else if (verb == "absorb") {
                absorb(inputFd, pending, line.c_str() + verb.size());
            } else if (verb == "linger") {
                if (fork() == 0) {
                    standin::writeAll(outputFd, "lingering " + std::to_string(getpid()) + "\n");
                    sleep(static_cast<unsigned>(argument));
                    _exit(0);
                }
            } else if (verb == "exit") {
                standin::writeAll(outputFd, "bye\n");
                _exit(static_cast<int>(argument));
            }
        }
        ssize_t got = read(inputFd, buffer, sizeof buffer);
        if (got == 0 || (got < 0 && errno != EINTR))
            return 0;
        if (got > 0)
            pending.append(buffer, static_cast<size_t>(got));
    }
}
