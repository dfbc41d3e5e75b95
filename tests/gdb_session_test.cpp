// Real GDB/MI runs through the service, debugging the example programs: a whole session, no
// socket reaching GDB or its debuggee, and nothing left running however the run ends.

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <regex>

#include "support/service_run.h"

namespace {

class GdbSession : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (access("/usr/bin/gdb", X_OK) != 0)
            GTEST_SKIP() << "GDB is not installed";
    }

    // Sends one MI command line and waits for text that follows it.
    void mi(ServiceRun &run, const std::string &command, const std::string &expected)
    {
        size_t before = run.output().size();
        run.send(command + "\n");
        ASSERT_TRUE(run.waitForOutput(expected, 20s, before)) << command << ":\n" << run.output().substr(before);
    }

    void launch(ServiceRun &run, const std::string &program = LD_BIN_DIR "/example-program")
    {
        run.setEnvironment({"HOME=/tmp", "PATH=/usr/bin:/bin"});
        ASSERT_EQ(run.launchGdb(), true);
        mi(run, "-file-exec-and-symbols " + program, "^done");
    }
};

} // namespace

TEST_F(GdbSession, BreakpointVariableInterruptAndExitEndTheServiceAfterTheLastOutput)
{
    ServiceRun run;
    launch(run);
    mi(run, "-break-insert compute", "^done,bkpt=");
    mi(run, "-exec-run", "*stopped,reason=\"breakpoint-hit\"");
    EXPECT_TRUE(std::regex_search(run.output(), std::regex(R"(func="compute",args=\[\{name="x",value="1"\}\])")));
    mi(run, "-data-evaluate-expression x*10", "^done,value=\"10\"");
    mi(run, "-break-delete", "^done");
    mi(run, "-exec-continue", "*stopped,reason=\"exited-normally\"");
    EXPECT_NE(run.output().find("done 17"), std::string::npos);
    mi(run, "-exec-arguments spin", "^done");
    mi(run, "-exec-run", "*running");
    for (int round = 0; round < 2; ++round) {
        if (round > 0)
            mi(run, "-exec-continue", "*running");
        size_t before = run.output().size();
        run.command("break");
        ASSERT_TRUE(run.waitForOutput("signal-name=\"SIGINT\"", 20s, before)) << run.output().substr(before);
    }
    mi(run, "-gdb-exit", "^exit");
    EXPECT_EQ(run.exitStatus(), 0);
    EXPECT_TRUE(run.connectionClosed());
}

TEST_F(GdbSession, GdbAndItsDebuggeeHoldNoSocketAndEndWithTheConnectionOrAKilledService)
{
    for (bool serviceKilled : {false, true}) {
        ServiceRun run;
        launch(run);
        mi(run, "-exec-arguments spin", "^done");
        mi(run, "-exec-run", "*running");
        std::smatch match;
        std::string output = run.output();
        ASSERT_TRUE(std::regex_search(output, match, std::regex(R"re(=thread-group-started,id="i1",pid="(\d+)")re")));
        std::vector<pid_t> gdbAndDebuggee = {childrenOf(run.pid()).at(0), std::stoi(match[1])};
        std::error_code closed;
        for (pid_t pid : gdbAndDebuggee) {
            for (const auto &fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd"))
                EXPECT_FALSE(std::filesystem::read_symlink(fd, closed).string().starts_with("socket:")) << pid;
        }
        if (serviceKilled)
            kill(run.pid(), SIGKILL);
        else
            run.client().disconnect();
        EXPECT_EQ(run.exitStatus(), serviceKilled ? std::nullopt : std::optional<int>(0));
        for (pid_t pid : gdbAndDebuggee)
            EXPECT_TRUE(processGone(pid)) << pid << (serviceKilled ? " outlived the service" : " outlived the run");
    }
}

TEST_F(GdbSession, GdbKeepsItsOwnPythonSoLibraryValuesPrintThroughTheirPrettyPrinters)
{
    ServiceRun run;
    launch(run, LD_STANDIN_DIR "/vector_program");
    mi(run, "-break-insert main", "^done,bkpt=");
    mi(run, "-exec-run", "*stopped,reason=\"breakpoint-hit\"");
    mi(run, "-exec-next", "*stopped,reason=\"end-stepping-range\"");
    mi(run, "-data-evaluate-expression v", "^done,value=\"std::vector of length 3, capacity 3 = {1, 2, 3}\"");
    mi(run, "-gdb-exit", "^exit");
    EXPECT_EQ(run.exitStatus(), 0);
    EXPECT_EQ(run.output().find("Python Exception"), std::string::npos) << run.output();
}
