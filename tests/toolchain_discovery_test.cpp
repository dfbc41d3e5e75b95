#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <plist/plist.h>
#include <sstream>
#include <sys/stat.h>

#include "diagnostics/debug_message.h"
#include "platform/system_root.h"
#include "support/files.h"
#include "toolchain/toolchain.h"
#include "toolchain/toolchain_messages.h"

namespace {

const std::string entryPrefix = "[TORVEX_DEBUGGER(XPC)] ";
const std::string xcodeSelect = "/usr/bin/xcode-select";
const std::string xcrun = "/usr/bin/xcrun";
const std::string defaultDeveloper = "/Applications/Xcode.app/Contents/Developer";
const std::string firstDefaultLldb = "/usr/bin/lldb";
const std::string secondDefaultLldb = "/Applications/Xcode.app/Contents/Developer/usr/bin/lldb";
const std::string pythonSuffix = "SharedFrameworks/LLDB.framework/Versions/A/Resources/Python";

// A temporary system root holding stand-in tools, with every diagnostic captured.
class DiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setSystemRoot(root_);
        captureDiagnosticsForTesting([this](const std::string &entry) { entries_.push_back(entry); });
        startMessageLogger();
        entries_.clear();
    }
    void TearDown() override
    {
        captureDiagnosticsForTesting({});
        setSystemRoot("/");
    }

    // A fixed path under the temporary root.
    std::string at(const std::string &fixedPath) const { return root_ + fixedPath; }

    std::string makeDirectory(const std::string &path)
    {
        std::filesystem::create_directories(path);
        return path;
    }

    void writeFile(const std::string &path, const std::string &contents, mode_t mode = 0644)
    {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path());
        ::writeFile(path, contents, mode);
    }

    // A tool that prints answer exactly, exits with status, and notes each run's arguments.
    void makeTool(const std::string &path, const std::string &answer, int status = 0)
    {
        writeFile(path + ".answer", answer);
        writeFile(path,
                  "#!/bin/sh\n"
                  "printf '%s;' \"$@\" >> '" + path + ".runs'\n"
                  "printf '\\n' >> '" + path + ".runs'\n"
                  "/bin/cat '" + path + ".answer'\n"
                  "exit " + std::to_string(status) + "\n",
                  0755);
    }

    // The arguments of every run of the tool at path, one string per run.
    std::vector<std::string> runsOf(const std::string &path) const
    {
        std::vector<std::string> runs;
        std::ifstream stream(path + ".runs");
        std::string line;
        while (std::getline(stream, line))
            runs.push_back(line);
        return runs;
    }

    void writeXmlInfo(const std::string &directory, const std::string &entries)
    {
        writeFile(directory + "/Info.plist",
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n" + entries + "\n</plist>\n");
    }

    void writeXmlVersion(const std::string &directory, const std::string &version)
    {
        writeXmlInfo(directory, "<dict><key>CFBundleShortVersionString</key><string>" + version + "</string></dict>");
    }

    void writeBinaryVersion(const std::string &directory, const std::string &version)
    {
        plist_t dictionary = plist_new_dict();
        plist_dict_set_item(dictionary, "CFBundleShortVersionString", plist_new_string(version.c_str()));
        char *bytes = nullptr;
        uint32_t length = 0;
        plist_to_bin(dictionary, &bytes, &length);
        plist_free(dictionary);
        ASSERT_NE(bytes, nullptr);
        writeFile(directory + "/Info.plist", std::string(bytes, length));
        plist_to_bin_free(bytes);
    }

    // A developer directory that xcode-select reports, and its parent.
    std::string reportedDeveloper()
    {
        std::string developer = makeDirectory(at("/Toolchains/Test.toolchain/Developer"));
        makeTool(at(xcodeSelect), developer + "\n");
        return developer;
    }
    std::string toolchainDirectory() const { return at("/Toolchains/Test.toolchain"); }

    std::vector<std::string> logged(std::initializer_list<std::string> messages) const
    {
        std::vector<std::string> expected;
        for (const std::string &message : messages)
            expected.push_back(entryPrefix + message);
        return expected;
    }

    TempDir temp_;
    const std::string root_ = temp_.path();
    std::vector<std::string> entries_;
};

