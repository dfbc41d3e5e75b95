// Stand-in back end that announces itself, closes its output (so the service's relay reaches
// end of file) and lives on, reading its input until end of file or a signal ends it. Input and
// output are the last two arguments when they are descriptor numbers, else standard streams.

#include <cerrno>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

bool isNumber(const char *text)
{
    if (*text == '\0')
        return false;
    for (; *text != '\0'; ++text) {
        if (*text < '0' || *text > '9')
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    int inputFd = STDIN_FILENO;
    int outputFd = STDOUT_FILENO;
    if (argc >= 3 && isNumber(argv[argc - 2]) && isNumber(argv[argc - 1])) {
        inputFd = atoi(argv[argc - 2]);
        outputFd = atoi(argv[argc - 1]);
    }
    std::string text = "closing output " + std::to_string(getpid()) + "\n";
    if (write(outputFd, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
        return 3;
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
