// Real GDB/MI sessions through the service, debugging the example program.

#include <gtest/gtest.h>

#include <regex>

#include "support/service_run.h"

namespace {

const std::string exampleProgram = LD_BIN_DIR "/example-program";

bool gdbInstalled()
{
    return access("/usr/bin/gdb", X_OK) == 0;
}

class GdbSession : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!gdbInstalled())
            GTEST_SKIP() << "GDB is not installed";
        run_ = std::make_unique<ServiceRun>();
        run_->setEnvironment({"HOME=/tmp", "PATH=/usr/bin:/bin"});
        ASSERT_EQ(run_->launchGdb(), true);
        mi("-file-exec-and-symbols " + exampleProgram, "^done");
    }

    // Sends one MI command line and waits for text that follows it.
    void mi(const std::string &command, const std::string &expected)
    {
        size_t before = run_->output().size();
        run_->send(command + "\n");
        ASSERT_TRUE(waitAfter(before, expected)) << "no " << expected << " after " << command << "\n"
                                                 << run_->output().substr(before);
    }

    bool waitAfter(size_t offset, const std::string &expected, std::chrono::milliseconds timeout = 20s)
    {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            if (run_->output().find(expected, offset) != std::string::npos)
                return true;
            run_->waitForOutput(expected, 100ms);
        }
        return false;
    }

    std::unique_ptr<ServiceRun> run_;
};

} // namespace

TEST_F(GdbSession, BreakpointHitStopsInComputeWithItsArgument)
{
    mi("-break-insert compute", "^done,bkpt=");
    mi("-exec-run", "*stopped,reason=\"breakpoint-hit\"");
    std::string output = run_->output();
    EXPECT_TRUE(std::regex_search(output, std::regex(R"(\*stopped,reason="breakpoint-hit".*func="compute",args=\[\{name="x",value="1"\}\])")));
    mi("-data-evaluate-expression x*10", "^done,value=\"10\"");
    mi("-break-delete", "^done");
    mi("-exec-continue", "*stopped,reason=\"exited-normally\"");
    EXPECT_NE(run_->output().find("done 17"), std::string::npos);
    EXPECT_EQ(run_->request("stop"), true);
    EXPECT_EQ(run_->exitStatus(), 0);
}

TEST_F(GdbSession, BreakInterruptsAProgramInAnEndlessLoop)
{
    mi("-exec-arguments spin", "^done");
    mi("-break-insert spin", "^done");
    mi("-exec-run", "*stopped,reason=\"breakpoint-hit\"");
    mi("-break-delete", "^done");
    mi("-exec-continue", "*running");
    size_t before = run_->output().size();
    run_->command("break");
    ASSERT_TRUE(waitAfter(before, "*stopped,reason=\"signal-received\",signal-name=\"SIGINT\"")) << run_->output().substr(before);
    EXPECT_NE(run_->output().find("func=\"spin\"", before), std::string::npos) << run_->output().substr(before);
    mi("-exec-continue", "*running");
    before = run_->output().size();
    run_->command("break");
    ASSERT_TRUE(waitAfter(before, "signal-name=\"SIGINT\"")) << "a second interrupt was lost";
    EXPECT_EQ(run_->request("stop"), true);
    EXPECT_EQ(run_->exitStatus(), 0);
}

TEST_F(GdbSession, GdbExitEndsTheServiceAfterItsLastOutputArrived)
{
    run_->send("-gdb-exit\n");
    EXPECT_EQ(run_->exitStatus(20s), 0);
    ASSERT_TRUE(run_->connectionClosed());
    EXPECT_NE(run_->output().find("^exit"), std::string::npos) << run_->output();
}