// ----- developer directory -----

TEST_F(DiscoveryTest, DeveloperDirectoryIsWhatTheToolReports)
{
    std::string developer = reportedDeveloper();
    makeDirectory(at(defaultDeveloper));
    EXPECT_EQ(developerDirectoryPath(), developer);
    EXPECT_EQ(runsOf(at(xcodeSelect)), std::vector<std::string>{"-p;"});
    EXPECT_TRUE(entries_.empty());
}

TEST_F(DiscoveryTest, DeveloperDirectoryAnswerWithoutNewlineIsTakenWhole)
{
    std::string developer = makeDirectory(at("/Toolchains/Short"));
    makeDirectory(at("/Toolchains/Shor"));
    makeDirectory(at(defaultDeveloper));
    makeTool(at(xcodeSelect), developer);
    EXPECT_EQ(developerDirectoryPath(), developer);
}

TEST_F(DiscoveryTest, MissingToolIsReportedAndTheDefaultIsTried)
{
    EXPECT_EQ(developerDirectoryPath(), std::nullopt);
    EXPECT_EQ(entries_, logged({"Unable to find the xcode-select tool."}));

    entries_.clear();
    makeDirectory(at(defaultDeveloper));
    EXPECT_EQ(developerDirectoryPath(), at(defaultDeveloper));
    EXPECT_EQ(entries_, logged({"Unable to find the xcode-select tool."}));
}

TEST_F(DiscoveryTest, UnusableAnswersFallBackToTheDefaultWithoutDiagnostics)
{
    std::string existing = makeDirectory(at("/Toolchains/Other/Developer"));
    struct Case {
        std::string answer;
        int status;
    };
    const std::vector<Case> cases = {
        {existing + "\n", 1},          // non-zero status, however good the answer
        {"", 0},                       // nothing printed
        {at("/Toolchains/None") + "\n", 0}, // names nothing
        {existing + "\n\n", 0},        // only one newline is removed
        {"/Toolchains/\xff\n", 0},     // not UTF-8
    };
    for (const Case &unusable : cases) {
        makeTool(at(xcodeSelect), unusable.answer, unusable.status);
        std::filesystem::remove_all(at(defaultDeveloper));
        EXPECT_EQ(developerDirectoryPath(), std::nullopt) << unusable.answer;
        makeDirectory(at(defaultDeveloper));
        EXPECT_EQ(developerDirectoryPath(), at(defaultDeveloper)) << unusable.answer;
    }
    EXPECT_TRUE(entries_.empty());
}

TEST_F(DiscoveryTest, ToolThatCannotStartFallsBackToTheDefault)
{
    makeDirectory(at(defaultDeveloper));
    std::string developer = makeDirectory(at("/Toolchains/Other/Developer"));

    writeFile(at(xcodeSelect), "#!/bin/sh\necho '" + developer + "'\n", 0644);
    EXPECT_EQ(developerDirectoryPath(), at(defaultDeveloper));

    writeFile(at(xcodeSelect), "#!/nonexistent/interpreter\necho '" + developer + "'\n", 0755);
    EXPECT_EQ(developerDirectoryPath(), at(defaultDeveloper));

    std::filesystem::remove(at(xcodeSelect));
    makeDirectory(at(xcodeSelect));
    EXPECT_EQ(developerDirectoryPath(), at(defaultDeveloper));
    EXPECT_TRUE(entries_.empty());
}

