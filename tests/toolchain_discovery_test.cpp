// Toolchain discovery under a temporary system root with stand-in tools: the developer
// directory, the version and the back end it calls for, LLDB and LLDB's Python directory.

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <filesystem>

#include "diagnostics/debug_message.h"
#include "platform/system_root.h"
#include "support/files.h"
#include "toolchain/toolchain.h"

namespace {

namespace fs = std::filesystem;
const std::string defaultDeveloper = "/Applications/Xcode.app/Contents/Developer";
const std::string pythonSuffix = "/SharedFrameworks/LLDB.framework/Versions/A/Resources/Python";

class Discovery : public ::testing::Test {
protected:
    void SetUp() override
    {
        setSystemRoot(root_.path());
        captureDiagnosticsForTesting(
            [this](const std::string &entry) { entries_.push_back(entry.substr(entry.find("] ") + 2)); });
        startMessageLogger();
        entries_.clear();
    }
    void TearDown() override
    {
        captureDiagnosticsForTesting({});
        setSystemRoot("/");
    }

    std::string at(const std::string &fixedPath) const { return root_.path() + fixedPath; }
    std::string directory(const std::string &fixedPath) const
    {
        fs::create_directories(at(fixedPath));
        return at(fixedPath);
    }
    // A tool that prints answer exactly and exits with status.
    void tool(const std::string &path, const std::string &answer, int status = 0)
    {
        fs::create_directories(fs::path(path).parent_path());
        writeFile(path + ".answer", answer);
        writeFile(path, "#!/bin/sh\ncat '" + path + ".answer'\nexit " + std::to_string(status) + "\n", 0755);
    }
    // The developer directory the selection tool reports, with the version value beside it.
    void toolchain(const std::string &version)
    {
        tool(at("/usr/bin/xcode-select"), directory("/Toolchains/T.toolchain/Developer") + "\n");
        writeFile(at("/Toolchains/T.toolchain/Info.plist"),
                  "<plist><dict><key>CFBundleShortVersionString</key>" + version + "</dict></plist>");
    }

    TempDir root_;
    std::vector<std::string> entries_;
};

} // namespace

TEST_F(Discovery, DeveloperDirectoryIsTheToolsUsableAnswerElseTheDefaultWhenItExists)
{
    EXPECT_EQ(developerDirectoryPath(), std::nullopt);
    EXPECT_EQ(entries_, std::vector<std::string>{"Unable to find the xcode-select tool."});
    std::string other = directory("/Toolchains/Other/Developer");
    std::string tools = directory("/Library/Developer/CommandLineTools");
    tool(at("/usr/bin/xcode-select"), tools + "\n");
    EXPECT_EQ(developerDirectoryPath(), tools);
    directory(defaultDeveloper);
    const std::vector<std::pair<std::string, std::optional<std::string>>> answers = {
        {other + "\n", other},
        {other, other},
        {tools + "\n", at(defaultDeveloper)},
        {other + "\n\n", at(defaultDeveloper)},
        {"/T/\xff\n", at(defaultDeveloper)},
        {"", at(defaultDeveloper)},
    };
    for (const auto &[answer, expected] : answers) {
        tool(at("/usr/bin/xcode-select"), answer);
        EXPECT_EQ(developerDirectoryPath(), expected) << answer;
    }
    tool(at("/usr/bin/xcode-select"), other + "\n", 1);
    EXPECT_EQ(developerDirectoryPath(), at(defaultDeveloper));
    EXPECT_EQ(sharedFrameworksPath(), at("/Applications/Xcode.app/Contents/SharedFrameworks"));
}

TEST_F(Discovery, VersionsBelowTenChooseThePythonBackEndAndAnythingUnreadableTheHelper)
{
    const std::vector<std::tuple<std::string, int32_t, DebuggerBackend>> cases = {
        {"10.0.1", 10, DebuggerBackend::LldbHelper},
        {"9.4", 9, DebuggerBackend::LldbPython},
        {" 11.2", 11, DebuggerBackend::LldbHelper},
        {"13abc", 13, DebuggerBackend::LldbHelper},
        {"abc", 0, DebuggerBackend::LldbPython},
        {"-3", -3, DebuggerBackend::LldbPython},
        {"99999999999", INT32_MAX, DebuggerBackend::LldbHelper},
        {"-99999999999", INT32_MIN, DebuggerBackend::LldbPython},
    };
    for (const auto &[version, major, backend] : cases) {
        toolchain("<string>" + version + "</string>");
        EXPECT_EQ(toolchainMajorVersion(), major) << version;
        EXPECT_EQ(chooseLldbBackend(), backend) << version;
    }
    EXPECT_EQ(sharedFrameworksPath(), at("/Toolchains/T.toolchain/SharedFrameworks"));
    toolchain("<integer>9</integer>");
    EXPECT_EQ(toolchainMajorVersion(), std::nullopt);
    EXPECT_EQ(chooseLldbBackend(), DebuggerBackend::LldbHelper);
    fs::remove(at("/usr/bin/xcode-select"));
    EXPECT_EQ(chooseLldbBackend(), DebuggerBackend::LldbHelper);
}

