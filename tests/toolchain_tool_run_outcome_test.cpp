#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <ostream>
#include <sys/stat.h>

#include "support/files.h"
#include "toolchain/tool_run_outcome.h"

std::ostream &operator<<(std::ostream &stream, const ToolRunOutcome &outcome)
{
    switch (outcome.kind) {
    case ToolRunOutcomeKind::Failed:
        return stream << "Failed";
    case ToolRunOutcomeKind::Missing:
        return stream << "Missing";
    case ToolRunOutcomeKind::Found:
        return stream << "Found(" << outcome.path << ")";
    }
    return stream;
}

namespace {

class RunToolForPathTest : public ::testing::Test {
protected:
    void SetUp() override { std::filesystem::create_directory(existing_); }

    std::string write(const std::string &name, const std::string &contents, mode_t mode)
    {
        std::string path = directory_ + "/" + name;
        writeFile(path, contents, mode);
        return path;
    }

    // A tool that prints exactly answer and exits with status.
    std::string tool(const std::string &answer, int status = 0)
    {
        std::string answerFile = write("answer-" + std::to_string(++tools_), answer, 0644);
        return write("tool-" + std::to_string(tools_),
                     "#!/bin/sh\n/bin/cat '" + answerFile + "'\nexit " + std::to_string(status) + "\n", 0755);
    }

    ToolRunOutcome run(const std::string &answer, int status = 0) { return runToolForPath(tool(answer, status), {}); }

    TempDir temp_;
    const std::string directory_ = temp_.path();
    const std::string existing_ = directory_ + "/Existing Directory";
    int tools_ = 0;
};

TEST_F(RunToolForPathTest, OneFinalNewlineIsRemoved)
{
    EXPECT_EQ(run(existing_ + "\n"), ToolRunOutcome::found(existing_));
    // Only one: the second newline is then part of a path that does not exist.
    EXPECT_EQ(run(existing_ + "\n\n"), ToolRunOutcome::missing());
    EXPECT_EQ(run("\n"), ToolRunOutcome::missing());
}

TEST_F(RunToolForPathTest, OutputWithoutFinalNewlineIsTakenWhole)
{
    EXPECT_EQ(run(existing_), ToolRunOutcome::found(existing_));
    // Taking off the last byte regardless would land on this one instead.
    std::filesystem::create_directory(directory_ + "/shorte");
    EXPECT_EQ(run(directory_ + "/shorter"), ToolRunOutcome::missing());
    std::filesystem::create_directory(directory_ + "/shorter");
    EXPECT_EQ(run(directory_ + "/shorter"), ToolRunOutcome::found(directory_ + "/shorter"));
}

TEST_F(RunToolForPathTest, OtherWhiteSpaceIsKept)
{
    EXPECT_EQ(run(existing_ + "\r\n"), ToolRunOutcome::missing());
    EXPECT_EQ(run(existing_ + " \n"), ToolRunOutcome::missing());
    EXPECT_EQ(run(" " + existing_ + "\n"), ToolRunOutcome::missing());
    EXPECT_EQ(run(existing_ + "\n" + existing_ + "\n"), ToolRunOutcome::missing());
}

TEST_F(RunToolForPathTest, ExitStatusAndEmptyOutputFail)
{
    EXPECT_EQ(run(existing_ + "\n", 1), ToolRunOutcome::failed());
    EXPECT_EQ(run(existing_ + "\n", 255), ToolRunOutcome::failed());
    EXPECT_EQ(run(""), ToolRunOutcome::failed());
    EXPECT_EQ(run("", 2), ToolRunOutcome::failed());
    std::string killed = write("killed", "#!/bin/sh\nprintf '%s\\n' '" + existing_ + "'\nkill -KILL $$\n", 0755);
    EXPECT_EQ(runToolForPath(killed, {}), ToolRunOutcome::failed());
}

TEST_F(RunToolForPathTest, OutputThatIsNotUtf8IsMissing)
{
    std::string latin1 = directory_ + "/caf\xe9";
    std::filesystem::create_directory(latin1);
    EXPECT_EQ(run(latin1 + "\n"), ToolRunOutcome::missing());
    EXPECT_EQ(run(existing_ + "\xc0\xaf\n"), ToolRunOutcome::missing()); // overlong "/"
    EXPECT_EQ(run(existing_ + "\xed\xa0\x80\n"), ToolRunOutcome::missing()); // surrogate
    EXPECT_EQ(run(existing_ + "\xe2\x82\n"), ToolRunOutcome::missing()); // cut short

    std::string utf8 = directory_ + "/caf\xc3\xa9 \xf0\x9f\x90\x9b";
    std::filesystem::create_directory(utf8);
    EXPECT_EQ(run(utf8 + "\n"), ToolRunOutcome::found(utf8));
}

TEST_F(RunToolForPathTest, PathsThatNameNothingAreMissing)
{
    EXPECT_EQ(run(directory_ + "/nothing\n"), ToolRunOutcome::missing());
    EXPECT_EQ(run("relative/nothing\n"), ToolRunOutcome::missing());
    EXPECT_EQ(run(existing_ + std::string(1, '\0') + "tail\n"), ToolRunOutcome::missing());
}

TEST_F(RunToolForPathTest, ToolsThatCannotStartFail)
{
    std::string noExecBit = write("plain", "#!/bin/sh\necho '" + existing_ + "'\n", 0644);
    std::string badInterpreter = write("bad", "#!/nonexistent/sh\necho '" + existing_ + "'\n", 0755);
    EXPECT_EQ(runToolForPath(noExecBit, {}), ToolRunOutcome::failed());
    EXPECT_EQ(runToolForPath(badInterpreter, {}), ToolRunOutcome::failed());
    EXPECT_EQ(runToolForPath(directory_ + "/missing-tool", {}), ToolRunOutcome::failed());
    EXPECT_EQ(runToolForPath(existing_, {}), ToolRunOutcome::failed());
}

TEST_F(RunToolForPathTest, ArgumentsReachTheTool)
{
    std::string echoing = write("echoing", "#!/bin/sh\nprintf '%s\\n' \"$1\"\n", 0755);
    EXPECT_EQ(runToolForPath(echoing, {existing_}), ToolRunOutcome::found(existing_));
    EXPECT_EQ(runToolForPath(echoing, {"-p"}), ToolRunOutcome::missing());
}

} // namespace
