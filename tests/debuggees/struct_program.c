/* A debuggee with a nested struct, for tests that expand variables. */
#include <stdio.h>

struct point {
    int x;
    int y;
};

struct shape {
    int id;
    struct point origin;
    int sides[3];
};

int perimeter(const struct shape *shape)
{
    int sum = 0;
    for (int i = 0; i < 3; i++)
        sum += shape->sides[i];
    return sum + shape->origin.x + shape->origin.y;
}

int main(void)
{
    struct shape triangle = {42, {3, 4}, {5, 6, 7}};
    printf("perimeter %d\n", perimeter(&triangle));
    return 0;
}
