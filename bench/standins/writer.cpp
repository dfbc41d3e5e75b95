// Stand-in back end for the output benchmarks. Reads one command line from its input, writes
// what it asks for on its output, then exits:
//   flood N CHUNK   N bytes in writes of CHUNK bytes
//   bytes N         N writes of one byte
//   lines N         N writes of one 32-byte line
// Input and output are standard input and output, or the next-to-last and last arguments when
// those are descriptor numbers (the LLDB back ends' convention).

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "tests/standins/standin_io.h"

namespace {

using standin::writeAll;

std::string readLine(int fd)
{
    std::string line;
    char c;
    for (;;) {
        ssize_t n = read(fd, &c, 1);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0 || c == '\n')
            return line;
        line.push_back(c);
    }
}

} // namespace

int main(int argc, char **argv)
{
    const auto [inputFd, outputFd] = standin::channelsFrom(argc, argv);
    char verb[16] = {};
    unsigned long long count = 0;
    unsigned long long chunk = 65536;
    std::string line = readLine(inputFd);
    if (sscanf(line.c_str(), "%15s %llu %llu", verb, &count, &chunk) < 2)
        return 2;

    if (strcmp(verb, "flood") == 0) {
        std::vector<char> block(chunk);
        for (size_t i = 0; i < block.size(); ++i)
            block[i] = static_cast<char>('a' + i % 26);
        while (count > 0) {
            size_t n = count < chunk ? count : chunk;
            writeAll(outputFd, {block.data(), n});
            count -= n;
        }
    } else if (strcmp(verb, "bytes") == 0) {
        for (unsigned long long i = 0; i < count; ++i)
            writeAll(outputFd, "x");
    } else if (strcmp(verb, "lines") == 0) {
        static const char text[] = "~\"a line of back-end output...\"\n";
        static_assert(sizeof text - 1 == 32);
        for (unsigned long long i = 0; i < count; ++i)
            writeAll(outputFd, {text, sizeof text - 1});
    } else {
        return 2;
    }
    return 0;
}