TEST_F(DiscoveryTest, CommandLineToolsGiveWayToTheDefaultOnlyWhenItExists)
{
    std::string tools = makeDirectory(at("/Library/Developer/CommandLineTools"));
    makeTool(at(xcodeSelect), tools + "\n");
    EXPECT_EQ(developerDirectoryPath(), tools);

    makeDirectory(at(defaultDeveloper));
    EXPECT_EQ(developerDirectoryPath(), at(defaultDeveloper));

    std::string lowerCase = makeDirectory(at("/Library/Developer/commandlinetools"));
    makeTool(at(xcodeSelect), lowerCase + "\n");
    EXPECT_EQ(developerDirectoryPath(), lowerCase);

    std::string inside = makeDirectory(at("/Library/CommandLineTools-extra/Developer"));
    makeTool(at(xcodeSelect), inside + "\n");
    EXPECT_EQ(developerDirectoryPath(), at(defaultDeveloper));
    EXPECT_TRUE(entries_.empty());
}

TEST_F(DiscoveryTest, CommandLineToolsWithoutDefaultChooseHelperAndUncheckedFrameworks)
{
    std::string tools = makeDirectory(at("/Library/Developer/CommandLineTools"));
    makeTool(at(xcodeSelect), tools + "\n");
    EXPECT_EQ(toolchainMajorVersion(), std::nullopt);
    EXPECT_EQ(chooseLldbBackend(), DebuggerBackend::LldbHelper);
    EXPECT_EQ(sharedFrameworksPath(), at("/Library/Developer/SharedFrameworks"));
    EXPECT_FALSE(std::filesystem::exists(at("/Library/Developer/SharedFrameworks")));
}

// ----- version and back-end choice -----

TEST(MajorVersionTest, LeadingIntegerOfTheFirstPiece)
{
    const std::vector<std::pair<std::string, int32_t>> cases = {
        {"10", 10},
        {"9.4", 9},
        {"10.0.1", 10},
        {" 11.2", 11},
        {"\t\n 12", 12},
        {"", 0},
        {"abc", 0},
        {"a10", 0},
        {".10", 0},
        {"13abc.1", 13},
        {"-3", -3},
        {"+7", 7},
        {"-", 0},
        {"+-1", 0},
        {"- 1", 0},
        {"007", 7},
        {"99999999999", INT32_MAX},
        {"4294967306", INT32_MAX},
        {"2147483647", INT32_MAX},
        {"2147483648", INT32_MAX},
        {"-2147483648", INT32_MIN},
        {"-2147483649", INT32_MIN},
        {"-99999999999999999999999", INT32_MIN},
        {"99999999999999999999999.1", INT32_MAX},
    };
    for (const auto &[version, expected] : cases)
        EXPECT_EQ(majorVersionFromString(version), expected) << '"' << version << '"';
}

TEST_F(DiscoveryTest, VersionsChooseTheBackEnd)
{
    reportedDeveloper();
    struct Case {
        std::string version;
        int32_t major;
        DebuggerBackend backend;
    };
    const std::vector<Case> cases = {
        {"10", 10, DebuggerBackend::LldbHelper},
        {"10.0", 10, DebuggerBackend::LldbHelper},
        {"9.4", 9, DebuggerBackend::LldbPython},
        {"9", 9, DebuggerBackend::LldbPython},
        {"11.2", 11, DebuggerBackend::LldbHelper},
        {" 11.2", 11, DebuggerBackend::LldbHelper},
        {"", 0, DebuggerBackend::LldbPython},
        {"abc", 0, DebuggerBackend::LldbPython},
        {"-3", -3, DebuggerBackend::LldbPython},
        {"-2147483649", INT32_MIN, DebuggerBackend::LldbPython},
        {"99999999999", INT32_MAX, DebuggerBackend::LldbHelper},
        {"4294967305", INT32_MAX, DebuggerBackend::LldbHelper},
    };
    for (const Case &c : cases) {
        writeXmlVersion(toolchainDirectory(), c.version);
        EXPECT_EQ(toolchainMajorVersion(), c.major) << "XML \"" << c.version << '"';
        EXPECT_EQ(chooseLldbBackend(), c.backend) << "XML \"" << c.version << '"';
        writeBinaryVersion(toolchainDirectory(), c.version);
        EXPECT_EQ(toolchainMajorVersion(), c.major) << "binary \"" << c.version << '"';
        EXPECT_EQ(chooseLldbBackend(), c.backend) << "binary \"" << c.version << '"';
    }
    EXPECT_EQ(versionThreshold, 10);
    EXPECT_TRUE(entries_.empty());
}

