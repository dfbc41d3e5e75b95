/* A debuggee that asks for a line on its terminal, answers, then spins until interrupted. */
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static volatile unsigned long spins;

int main(void)
{
    char name[128];
    printf("name? ");
    fflush(stdout);
    if (fgets(name, sizeof name, stdin) == NULL)
        return 1;
    name[strcspn(name, "\n")] = '\0';
    printf("hello %s, on %s\n", name, isatty(STDIN_FILENO) ? "a terminal" : "no terminal");
    for (;;)
        spins++;
}
