/* A debuggee for the console's side-by-side tests: a scope to watch, a question on its
 * terminal ("ask"), its terminal's size ("size"), a busy loop ("spin"). */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static volatile unsigned long spins;

int square(int x)
{
    int y = x * x;
    return y;
}

int sum(int n)
{
    int total = 0;
    for (int i = 0; i < n; i++)
        total += square(i);
    return total;
}

int main(int argc, char **argv)
{
    const char *mode = argc > 1 ? argv[1] : "";
    if (strcmp(mode, "ask") == 0) {
        char name[64];
        printf("name? ");
        fflush(stdout);
        if (fgets(name, sizeof name, stdin) == NULL)
            return 1;
        name[strcspn(name, "\n")] = '\0';
        printf("hello %s\n", name);
    } else if (strcmp(mode, "size") == 0) {
        fflush(stdout);
        return system("stty size") == 0 ? 0 : 1;
    } else if (strcmp(mode, "spin") == 0) {
        printf("spinning\n");
        fflush(stdout);
        for (;;)
            spins++;
    }
    printf("sum %d\n", sum(3));
    return 0;
}
