/* A debuggee for the console's output measure: COUNT lines, one every INTERVAL microseconds,
 * each holding the CLOCK_MONOTONIC moment of its write in nanoseconds. */
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    long count = argc > 1 ? atol(argv[1]) : 100;
    long interval = argc > 2 ? atol(argv[2]) : 2000;
    char line[64];
    for (long i = 0; i < count; i++) {
        struct timespec pause = {interval / 1000000, interval % 1000000 * 1000};
        nanosleep(&pause, NULL);
        struct timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        int length = snprintf(line, sizeof line, "tick %lld\n", (long long)now.tv_sec * 1000000000LL + now.tv_nsec);
        if (write(STDOUT_FILENO, line, (size_t)length) != length)
            return 1;
    }
    return 0;
}
