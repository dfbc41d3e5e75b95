// The platform layer's pieces on their own: the environment block from set_env payloads, path
// operations and the system root, property lists, and what a toolchain tool's run comes to.

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <plist/plist.h>
#include <unistd.h>

#include "environment/environment_block.h"
#include "platform/paths.h"
#include "platform/property_list.h"
#include "platform/system_root.h"
#include "support/files.h"
#include "toolchain/tool_run_outcome.h"

namespace {

using Lines = std::vector<std::string>;

Lines entries(EnvironBlock block)
{
    Lines result;
    for (size_t i = 0; block != nullptr && block[i] != nullptr; ++i)
        result.emplace_back(block[i]);
    return result;
}

} // namespace

TEST(EnvironmentBlock, PayloadGivesItsStringsInOrderUpToTheFirstEmptyOneOrTheEndOfTheData)
{
    const std::vector<std::pair<std::string, Lines>> cases = {
        {std::string("A=1\0B=22\0A=2\0NOEQUALS\0\0", 23), {"A=1", "B=22", "A=2", "NOEQUALS"}},
        {std::string("A=1\0B=2", 7), {"A=1", "B=2"}},
        {std::string("A=1\0\0JUNK=1\0\0", 13), {"A=1"}},
        {std::string("\0A=1\0\0", 6), {}},
        {std::string(), {}},
    };
    for (const auto &[payload, expected] : cases) {
        // Exactly the payload's size, so nothing past its end is readable by accident.
        std::vector<char> exact(payload.begin(), payload.end());
        replaceEnvironment(exact.data(), exact.size());
        ASSERT_NE(childEnvironment, nullptr) << "an empty payload gave no block instead of an empty one";
        EXPECT_EQ(entries(childEnvironment), expected);
    }
    freeSetEnvironment();
    EXPECT_EQ(childEnvironment, nullptr);
}

TEST(Paths, ParentJoinAndExistenceFollowTheirRules)
{
    const std::vector<std::pair<std::string, std::string>> parents = {
        {"/usr/bin/lldb", "/usr/bin"},
        {"/usr", "/"},
        {"/usr/bin//", "/usr"},
        {"/usr//bin", "/usr"},
        {"//", "/"},
        {"a/b/", "a"},
        {"a", ""},
        {"", ""},
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
    setSystemRoot("/");
}

TEST(PropertyList, StringValuesOfTheTopDictionaryAreReadAndEverythingElseIsAbsent)
{
    TempDir directory;
    auto write = [&](const std::string &name, const std::string &contents) {
        writeFile(directory.path() + "/" + name, contents);
        return directory.path() + "/" + name;
    };
    std::string xml = write("xml.plist", "<?xml version=\"1.0\"?>\n<plist version=\"1.0\"><dict>"
                                         "<key>Version</key><string> 12.5</string><key>Empty</key><string></string>"
                                         "<key>Number</key><integer>10</integer>"
                                         "<key>Nested</key><dict><key>Version</key><string>9</string></dict>"
                                         "</dict></plist>\n");
    plist_t dictionary = plist_new_dict();
    plist_dict_set_item(dictionary, "Version", plist_new_string("9.4"));
    char *bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(dictionary, &bytes, &length);
    std::string binary = write("binary.plist", std::string(bytes, length));
    plist_to_bin_free(bytes);
    plist_free(dictionary);

    const std::vector<std::tuple<std::string, std::string, std::optional<std::string>>> cases = {
        {xml, "Version", " 12.5"},
        {xml, "Empty", ""},
        {xml, "Number", std::nullopt},
        {xml, "Nested", std::nullopt},
        {xml, "Missing", std::nullopt},
        {binary, "Version", "9.4"},
        {write("array.plist", "<plist><array><string>Version</string></array></plist>"), "Version", std::nullopt},
        {write("garbage.plist", "Version = 10;\n\x01\x02\xff"), "Version", std::nullopt},
        {write("truncated.plist", "bplist00\xd1\x01\x02"), "Version", std::nullopt},
        {directory.path(), "Version", std::nullopt},
        {directory.path() + "/missing.plist", "Version", std::nullopt},
    };
    for (const auto &[path, key, expected] : cases)
        EXPECT_EQ(readPropertyListString(path, key), expected) << path << " " << key;
}

TEST(ToolRun, AnswerIsAPathWithOneFinalNewlineRemovedOrMissingOrAFailedRun)
{
    TempDir directory;
    int tools = 0;
    auto script = [&](const std::string &body, mode_t mode = 0755) {
        std::string path = directory.path() + "/tool-" + std::to_string(++tools);
        writeFile(path, "#!/bin/sh\n" + body + "\n", mode);
        return path;
    };
    const std::string existing = directory.path() + "/Existing Directory";
    const std::string utf8 = directory.path() + "/caf\xc3\xa9 \xf0\x9f\x90\x9b";
    const std::string latin1 = directory.path() + "/caf\xe9";
    for (const std::string &path : {existing, utf8, latin1})
        std::filesystem::create_directory(path);
    const std::vector<std::tuple<std::string, int, ToolRunOutcome>> cases = {
        {existing + "\n", 0, ToolRunOutcome::found(existing)},
        {existing, 0, ToolRunOutcome::found(existing)},
        {utf8 + "\n", 0, ToolRunOutcome::found(utf8)},
        {existing + "\n\n", 0, ToolRunOutcome::missing()},
        {existing + "\r\n", 0, ToolRunOutcome::missing()},
        {latin1 + "\n", 0, ToolRunOutcome::missing()},
        {existing + "\xc0\xaf\n", 0, ToolRunOutcome::missing()},
        {directory.path() + "/nothing\n", 0, ToolRunOutcome::missing()},
        {existing + "\n", 1, ToolRunOutcome::failed()},
        // Larger than a pipe holds: read while the tool runs, or the run would never end.
        {std::string(1 << 20, 'x'), 0, ToolRunOutcome::missing()},
        {"", 0, ToolRunOutcome::failed()},
    };
    for (const auto &[answer, status, outcome] : cases) {
        writeFile(directory.path() + "/answer", answer);
        std::string tool = script("cat '" + directory.path() + "/answer'\nexit " + std::to_string(status));
        EXPECT_TRUE(runToolForPath(tool, {}) == outcome) << answer << " with status " << status;
    }
    for (const std::string &tool : {script("echo '" + existing + "'", 0644), directory.path() + "/missing"})
        EXPECT_TRUE(runToolForPath(tool, {}) == ToolRunOutcome::failed()) << tool;
    EXPECT_TRUE(runToolForPath(script("printf '%s\\n' \"$1\""), {existing}) == ToolRunOutcome::found(existing));
}
