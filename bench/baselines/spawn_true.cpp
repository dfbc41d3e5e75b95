// Baseline: how long a posix_spawn call of /bin/true takes to return, and how long until its
// exit is reaped. Makes the call a number of times (the first argument, 21 by default), each
// after sleeping the second argument's microseconds (0 by default: back to back), and prints,
// in nanoseconds: the first call's two times, then the medians of the two.

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <spawn.h>
#include <sys/wait.h>
#include <vector>

extern char **environ;

namespace {

long long nowNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

long long median(std::vector<long long> values)
{
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    const int calls = argc > 1 ? std::max(1, atoi(argv[1])) : 21;
    const long idleMicroseconds = argc > 2 ? std::max(0L, atol(argv[2])) : 0;
    char program[] = "/bin/true";
    char *arguments[] = {program, nullptr};
    std::vector<long long> returned;
    std::vector<long long> reaped;
    for (int call = 0; call < calls; ++call) {
        if (idleMicroseconds > 0) {
            timespec idle{idleMicroseconds / 1000000, idleMicroseconds % 1000000 * 1000};
            while (nanosleep(&idle, &idle) != 0 && errno == EINTR) {
            }
        }
        pid_t pid;
        long long start = nowNanoseconds();
        if (posix_spawn(&pid, program, nullptr, nullptr, arguments, environ) != 0)
            return 1;
        returned.push_back(nowNanoseconds() - start);
        int status;
        waitpid(pid, &status, 0);
        reaped.push_back(nowNanoseconds() - start);
    }
    printf("%lld %lld %lld %lld\n", returned[0], reaped[0], median(returned), median(reaped));
    return 0;
}