TEST_F(Discovery, LldbIsTheFindersAnswerElseTheFirstDefaultPathThatExists)
{
    std::string lldb = at("/Toolchains/T.toolchain/Developer/usr/bin/lldb");
    tool(lldb, "");
    EXPECT_EQ(findLldbPath(), std::nullopt);
    EXPECT_EQ(entries_.back(), "lldb tool not found");
    tool(at(defaultDeveloper + "/usr/bin/lldb"), "");
    EXPECT_EQ(findLldbPath(), at(defaultDeveloper + "/usr/bin/lldb"));
    tool(at("/usr/bin/lldb"), "");
    // A failed run or an answer that names nothing falls back as well.
    for (const auto &[answer, status] : {std::pair{lldb + "\n", 1}, std::pair{lldb + "-x\n", 0}}) {
        tool(at("/usr/bin/xcrun"), answer, status);
        EXPECT_EQ(findLldbPath(), at("/usr/bin/lldb")) << answer;
    }
    tool(at("/usr/bin/xcrun"), lldb + "\n");
    EXPECT_EQ(findLldbPath(), lldb);
    EXPECT_EQ(entries_.back(), "lldb tool found at " + lldb);
}

TEST_F(Discovery, PythonDirectoryIsLldbsAnswerElseTheFallbackFourLevelsUpButNothingAfterAFailedRun)
{
    std::string lldb = at("/Toolchains/T.toolchain/Developer/usr/bin/lldb");
    std::string python = directory("/lib/python3/site-packages");
    std::string fallback = directory("/Toolchains/T.toolchain" + pythonSuffix);
    directory("/Toolchains/T.toolchain/Developer" + pythonSuffix); // three levels up: must not count
    const std::vector<std::tuple<std::string, int, std::optional<std::string>>> cases = {
        {python + "\n", 0, python},
        {python, 0, python},
        {at("/missing") + "\n", 0, fallback},
        {"/lib/\xc3\x28/x\n", 0, fallback},
        {python + "\n", 1, std::nullopt},
        {"", 0, std::nullopt},
        // The answer ends at a NUL; only then is a final newline removed.
        {python + std::string("\0\x80junk\n", 7), 0, python},
        {python + std::string("\n\0", 2), 0, python},
    };
    for (const auto &[answer, status, expected] : cases) {
        tool(lldb, answer, status);
        entries_.clear();
        EXPECT_EQ(lldbPythonPath(lldb), expected) << answer;
        EXPECT_EQ(entries_, std::vector<std::string>{"LLDB Python Framework found at " + expected.value_or("(null)")});
    }
    EXPECT_EQ(lldbPythonPath(std::nullopt), std::nullopt);
}

TEST_F(Discovery, AnswerHoldingControlCharactersIsLoggedAsOneVisibleLine)
{
    std::string lldb = at("/Toolchains/T.toolchain/Developer/usr/bin/lldb");
    std::string forged = directory("/lib/py\n[TORVEX_DEBUGGER(XPC)] forged\r\x1b[2K\tx");
    tool(lldb, forged + "\n");
    entries_.clear();
    EXPECT_EQ(lldbPythonPath(lldb), forged);
    EXPECT_EQ(entries_, std::vector<std::string>{"LLDB Python Framework found at " + at("/lib/py") +
                                                 "\\n[TORVEX_DEBUGGER(XPC)] forged\\r\\x1b[2K\\tx"});
}

TEST_F(Discovery, ToolThatNeverEndsIsKilledWhenItsTimeIsUpAndCountsAsAFailedRun)
{
    std::string lldb = at("/Toolchains/T.toolchain/Developer/usr/bin/lldb");
    fs::create_directories(fs::path(lldb).parent_path());
    // Its output closed and its answer given, it still never exits.
    writeFile(lldb, "#!/bin/sh\necho $$ > '" + lldb + ".pid'\necho /\nexec sleep 600 >&-\n", 0755);
    directory("/Toolchains/T.toolchain" + pythonSuffix);
    entries_.clear();
    EXPECT_EQ(lldbPythonPath(lldb), std::nullopt);
    EXPECT_EQ(entries_, std::vector<std::string>{"LLDB Python Framework found at (null)"});
    pid_t tool = std::stoi(readFile(lldb + ".pid"));
    EXPECT_TRUE(kill(tool, 0) != 0 && errno == ESRCH) << "the tool still runs";
}

TEST_F(Discovery, AnswerOfAToolThatExitedIsTakenWhileWhatItStartedHoldsItsOutput)
{
    std::string lldb = at("/Toolchains/T.toolchain/Developer/usr/bin/lldb");
    std::string python = directory("/lib/python3/site-packages");
    fs::create_directories(fs::path(lldb).parent_path());
    // More output than the pipe holds: the tool's exit is seen while some of it still waits.
    writeFile(lldb,
              "#!/bin/sh\nsleep 600 &\necho $! > '" + lldb + ".pid'\nprintf '%s\\0' '" + python +
                  "'\nhead -c 300000 /dev/zero\n",
              0755);
    EXPECT_EQ(lldbPythonPath(lldb), python);
    kill(std::stoi(readFile(lldb + ".pid")), SIGKILL);
}
