// What the GDB launchers hand on to GDB of their arguments.

#include <gtest/gtest.h>

#include <filesystem>

#include "backends/gdb_arguments.h"
#include "tests/support/files.h"

namespace fs = std::filesystem;
using Lines = std::vector<std::string>;

namespace {

Lines kept(Lines arguments)
{
    std::vector<char *> pointers;
    for (std::string &argument : arguments)
        pointers.push_back(argument.data());
    int count = gdb_launcher::keptArguments(static_cast<int>(pointers.size()), pointers.data(), pointers.data());
    return Lines(pointers.begin(), pointers.begin() + count);
}

} // namespace

// "." is each case's working directory: one that holds GDB's Python package, or an empty one.
TEST(GdbLauncher, DataDirectoryWithoutGdbsPythonIsLeftOutInEveryFormGdbTakesAndAllElseKeptInOrder)
{
    TempDir data, empty;
    fs::create_directories(data.path() + "/python/gdb");
    writeFile(data.path() + "/python/gdb/__init__.py", "");
    const Lines service = {"--quiet", "--interpreter=mi2", "--nx", "-D", "."};
    const Lines spellings = {"--data-directory", ".", "-q", "--data-directory=.", "-data-dir=.", "--da", ".", "-D=."};
    const Lines others = {"-d", ".", "--directory=.", "-Dx", "-", "-ex", "show version", "-q", "-D"};
    const Lines ended = {"--nx", "--", "-D", ".", "--args", "-D", "."};
    const std::vector<std::tuple<const TempDir *, Lines, Lines>> cases = {
        {&empty, service, {"--quiet", "--interpreter=mi2", "--nx"}},
        {&data, service, service},
        {&empty, spellings, {"-q"}},
        {&data, spellings, spellings},
        {&empty, {"-D", "--nx", "-q"}, {"-q"}},
        {&empty, others, others},
        {&empty, ended, ended},
        {&empty, {"--args", "program", "-D", "."}, {"--args", "program", "-D", "."}},
    };
    const fs::path before = fs::current_path();
    for (const auto &[directory, arguments, expected] : cases) {
        fs::current_path(directory->path());
        EXPECT_EQ(kept(arguments), expected) << (directory == &data ? "in a data directory" : "in an empty one");
    }
    fs::current_path(before);
}
