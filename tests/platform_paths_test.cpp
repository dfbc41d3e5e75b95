#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "platform/paths.h"
#include "platform/system_root.h"
#include "support/files.h"

namespace {

class SystemRootTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        unsetenv("TORVEX_DEBUGGER_ROOT");
        setSystemRoot("/");
    }
};

TEST_F(SystemRootTest, DefaultRootLeavesFixedPathsAsTheyAre)
{
    setSystemRoot("/");
    EXPECT_EQ(systemRoot(), "/");
    EXPECT_EQ(rootedPath("/usr/bin/xcode-select"), "/usr/bin/xcode-select");
    EXPECT_EQ(rootedPath("/Applications/Xcode.app/Contents/Developer"),
              "/Applications/Xcode.app/Contents/Developer");
}

TEST_F(SystemRootTest, OtherRootsPrefixWithExactlyOneSlash)
{
    setSystemRoot("/srv/root");
    EXPECT_EQ(rootedPath("/usr/bin/xcrun"), "/srv/root/usr/bin/xcrun");
    setSystemRoot("/srv/root/");
    EXPECT_EQ(rootedPath("/usr/bin/xcrun"), "/srv/root/usr/bin/xcrun");
    setSystemRoot("/srv/root//");
    EXPECT_EQ(rootedPath("/usr/bin/lldb"), "/srv/root/usr/bin/lldb");
    EXPECT_EQ(rootedPath("/"), "/srv/root");
}

TEST_F(SystemRootTest, EmptyRootMeansTheRealRoot)
{
    setSystemRoot("");
    EXPECT_EQ(rootedPath("/usr/bin/lldb"), "/usr/bin/lldb");
}

TEST_F(SystemRootTest, RelativeRootIsAnchoredAtTheCurrentDirectory)
{
    TempDir directory;
    std::string previous = std::filesystem::current_path();
    ASSERT_EQ(chdir(directory.path().c_str()), 0);
    setSystemRoot("layout");
    ASSERT_EQ(chdir(previous.c_str()), 0);
    EXPECT_EQ(rootedPath("/usr/bin/xcrun"), directory.path() + "/layout/usr/bin/xcrun");
}

TEST_F(SystemRootTest, InitReadsTheEnvironmentVariable)
{
    setenv("TORVEX_DEBUGGER_ROOT", "/opt/layout", 1);
    initSystemRoot();
    EXPECT_EQ(rootedPath("/usr/bin/xcode-select"), "/opt/layout/usr/bin/xcode-select");

    unsetenv("TORVEX_DEBUGGER_ROOT");
    initSystemRoot();
    EXPECT_EQ(rootedPath("/usr/bin/xcode-select"), "/usr/bin/xcode-select");

    setenv("TORVEX_DEBUGGER_ROOT", "", 1);
    initSystemRoot();
    EXPECT_EQ(rootedPath("/usr/bin/xcode-select"), "/usr/bin/xcode-select");
}

TEST(ParentPathTest, DropsTheLastComponent)
{
    EXPECT_EQ(parentPath("/Applications/Xcode.app/Contents/Developer"), "/Applications/Xcode.app/Contents");
    EXPECT_EQ(parentPath("/usr/bin/lldb"), "/usr/bin");
    EXPECT_EQ(parentPath("/usr"), "/");
}

TEST(ParentPathTest, IgnoresTrailingAndRepeatedSlashes)
{
    EXPECT_EQ(parentPath("/usr/bin/"), "/usr");
    EXPECT_EQ(parentPath("/usr/bin//"), "/usr");
    EXPECT_EQ(parentPath("/usr//bin"), "/usr");
    EXPECT_EQ(parentPath("//usr"), "/");
}

TEST(ParentPathTest, ParentOfTheRootIsTheRoot)
{
    EXPECT_EQ(parentPath("/"), "/");
    EXPECT_EQ(parentPath("//"), "/");
    std::string path = "/usr/bin/lldb";
    for (int level = 0; level < 4; ++level)
        path = parentPath(path);
    EXPECT_EQ(path, "/");
}

TEST(ParentPathTest, RelativeAndEmptyPaths)
{
    EXPECT_EQ(parentPath("a/b"), "a");
    EXPECT_EQ(parentPath("a/b/"), "a");
    EXPECT_EQ(parentPath("a"), "");
    EXPECT_EQ(parentPath("a/"), "");
    EXPECT_EQ(parentPath(""), "");
}

TEST(JoinPathTest, UsesExactlyOneSlash)
{
    EXPECT_EQ(joinPath("/Applications/Xcode.app/Contents", "Info.plist"), "/Applications/Xcode.app/Contents/Info.plist");
    EXPECT_EQ(joinPath("/a/", "b"), "/a/b");
    EXPECT_EQ(joinPath("/a//", "/b"), "/a/b");
    EXPECT_EQ(joinPath("/a", "b/c/"), "/a/b/c");
    EXPECT_EQ(joinPath("/", "SharedFrameworks/LLDB.framework/Versions/A/Resources/Python"),
              "/SharedFrameworks/LLDB.framework/Versions/A/Resources/Python");
    EXPECT_EQ(joinPath("a", "b"), "a/b");
}

TEST(JoinPathTest, EmptySides)
{
    EXPECT_EQ(joinPath("", "b"), "b");
    EXPECT_EQ(joinPath("", "/b"), "/b");
    EXPECT_EQ(joinPath("/a", ""), "/a");
    EXPECT_EQ(joinPath("/a/", ""), "/a");
    EXPECT_EQ(joinPath("/", ""), "/");
    EXPECT_EQ(joinPath("", ""), "");
}

TEST(PathExistsTest, FilesDirectoriesAndLinks)
{
    TempDir directory;
    const std::string file = directory.path() + "/file";
    std::ofstream(file) << "x";
    const std::string goodLink = directory.path() + "/good-link";
    const std::string danglingLink = directory.path() + "/dangling-link";
    ASSERT_EQ(symlink(file.c_str(), goodLink.c_str()), 0);
    ASSERT_EQ(symlink((directory.path() + "/nothing").c_str(), danglingLink.c_str()), 0);

    EXPECT_TRUE(pathExists(directory.path()));
    EXPECT_TRUE(pathExists(directory.path() + "/"));
    EXPECT_TRUE(pathExists(file));
    EXPECT_TRUE(pathExists(goodLink));
    EXPECT_FALSE(pathExists(danglingLink));
    EXPECT_FALSE(pathExists(directory.path() + "/nothing"));
    EXPECT_FALSE(pathExists(""));
    EXPECT_FALSE(pathExists(file + std::string(1, '\0') + "suffix"));
    EXPECT_FALSE(pathExists(file + "\n"));
}

} // namespace
