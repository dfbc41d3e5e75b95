// A C++ program to debug: a standard library value for GDB's pretty printers.
#include <vector>

int main()
{
    std::vector<int> v{1, 2, 3};
    return static_cast<int>(v.size()) - 3;
}
