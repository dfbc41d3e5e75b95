#include "diagnostics/child_line.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

size_t formatDecimal(char *out, long value)
{
    char reversed[24];
    size_t n = 0;
    unsigned long magnitude = value < 0 ? 0UL - static_cast<unsigned long>(value) : static_cast<unsigned long>(value);
    do {
        reversed[n++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    size_t len = 0;
    if (value < 0)
        out[len++] = '-';
    while (n > 0)
        out[len++] = reversed[--n];
    return len;
}

void writeChildLine(const ChildLine &line)
{
    if (!line.prepared || line.fd < 0)
        return;
    char buffer[4096];
    size_t used = 0;
    auto append = [&](const char *bytes, size_t count) {
        if (count > sizeof buffer - used)
            count = sizeof buffer - used;
        memcpy(buffer + used, bytes, count);
        used += count;
    };
    char pidText[24];
    size_t pidLength = formatDecimal(pidText, static_cast<long>(getpid()));
    append(line.head.data(), line.head.size());
    if (line.pidCount >= 1)
        append(pidText, pidLength);
    if (line.pidCount >= 2) {
        append(line.middle.data(), line.middle.size());
        append(pidText, pidLength);
    }
    append(line.tail.data(), line.tail.size());
    // One write keeps the line whole; a datagram socket takes it as one record.
    ssize_t written;
    do {
        written = write(line.fd, buffer, used);
    } while (written < 0 && errno == EINTR);
}
