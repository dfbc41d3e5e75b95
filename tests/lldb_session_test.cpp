// Real LLDB debugging runs through the service, with the toolchain layouts the build
// generates: one picks the C++ back end, the other the Python one. Both must give a host the
// same session.

#include <gtest/gtest.h>

#include <regex>

#include "support/service_run.h"

namespace {

const std::string exampleProgram = LD_BIN_DIR "/example-program";

struct Layout {
    std::string name;    // toolchain layout under build/toolchains
    std::string backend; // what its ready record names
};

bool lldbInstalled()
{
    return access("/usr/lib/llvm-16/bin/lldb-server", X_OK) == 0;
}

class LldbSession : public ::testing::TestWithParam<Layout> {
protected:
    void SetUp() override
    {
        if (!lldbInstalled())
            GTEST_SKIP() << "LLDB 16 is not installed";
        ServiceRun::Options options;
        options.extraEnvironment = {"TORVEX_DEBUGGER_ROOT=" LD_BIN_DIR "/../toolchains/" + GetParam().name};
        run_ = std::make_unique<ServiceRun>(options);
        run_->setEnvironment({"HOME=/tmp", "PATH=/usr/bin:/bin", "SESSION_MARKER=1"});
        ASSERT_EQ(run_->launchLldb(), true) << run_->stderrText();
        ASSERT_TRUE(run_->waitForOutput("\"type\":\"ready\"", 30s)) << run_->output();
        EXPECT_NE(run_->output().find("\"backend\":\"" + GetParam().backend + "\""), std::string::npos) << run_->output();
    }

    // Sends one command line; waits for its result record and returns it.
    std::string command(const std::string &line)
    {
        run_->send(line + "\n");
        ++seq_;
        std::string marker = "{\"type\":\"result\",\"seq\":" + std::to_string(seq_) + ",";
        EXPECT_TRUE(run_->waitForOutput(marker, 30s)) << "no result for " << line << "\n" << run_->output();
        std::string output = run_->output();
        size_t start = output.find(marker);
        return start == std::string::npos ? std::string() : output.substr(start, output.find('\n', start) - start);
    }

    bool waitForRecord(const std::string &text) { return run_->waitForOutput(text, 30s); }

    bool waitForRecordAfter(size_t offset, const std::string &text) { return run_->waitForOutputAfter(offset, text, 30s); }

    std::unique_ptr<ServiceRun> run_;
    int seq_ = 0;
};

pid_t debuggeePid(const std::string &output)
{
    std::smatch match;
    if (!std::regex_search(output, match, std::regex(R"re("state":"launching","pid":(\d+))re")))
        return -1;
    return std::stoi(match[1]);
}

} // namespace

TEST_P(LldbSession, BreakRunReadAVariableContinueToTheEnd)
{
    EXPECT_NE(command("target create " + exampleProgram).find("\"ok\":true"), std::string::npos);
    EXPECT_NE(command("breakpoint set -n compute").find("\"ok\":true"), std::string::npos);
    command("process launch");
    ASSERT_TRUE(waitForRecord("\"state\":\"stopped\"")) << run_->output();
    EXPECT_TRUE(std::regex_search(run_->output(), std::regex(R"re("state":"stopped".*"reason":"breakpoint".*"frame":\{"function":"compute")re")))
        << run_->output();
    EXPECT_NE(command("frame variable x").find("(int) x = 1"), std::string::npos);
    command("breakpoint delete --force");
    command("continue");
    ASSERT_TRUE(waitForRecord("\"state\":\"exited\"")) << run_->output();
    std::string output = run_->output();
    EXPECT_NE(output.find("\"status\":0"), std::string::npos);
    // The debuggee's own output arrives as output records, never inside a result.
    EXPECT_NE(output.find("{\"type\":\"output\",\"stream\":\"stdout\",\"data\":\"step 1 total 2\\r\\n"), std::string::npos)
        << output;
    const std::regex resultRecord(R"re(\{"type":"result"[^\n]*)re");
    for (std::sregex_iterator it(output.begin(), output.end(), resultRecord), end; it != end; ++it)
        EXPECT_EQ(it->str().find("step 1 total"), std::string::npos) << it->str();
    EXPECT_EQ(run_->request("stop"), true);
    EXPECT_EQ(run_->exitStatus(), 0);
}

TEST_P(LldbSession, BreakInterruptsAnEndlessLoopAndStopEndsBackEndAndDebuggee)
{
    command("target create " + exampleProgram);
    command("breakpoint set -n spin");
    command("process launch -- spin");
    ASSERT_TRUE(waitForRecord("\"reason\":\"breakpoint\"")) << run_->output();
    command("breakpoint delete --force");
    size_t before = run_->output().size();
    command("continue");
    ASSERT_TRUE(waitForRecordAfter(before, "\"state\":\"running\""));
    before = run_->output().size();
    run_->command("break");
    ASSERT_TRUE(waitForRecordAfter(before, "\"state\":\"stopped\"")) << run_->output().substr(before);
    // Still alive after the interrupt: it answers the next command.
    EXPECT_NE(command("frame variable spins").find("\"ok\":true"), std::string::npos);
    pid_t debuggee = debuggeePid(run_->output());
    ASSERT_GT(debuggee, 0) << run_->output();
    std::vector<pid_t> backEnd = childrenOf(run_->pid());
    ASSERT_EQ(backEnd.size(), 1u);
    EXPECT_EQ(run_->request("stop"), true);
    EXPECT_EQ(run_->exitStatus(), 0);
    EXPECT_TRUE(processGone(backEnd[0]));
    EXPECT_TRUE(processGone(debuggee));
}

TEST_P(LldbSession, HostGoingAwayLeavesNoDebuggee)
{
    command("target create " + exampleProgram);
    command("process launch -- spin");
    ASSERT_TRUE(waitForRecord("\"state\":\"running\"")) << run_->output();
    pid_t debuggee = debuggeePid(run_->output());
    ASSERT_GT(debuggee, 0);
    run_->client().disconnect();
    EXPECT_EQ(run_->exitStatus(), 0);
    EXPECT_TRUE(processGone(debuggee));
}

INSTANTIATE_TEST_SUITE_P(BothBackEnds, LldbSession,
                         ::testing::Values(Layout{"lldb", "lldb-helper"}, Layout{"lldb-python", "lldb_server"}),
                         [](const auto &info) { return info.param.name == "lldb" ? std::string("Helper") : std::string("Python"); });
