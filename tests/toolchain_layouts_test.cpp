#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <stdlib.h>
#include <unistd.h>

#include "diagnostics/debug_message.h"
#include "platform/paths.h"
#include "platform/system_root.h"
#include "platform/tool_run.h"
#include "support/files.h"
#include "toolchain/toolchain.h"

namespace {

const std::string systemLldb = "/usr/bin/lldb-16";
const std::string entryPrefix = "[TORVEX_DEBUGGER(XPC)] ";

std::string layoutRoot(const std::string &name)
{
    std::error_code error;
    std::filesystem::path root = std::filesystem::canonical(LD_BIN_DIR "/../toolchains/" + name, error);
    return error ? std::string() : root.string();
}

// The major version the system's LLDB reports, as the "lldb" layout should carry it.
std::optional<int32_t> systemLldbMajorVersion()
{
    ToolRunResult run = runTool(systemLldb, {"--version"});
    std::smatch match;
    if (!run.exitedWithStatus(0) || !std::regex_search(run.output, match, std::regex("version ([0-9]+)\\.")))
        return std::nullopt;
    return std::stoi(match[1]);
}

class LayoutTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (access(systemLldb.c_str(), X_OK) != 0)
            GTEST_SKIP() << systemLldb << " is not installed";
        captureDiagnosticsForTesting([this](const std::string &entry) { entries_.push_back(entry); });
        startMessageLogger();
        entries_.clear();
    }
    void TearDown() override
    {
        captureDiagnosticsForTesting({});
        setSystemRoot("/");
    }

    // A copy of the named layout somewhere else, links kept as links.
    std::string copyOf(const std::string &root)
    {
        std::string target = copy_.path() + "/moved root";
        std::filesystem::copy(root, target,
                              std::filesystem::copy_options::recursive | std::filesystem::copy_options::copy_symlinks);
        return target;
    }

    std::vector<std::string> entries_;
    TempDir copy_;
};

// What discovery answers with the "lldb" layout at root.
void expectHelperLayout(const std::string &root, const std::vector<std::string> &entries)
{
    const std::string developer = root + "/opt/toolchain/Developer";
    EXPECT_EQ(developerDirectoryPath(), developer);
    std::optional<int32_t> expectedMajor = systemLldbMajorVersion();
    ASSERT_TRUE(expectedMajor.has_value());
    EXPECT_EQ(toolchainMajorVersion(), expectedMajor);
    EXPECT_EQ(chooseLldbBackend(), DebuggerBackend::LldbHelper);

    std::optional<std::string> frameworks = sharedFrameworksPath();
    ASSERT_EQ(frameworks, root + "/opt/toolchain/SharedFrameworks");
    EXPECT_TRUE(std::filesystem::is_directory(*frameworks));
    EXPECT_TRUE(pathExists(joinPath(*frameworks, "liblldb.so")));

    EXPECT_EQ(findLldbPath(), systemLldb);
    EXPECT_TRUE(entries.size() == 1 && entries.back() == entryPrefix + "lldb tool found at " + systemLldb);
}

TEST_F(LayoutTest, LldbLayoutChoosesTheHelper)
{
    std::string root = layoutRoot("lldb");
    ASSERT_FALSE(root.empty()) << "no generated layout under " LD_BIN_DIR "/../toolchains";
    setSystemRoot(root);
    expectHelperLayout(root, entries_);
}

TEST_F(LayoutTest, LldbLayoutStillWorksWhenCopied)
{
    std::string original = layoutRoot("lldb");
    ASSERT_FALSE(original.empty());
    std::string root = copyOf(original);
    ASSERT_FALSE(root.empty());
    setSystemRoot(root);
    expectHelperLayout(root, entries_);
}

TEST_F(LayoutTest, PythonLayoutChoosesPythonAndFindsTheModule)
{
    std::string root = layoutRoot("lldb-python");
    ASSERT_FALSE(root.empty());
    setSystemRoot(root);

    EXPECT_EQ(developerDirectoryPath(), root + "/opt/toolchain/Developer");
    EXPECT_EQ(toolchainMajorVersion(), 9);
    EXPECT_EQ(chooseLldbBackend(), DebuggerBackend::LldbPython);

    std::optional<std::string> lldb = findLldbPath();
    EXPECT_EQ(lldb, systemLldb);
    std::optional<std::string> python = lldbPythonPath(lldb);
    ASSERT_TRUE(python.has_value());
    EXPECT_EQ(entries_, (std::vector<std::string>{entryPrefix + "lldb tool found at " + systemLldb,
                                                   entryPrefix + "LLDB Python Framework found at " + *python}));

    // The Python back end's interpreter, with nothing of this process's environment.
    ToolRunResult import = runTool("/usr/bin/env", {"-i", "PYTHONPATH=" + *python, rootedPath("/usr/bin/python"), "-c",
                                                    "import lldb; print(lldb.SBDebugger.__name__)"});
    EXPECT_TRUE(import.exitedWithStatus(0)) << import.output;
    EXPECT_EQ(import.output, "SBDebugger\n");
}

TEST_F(LayoutTest, ScriptsWorkWithAnEmptyEnvironment)
{
    for (const std::string name : {"lldb", "lldb-python"}) {
        std::string root = layoutRoot(name);
        ASSERT_FALSE(root.empty()) << name;
        ToolRunResult select = runTool("/usr/bin/env", {"-i", root + "/usr/bin/xcode-select", "-p"});
        EXPECT_TRUE(select.exitedWithStatus(0)) << name;
        EXPECT_EQ(select.output, root + "/opt/toolchain/Developer\n") << name;
        ToolRunResult find = runTool("/usr/bin/env", {"-i", root + "/usr/bin/xcrun", "-find", "lldb"});
        EXPECT_TRUE(find.exitedWithStatus(0)) << name;
        EXPECT_EQ(find.output, systemLldb + "\n") << name;
        // Anything else is refused rather than answered with a path.
        EXPECT_FALSE(runTool(root + "/usr/bin/xcrun", {"-find", "clang"}).exitedWithStatus(0)) << name;
        EXPECT_FALSE(runTool(root + "/usr/bin/xcode-select", {"--install"}).exitedWithStatus(0)) << name;
        EXPECT_TRUE(runTool(root + "/usr/bin/python", {"-c", "import sys; sys.exit(0 if sys.version_info[0] == 3 else 1)"})
                        .exitedWithStatus(0))
            << name;
    }
}

} // namespace
