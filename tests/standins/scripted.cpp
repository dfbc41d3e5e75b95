// Stand-in back end driven by command lines on its input (standard input, or the next-to-last
// argument when the last two are descriptor numbers); writes on standard output or the last.
//   flood N       write N bytes of a counting pattern
//   binary        write every byte value 0..255 once
//   stderr N      write N bytes to standard error
//   exit N        exit with status N right after writing "bye\n"
//   deaf          stop reading input forever
//   spawn         start a grandchild that sleeps, and write "grandchild PID\n"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>

#include "tests/standins/standin_io.h"

namespace {

using standin::writeAll;

void floodPattern(int fd, size_t count)
{
    static char block[65536];
    for (size_t i = 0; i < sizeof block; ++i)
        block[i] = static_cast<char>('a' + i % 26);
    size_t offset = 0;
    while (count > 0) {
        size_t chunk = count < sizeof block - offset % 26 ? count : sizeof block - 26;
        writeAll(fd, {block + offset % 26, chunk});
        offset += chunk;
        count -= chunk;
    }
}

} // namespace

int main(int argc, char **argv)
{
    const auto [inputFd, outputFd] = standin::channelsFrom(argc, argv);
    writeAll(outputFd, "scripted ready\n");
    std::string pending;
    char buffer[4096];
    for (;;) {
        size_t newline;
        while ((newline = pending.find('\n')) != std::string::npos) {
            std::string line = pending.substr(0, newline);
            pending.erase(0, newline + 1);
            size_t space = line.find(' ');
            std::string verb = line.substr(0, space);
            long argument = space == std::string::npos ? 0 : atol(line.c_str() + space + 1);
            if (verb == "flood") {
                floodPattern(outputFd, static_cast<size_t>(argument));
            } else if (verb == "binary") {
                char all[256];
                for (int i = 0; i < 256; ++i)
                    all[i] = static_cast<char>(i);
                writeAll(outputFd, {all, sizeof all});
            } else if (verb == "stderr") {
                floodPattern(STDERR_FILENO, static_cast<size_t>(argument));
                writeAll(outputFd, "stderr done\n");
            } else if (verb == "exit") {
                writeAll(outputFd, "bye\n");
                _exit(static_cast<int>(argument));
            } else if (verb == "deaf") {
                writeAll(outputFd, "deaf\n");
                for (;;)
                    pause();
            } else if (verb == "spawn") {
                pid_t child = fork();
                if (child == 0) {
                    for (;;)
                        pause();
                }
                std::string text = "grandchild " + std::to_string(child) + "\n";
                writeAll(outputFd, text);
            }
        }
        ssize_t got = read(inputFd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return 0;
        pending.append(buffer, static_cast<size_t>(got));
    }
}
