/* A debuggee for stepping benchmarks: a long loop of plain lines, each one step. */
#include <stdio.h>

static volatile long total;

int main(void)
{
    for (long i = 0; i < 100000000; i++) {
        long square = i * i;
        total += square;
        total -= i;
        total ^= square; /* line 12: the benchmark's breakpoint */
    }
    printf("%ld\n", total);
    return 0;
}
