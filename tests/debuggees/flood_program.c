/* Writes argv[1] lines of UTF-8 text in writes that split its characters; with "segv" after
 * that, dies by SIGSEGV. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char **argv)
{
    static char buffer[1001]; /* an odd size: most writes end inside a character */
    setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    const int lines = argc > 1 ? atoi(argv[1]) : 0;
    for (int i = 0; i < lines; i++)
        fputs("h\xC3\xA9llo w\xC3\xB6rld \xE2\x9C\x93\n", stdout);
    fflush(stdout);
    if (argc > 2 && strcmp(argv[2], "segv") == 0) {
        volatile int *volatile nowhere = NULL;
        *nowhere = 1;
    }
    return 0;
}
