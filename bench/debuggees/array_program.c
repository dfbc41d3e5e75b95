/* A debuggee for paging benchmarks: an array an editor reads a page at a time. */
#include <stdio.h>

int many[20000];

int main(void)
{
    for (int i = 0; i < 20000; i++)
        many[i] = 3 * i;
    printf("%d\n", many[7]); /* line 10: the benchmark's breakpoint */
    return 0;
}
