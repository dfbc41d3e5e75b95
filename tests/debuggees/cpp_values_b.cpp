// A C++ program to debug: a standard library container in main's frame. Nothing calls the
// vector's operator[], so no code of it is in the program for an expression to call.
#include <cstdio>
#include <vector>

int main()
{
    std::vector<int> numbers{10, 20, 30};
    int sum = 0;
    for (int number : numbers)
        sum += number;
    std::printf("sum %d\n", sum);
    return 0;
}
