// Stand-in back end for the round-trip benchmark: writes back whatever it reads, as it reads it.

#include <cerrno>
#include <unistd.h>

#include "tests/standins/standin_io.h"

int main()
{
    static char buffer[65536];
    for (;;) {
        ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return 0;
        standin::writeAll(STDOUT_FILENO, {buffer, static_cast<size_t>(got)});
    }
}