TEST_F(DiscoveryTest, UnreadableVersionsChooseTheHelper)
{
    reportedDeveloper();
    // No Info.plist at all.
    EXPECT_EQ(toolchainMajorVersion(), std::nullopt);
    EXPECT_EQ(chooseLldbBackend(), DebuggerBackend::LldbHelper);

    const std::vector<std::string> contents = {
        "<array><string>CFBundleShortVersionString</string><string>9</string></array>",
        "<dict><key>CFBundleShortVersionString</key><integer>9</integer></dict>",
        "<dict><key>CFBundleShortVersionString</key><real>9.4</real></dict>",
        "<dict><key>CFBundleVersion</key><string>9.4</string></dict>",
        "<dict><key>Nested</key><dict><key>CFBundleShortVersionString</key><string>9</string></dict></dict>",
    };
    for (const std::string &entries : contents) {
        writeXmlInfo(toolchainDirectory(), entries);
        EXPECT_EQ(toolchainMajorVersion(), std::nullopt) << entries;
        EXPECT_EQ(chooseLldbBackend(), DebuggerBackend::LldbHelper) << entries;
    }

    writeFile(toolchainDirectory() + "/Info.plist", "CFBundleShortVersionString = 9;\n");
    EXPECT_EQ(chooseLldbBackend(), DebuggerBackend::LldbHelper);
    writeFile(toolchainDirectory() + "/Info.plist", "");
    EXPECT_EQ(chooseLldbBackend(), DebuggerBackend::LldbHelper);
    std::filesystem::remove(toolchainDirectory() + "/Info.plist");
    makeDirectory(toolchainDirectory() + "/Info.plist");
    EXPECT_EQ(chooseLldbBackend(), DebuggerBackend::LldbHelper);
    EXPECT_TRUE(entries_.empty());
}

TEST_F(DiscoveryTest, VersionIsReadBesideTheDefaultDirectory)
{
    makeDirectory(at(defaultDeveloper));
    writeXmlVersion(at("/Applications/Xcode.app/Contents"), "9.0");
    EXPECT_EQ(toolchainMajorVersion(), 9);
    EXPECT_EQ(chooseLldbBackend(), DebuggerBackend::LldbPython);
    EXPECT_EQ(entries_, logged({"Unable to find the xcode-select tool.", "Unable to find the xcode-select tool."}));
}

TEST_F(DiscoveryTest, NoDeveloperDirectoryMeansHelperAndNoFrameworks)
{
    EXPECT_EQ(toolchainMajorVersion(), std::nullopt);
    EXPECT_EQ(chooseLldbBackend(), DebuggerBackend::LldbHelper);
    EXPECT_EQ(sharedFrameworksPath(), std::nullopt);
    EXPECT_EQ(entries_, logged({"Unable to find the xcode-select tool.", "Unable to find the xcode-select tool.",
                                "Unable to find the xcode-select tool."}));
}

TEST_F(DiscoveryTest, SharedFrameworksSitBesideTheDeveloperDirectory)
{
    reportedDeveloper();
    EXPECT_EQ(sharedFrameworksPath(), toolchainDirectory() + "/SharedFrameworks");

    makeTool(at(xcodeSelect), "", 1);
    makeDirectory(at(defaultDeveloper));
    EXPECT_EQ(sharedFrameworksPath(), at("/Applications/Xcode.app/Contents/SharedFrameworks"));
}

