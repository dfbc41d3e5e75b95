// Baseline: an idle C++ process with one blocked thread. Says "ready" once both threads are
// blocked, and ends when its standard input does.

#include <thread>
#include <unistd.h>

int main()
{
    std::thread waiter([] {
        char byte;
        while (read(STDIN_FILENO, &byte, 1) > 0) {
        }
    });
    ssize_t ignored = write(STDOUT_FILENO, "ready\n", 6);
    (void)ignored;
    waiter.join();
    return 0;
}
