// Stand-in back end that announces itself, closes its output (so the service's relay reaches
// end of file) and lives on, reading its input until end of file or a signal ends it. Input and
// output are the last two arguments when they are descriptor numbers, else standard streams.

#include <cerrno>
#include <string>
#include <unistd.h>

#include "tests/standins/standin_io.h"

int main(int argc, char **argv)
{
    const auto [inputFd, outputFd] = standin::channelsFrom(argc, argv);
    std::string text = "closing output " + std::to_string(getpid()) + "\n";
    standin::writeAll(outputFd, text);
    close(outputFd);

    char buffer[4096];
    for (;;) {
        ssize_t got = read(inputFd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return 0;
    }
}
