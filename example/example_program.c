/* A small program to debug: sums squares through compute(), prints as it goes.
 * With the argument "spin" it loops forever, for interrupt tests. */
#include <stdio.h>
#include <string.h>

static volatile unsigned long spins;

int compute(int x)
{
    int square = x * x;
    return square + 1;
}

static void spin(void)
{
    for (;;)
        spins++;
}

int main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "spin") == 0)
        spin();
    int total = 0;
    for (int i = 1; i <= 3; i++) {
        total += compute(i);
        printf("step %d total %d\n", i, total);
        fflush(stdout);
    }
    printf("done %d\n", total);
    return 0;
}
