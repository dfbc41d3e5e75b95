// Stand-in back end for the round-trip benchmark: writes back whatever it reads, as it reads it.

#include <cerrno>
#include <unistd.h>

int main()
{
    static char buffer[65536];
    for (;;) {
        ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return 0;
        for (ssize_t done = 0; done < got;) {
            ssize_t n = write(STDOUT_FILENO, buffer + done, static_cast<size_t>(got - done));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return 3;
            done += n;
        }
    }
}
