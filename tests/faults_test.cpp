// Faults during a real debugging run: the host going away, the service itself killed. The
// back end must die, the debuggee must not survive, and the service must end with 0.

#include <gtest/gtest.h>

#include <csignal>
#include <regex>
#include <thread>

#include "support/service_run.h"

namespace {

const std::string exampleProgram = LD_BIN_DIR "/example-program";

// Launches GDB, starts the example program spinning, and returns the debuggee's pid.
pid_t startSpinningDebuggee(ServiceRun &run)
{
    run.setEnvironment({"HOME=/tmp"});
    EXPECT_EQ(run.launchGdb(), true);
    run.send("-file-exec-and-symbols " + exampleProgram + "\n-exec-arguments spin\n-exec-run\n");
    EXPECT_TRUE(run.waitForOutput("*running", 20s)) << run.output();
    std::smatch match;
    std::string output = run.output();
    if (!std::regex_search(output, match, std::regex(R"re(=thread-group-started,id="i1",pid="(\d+)")re")))
        return -1;
    return std::stoi(match[1]);
}

pid_t onlyChild(pid_t parent)
{
    auto children = childrenOf(parent);
    return children.size() == 1 ? children[0] : -1;
}

class Faults : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (access("/usr/bin/gdb", X_OK) != 0)
            GTEST_SKIP() << "GDB is not installed";
    }
};

} // namespace

TEST_F(Faults, HostClosingItsConnectionKillsGdbAndItsDebuggeeEveryTime)
{
    for (int round = 0; round < 10; ++round) {
        ServiceRun run;
        pid_t debuggee = startSpinningDebuggee(run);
        ASSERT_GT(debuggee, 0);
        pid_t gdb = onlyChild(run.pid());
        ASSERT_GT(gdb, 0);
        run.client().disconnect();
        EXPECT_EQ(run.exitStatus(), 0) << "round " << round;
        EXPECT_TRUE(processGone(gdb)) << "round " << round;
        EXPECT_TRUE(processGone(debuggee)) << "round " << round;
    }
}

TEST_F(Faults, HostKilledWithSigkillLeavesNothingRunning)
{
    for (int round = 0; round < 5; ++round) {
        // The host is a process of its own here, so that it can die for real.
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        pid_t host = fork();
        if (host == 0) {
            close(ready[0]);
            ServiceRun run;
            pid_t debuggee = startSpinningDebuggee(run);
            pid_t pids[3] = {run.pid(), onlyChild(run.pid()), debuggee};
            if (write(ready[1], pids, sizeof pids) != sizeof pids)
                _exit(1);
            for (;;)
                pause();
        }
        close(ready[1]);
        pid_t pids[3] = {-1, -1, -1};
        ASSERT_EQ(read(ready[0], pids, sizeof pids), static_cast<ssize_t>(sizeof pids));
        close(ready[0]);
        for (pid_t pid : pids)
            ASSERT_GT(pid, 0);
        kill(host, SIGKILL);
        waitpid(host, nullptr, 0);
        for (pid_t pid : pids)
            EXPECT_TRUE(processGone(pid)) << "round " << round << " pid " << pid;
    }
}

TEST_F(Faults, ServiceKilledWithSigkillTakesGdbAndItsDebuggeeWithIt)
{
    ServiceRun run;
    pid_t debuggee = startSpinningDebuggee(run);
    ASSERT_GT(debuggee, 0);
    pid_t gdb = onlyChild(run.pid());
    ASSERT_GT(gdb, 0);
    kill(run.pid(), SIGKILL);
    EXPECT_TRUE(processGone(gdb));
    EXPECT_TRUE(processGone(debuggee));
}
