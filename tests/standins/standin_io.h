// What every stand-in back end shares: where its input and output are, and writing a whole
// buffer. Header-only, so a stand-in stays one small program with nothing else open.

#pragma once

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <unistd.h>

namespace standin {

inline bool isNumber(const char *text)
{
    return *text != '\0' && strspn(text, "0123456789") == strlen(text);
}

struct Channels {
    int input = STDIN_FILENO;
    int output = STDOUT_FILENO;
};

// The LLDB back ends are handed their input and output as the last two arguments; GDB works on
// its standard streams.
inline Channels channelsFrom(int argc, char **argv)
{
    if (argc >= 3 && isNumber(argv[argc - 2]) && isNumber(argv[argc - 1]))
        return {atoi(argv[argc - 2]), atoi(argv[argc - 1])};
    return {};
}

// A stand-in whose output is gone has nothing left to do: it exits with status 3.
inline void writeAll(int fd, std::string_view bytes)
{
    while (!bytes.empty()) {
        ssize_t n = write(fd, bytes.data(), bytes.size());
        if (n <= 0 && errno != EINTR)
            _exit(3);
        bytes.remove_prefix(static_cast<size_t>(n > 0 ? n : 0));
    }
}

// The byte at offset of the stream a test sends to be checked: any piece lost, repeated or
// moved shows.
inline unsigned char patternByte(unsigned long long offset)
{
    return static_cast<unsigned char>(((offset * 0x9E3779B97F4A7C15ull) >> 56) ^ (offset >> 20));
}

} // namespace standin