TEST_F(DiscoveryTest, EveryProbeRunsTheToolAgain)
{
    reportedDeveloper();
    writeXmlVersion(toolchainDirectory(), "12.0");
    // The C++ choice: one probe for the version, one more for the frameworks.
    EXPECT_EQ(chooseLldbBackend(), DebuggerBackend::LldbHelper);
    EXPECT_EQ(runsOf(at(xcodeSelect)).size(), 1u);
    EXPECT_EQ(sharedFrameworksPath(), toolchainDirectory() + "/SharedFrameworks");
    EXPECT_EQ(runsOf(at(xcodeSelect)).size(), 2u);

    // Nothing is kept: a changed answer is seen at once.
    std::string moved = makeDirectory(at("/Toolchains/Moved.toolchain/Developer"));
    writeXmlVersion(at("/Toolchains/Moved.toolchain"), "9.1");
    makeTool(at(xcodeSelect), moved + "\n");
    EXPECT_EQ(chooseLldbBackend(), DebuggerBackend::LldbPython);
    EXPECT_EQ(sharedFrameworksPath(), at("/Toolchains/Moved.toolchain/SharedFrameworks"));
    EXPECT_EQ(runsOf(at(xcodeSelect)), (std::vector<std::string>{"-p;", "-p;", "-p;", "-p;"}));
}

// ----- LLDB -----

TEST_F(DiscoveryTest, LldbFromTheToolFinder)
{
    std::string lldb = at("/Toolchains/Test.toolchain/Developer/usr/bin/lldb");
    makeTool(lldb, "");
    makeTool(at(firstDefaultLldb), "");
    makeTool(at(xcrun), lldb + "\n");
    EXPECT_EQ(findLldbPath(), lldb);
    EXPECT_EQ(runsOf(at(xcrun)), std::vector<std::string>{"-find;lldb;"});
    EXPECT_EQ(entries_, logged({"lldb tool found at " + lldb}));
}

TEST_F(DiscoveryTest, LldbFromTheFirstDefaultPath)
{
    makeTool(at(firstDefaultLldb), "");
    makeTool(at(secondDefaultLldb), "");
    EXPECT_EQ(findLldbPath(), at(firstDefaultLldb));
    EXPECT_EQ(entries_, logged({"Unable to find the xcrun tool.", "lldb tool not found, trying default paths."}));
}

TEST_F(DiscoveryTest, LldbFromTheSecondDefaultPath)
{
    makeTool(at(secondDefaultLldb), "");
    makeTool(at(xcrun), "", 1);
    EXPECT_EQ(findLldbPath(), at(secondDefaultLldb));
    EXPECT_EQ(entries_, logged({"lldb tool not found, trying default paths."}));
}

TEST_F(DiscoveryTest, UnusableFinderAnswersTryTheDefaults)
{
    std::string lldb = at("/Toolchains/Test.toolchain/Developer/usr/bin/lldb");
    makeTool(lldb, "");
    makeTool(at(firstDefaultLldb), "");
    const std::vector<std::pair<std::string, int>> answers = {
        {lldb + "\n", 1},
        {"", 0},
        {lldb + "-missing\n", 0},
        {lldb + "\n\n", 0},
        {"\xfe\xff\n", 0},
    };
    for (const auto &[answer, status] : answers) {
        entries_.clear();
        makeTool(at(xcrun), answer, status);
        EXPECT_EQ(findLldbPath(), at(firstDefaultLldb)) << answer;
        EXPECT_EQ(entries_, logged({"lldb tool not found, trying default paths."})) << answer;
    }

    entries_.clear();
    writeFile(at(xcrun), "#!/bin/sh\necho '" + lldb + "'\n", 0644);
    EXPECT_EQ(findLldbPath(), at(firstDefaultLldb));
    EXPECT_EQ(entries_, logged({"lldb tool not found, trying default paths."}));
}

