// A C++ program that throws, for the adapter's exception tests: each round check() throws a
// std::out_of_range that main catches. The first argument is the number of rounds (default 1);
// a second argument "crash" then writes through a null pointer.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

static void check(int round)
{
    if (round >= 0)
        throw std::out_of_range("round " + std::to_string(round));
}

int main(int argc, char **argv)
{
    const int rounds = argc > 1 ? std::atoi(argv[1]) : 1;
    int caught = 0;
    for (int round = 0; round < rounds; round++) {
        try {
            check(round);
        } catch (const std::out_of_range &) {
            caught++;
        }
    }
    std::printf("caught %d\n", caught);
    if (argc > 2 && std::strcmp(argv[2], "crash") == 0) {
        volatile int *nowhere = nullptr;
        *nowhere = caught;
    }
    return 0;
}
