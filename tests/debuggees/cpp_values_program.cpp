// A C++ program to debug: library containers as their printers show them, and a class whose base
// is a template, whose name holds spaces.
#include <cstdio>
#include <map>
#include <string>
#include <vector>

template <typename First, typename Second> struct Both {
    First first{};
    Second second{};
};

struct Labelled : Both<int, long> {
    int label = 7;
};

// Enough elements that an editor pages through them.
int many[20000];

int main()
{
    for (int i = 0; i < 20000; ++i)
        many[i] = 3 * i;
    std::vector<int> numbers{10, 20, 30};
    std::map<std::string, int> ages{{"ann", 31}, {"bob", 42}};
    std::string greeting = "hello, world";
    Labelled labelled;
    labelled.first = 1;
    labelled.second = 2;
    std::printf("%zu %zu %s %d %d\n", numbers.size(), ages.size(), greeting.c_str(), labelled.label, many[7]);
    return 0;
}