TEST_F(DiscoveryTest, NoLldbAnywhere)
{
    EXPECT_EQ(findLldbPath(), std::nullopt);
    EXPECT_EQ(entries_, logged({"Unable to find the xcrun tool.", "lldb tool not found, trying default paths.",
                                "lldb tool not found"}));

    entries_.clear();
    makeTool(at(xcrun), "", 1);
    std::optional<std::string> lldb = findLldbPath();
    EXPECT_EQ(lldb, std::nullopt);
    EXPECT_EQ(lldbPythonPath(lldb), std::nullopt);
    EXPECT_EQ(entries_, logged({"lldb tool not found, trying default paths.", "lldb tool not found",
                                "LLDB Python Framework found at (null)"}));
}

// ----- LLDB's Python directory -----

class PythonDirectoryTest : public DiscoveryTest {
protected:
    void SetUp() override
    {
        DiscoveryTest::SetUp();
        lldb_ = at("/Toolchains/Test.toolchain/Developer/usr/bin/lldb");
        fallback_ = at("/Toolchains/Test.toolchain/") + pythonSuffix;
    }
    std::string lldb_;
    std::string fallback_;
};

TEST_F(PythonDirectoryTest, LldbAnswerIsTheDirectory)
{
    std::string python = makeDirectory(at("/lib/python3/site-packages"));
    makeDirectory(fallback_);
    makeTool(lldb_, python + "\n");
    EXPECT_EQ(lldbPythonPath(lldb_), python);
    EXPECT_EQ(runsOf(lldb_), std::vector<std::string>{"-P;"});
    EXPECT_EQ(entries_, logged({"LLDB Python Framework found at " + python}));

    entries_.clear();
    makeTool(lldb_, python);
    EXPECT_EQ(lldbPythonPath(lldb_), python);
    EXPECT_EQ(entries_, logged({"LLDB Python Framework found at " + python}));
}

TEST_F(PythonDirectoryTest, AnswersThatNameNothingUseTheFallbackFourLevelsUp)
{
    makeDirectory(fallback_);
    // Where three or five removals would lead must not count.
    const std::vector<std::string> answers = {
        at("/lib/python3/missing") + "\n",
        at("/lib/python3/site-packages") + "\n\n",
        "/lib/\xc3\x28/site-packages\n",
        "\n",
    };
    for (const std::string &answer : answers) {
        entries_.clear();
        makeTool(lldb_, answer);
        EXPECT_EQ(lldbPythonPath(lldb_), fallback_) << answer;
        EXPECT_EQ(entries_, logged({"LLDB Python Framework found at " + fallback_})) << answer;
    }
    EXPECT_EQ(fallback_, at("/Toolchains/Test.toolchain/SharedFrameworks/LLDB.framework/Versions/A/Resources/Python"));
}

TEST_F(PythonDirectoryTest, WrongNumberOfRemovalsFindsNothing)
{
    makeDirectory(at("/Toolchains/Test.toolchain/Developer/") + pythonSuffix);
    makeDirectory(at("/Toolchains/") + pythonSuffix);
    makeTool(lldb_, at("/missing") + "\n");
    EXPECT_EQ(lldbPythonPath(lldb_), std::nullopt);
    EXPECT_EQ(entries_, logged({"LLDB Python Framework found at (null)"}));
}

TEST_F(PythonDirectoryTest, FailedRunsTakeNoFallback)
{
    makeDirectory(fallback_);
    std::string python = makeDirectory(at("/lib/python3/site-packages"));
    makeTool(lldb_, python + "\n", 1);
    EXPECT_EQ(lldbPythonPath(lldb_), std::nullopt);
    makeTool(lldb_, "");
    EXPECT_EQ(lldbPythonPath(lldb_), std::nullopt);
    writeFile(lldb_, "#!/bin/sh\necho '" + python + "'\n", 0644);
    EXPECT_EQ(lldbPythonPath(lldb_), std::nullopt);
    writeFile(lldb_, "#!/nonexistent/interpreter\n", 0755);
    EXPECT_EQ(lldbPythonPath(lldb_), std::nullopt);
    EXPECT_EQ(entries_, logged({"LLDB Python Framework found at (null)", "LLDB Python Framework found at (null)",
                                "LLDB Python Framework found at (null)", "LLDB Python Framework found at (null)"}));
}

