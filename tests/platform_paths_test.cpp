// Path operations, existence, and the system root every fixed toolchain path is resolved under.

#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>

#include "platform/paths.h"
#include "platform/system_root.h"
#include "support/files.h"

TEST(Paths, ParentJoinAndExistenceFollowTheirRules)
{
    const std::vector<std::pair<std::string, std::string>> parents = {
        {"/usr/bin/lldb", "/usr/bin"}, {"/usr", "/"}, {"/usr/bin//", "/usr"}, {"/usr//bin", "/usr"},
        {"//", "/"},                   {"a/b/", "a"}, {"a", ""},              {"", ""},
    };
    for (const auto &[path, parent] : parents)
        EXPECT_EQ(parentPath(path), parent) << path;
    const std::vector<std::tuple<std::string, std::string, std::string>> joins = {
        {"/a", "b", "/a/b"}, {"/a//", "/b", "/a/b"}, {"/a", "b/c/", "/a/b/c"}, {"", "/b", "/b"}, {"/", "", "/"},
    };
    for (const auto &[left, right, joined] : joins)
        EXPECT_EQ(joinPath(left, right), joined) << left << " + " << right;
    TempDir directory;
    ASSERT_EQ(symlink("nothing", (directory.path() + "/dangling").c_str()), 0);
    EXPECT_TRUE(pathExists(directory.path() + "/"));
    EXPECT_FALSE(pathExists(directory.path() + "/dangling"));
    EXPECT_FALSE(pathExists(""));
    EXPECT_FALSE(pathExists(directory.path() + std::string(1, '\0') + "suffix"));
}

TEST(Paths, SystemRootComesFromTheEnvironmentAndPrefixesWithOneSlash)
{
    for (const auto &[root, rooted] : std::vector<std::pair<const char *, std::string>>{
             {"/srv/root//", "/srv/root/usr/bin/xcrun"}, {"", "/usr/bin/xcrun"}, {nullptr, "/usr/bin/xcrun"}}) {
        if (root != nullptr)
            setenv("TORVEX_DEBUGGER_ROOT", root, 1);
        else
            unsetenv("TORVEX_DEBUGGER_ROOT");
        initSystemRoot();
        EXPECT_EQ(rootedPath("/usr/bin/xcrun"), rooted) << (root ? root : "unset");
    }
    TempDir directory;
    ASSERT_EQ(chdir(directory.path().c_str()), 0);
    setSystemRoot("layout");
    ASSERT_EQ(chdir("/"), 0);
    EXPECT_EQ(rootedPath("/usr/bin/xcrun"), directory.path() + "/layout/usr/bin/xcrun");
    setSystemRoot("/");
}
