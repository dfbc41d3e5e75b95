// Stand-in back end driven by command lines on its input:
//   flood N    write N bytes of a counting pattern ('a' + offset % 26)
//   stderr N   write N bytes to standard error, then "stderr done\n"
//   exit N     write "bye\n", then exit with status N

#include <algorithm>
#include <cerrno>
#include <cstdlib>
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

} // namespace

int main(int argc, char **argv)
{
    const auto [inputFd, outputFd] = standin::channelsFrom(argc, argv);
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