TEST_F(PythonDirectoryTest, AbsentOrMissingLldbIsNotRun)
{
    makeDirectory(fallback_);
    EXPECT_EQ(lldbPythonPath(std::nullopt), std::nullopt);
    EXPECT_EQ(lldbPythonPath(lldb_), std::nullopt);
    EXPECT_EQ(entries_, logged({"LLDB Python Framework found at (null)", "LLDB Python Framework found at (null)"}));
}

TEST_F(PythonDirectoryTest, FallbackFromAShortPathStopsAtTheRoot)
{
    if (std::filesystem::exists("/" + pythonSuffix))
        GTEST_SKIP() << "this machine has /" << pythonSuffix;
    // From /tmp/<root>/lldb the removals reach "/" after three and stay there for the fourth.
    std::string shortLldb = at("/lldb");
    makeTool(shortLldb, at("/missing") + "\n");
    makeDirectory(at("/") + pythonSuffix);
    EXPECT_EQ(lldbPythonPath(shortLldb), std::nullopt);
    EXPECT_EQ(entries_, logged({"LLDB Python Framework found at (null)"}));
}

TEST_F(PythonDirectoryTest, FallbackFromTheDefaultPath)
{
    makeTool(at(secondDefaultLldb), at("/missing") + "\n");
    makeDirectory(at("/Applications/Xcode.app/Contents/") + pythonSuffix);
    std::optional<std::string> lldb = findLldbPath();
    ASSERT_EQ(lldb, at(secondDefaultLldb));
    EXPECT_EQ(lldbPythonPath(lldb), at("/Applications/Xcode.app/Contents/") + pythonSuffix);
    EXPECT_EQ(entries_,
              logged({"Unable to find the xcrun tool.", "lldb tool not found, trying default paths.",
                      "LLDB Python Framework found at " + at("/Applications/Xcode.app/Contents/") + pythonSuffix}));
}

TEST_F(PythonDirectoryTest, WholeLookupAsThePythonLaunchRunsIt)
{
    std::string python = makeDirectory(at("/lib/python3/site-packages"));
    makeTool(lldb_, python + "\n");
    makeTool(at(xcrun), lldb_ + "\n");
    reportedDeveloper();
    writeXmlVersion(toolchainDirectory(), "9.4");

    ASSERT_EQ(chooseLldbBackend(), DebuggerBackend::LldbPython);
    std::optional<std::string> lldb = findLldbPath();
    EXPECT_EQ(lldbPythonPath(lldb), python);
    EXPECT_EQ(entries_, logged({"lldb tool found at " + lldb_, "LLDB Python Framework found at " + python}));
    // xcode-select once, then the two runs of the lookup.
    EXPECT_EQ(runsOf(at(xcodeSelect)).size(), 1u);
    EXPECT_EQ(runsOf(at(xcrun)).size(), 1u);
    EXPECT_EQ(runsOf(lldb_).size(), 1u);
}

TEST(MessageFormatTest, PlaceholdersTakeArgumentsInOrder)
{
    EXPECT_EQ(formatMessage("%@ tool found at %@", {"lldb", "/usr/bin/lldb"}), "lldb tool found at /usr/bin/lldb");
    EXPECT_EQ(formatMessage("LLDB Python Framework found at %@", {std::nullopt}), "LLDB Python Framework found at (null)");
    EXPECT_EQ(formatMessage("%@ and %@", {"one"}), "one and (null)");
    EXPECT_EQ(formatMessage("no placeholder", {"unused"}), "no placeholder");
    EXPECT_EQ(formatMessage("%@", {"100% %@"}), "100% %@");
}

} // namespace
