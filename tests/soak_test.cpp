// Many runs back to back, each ended another way: nothing may accumulate, be left behind or be
// lost.

#include <gtest/gtest.h>

#include <sys/wait.h>

#include "support/service_run.h"

namespace {

std::string floodPattern(size_t count)
{
    std::string bytes;
    for (size_t i = 0; i < count; ++i)
        bytes.push_back(static_cast<char>('a' + i % 26));
    return bytes;
}

} // namespace

TEST(Soak, RunsOfEveryEndingLeaveNoDescriptorZombieOrOrphanAndLoseNoOutput)
{
    const size_t descriptorsBefore = descriptorCount(getpid());
    for (const std::string ending : {"stop", "host goes away", "child exits", "exits at once", "stop in a flood"}) {
        TempDir bundle;
        bool reports = ending == "stop" || ending == "host goes away";
        std::string standin = reports ? "report" : ending == "exits at once" ? "exit_now" : "scripted";
        makeBundleCopy(bundle.path(), {{"gdb-x86_64", standin}});
        for (int i = 0, runs = stressRuns(300); i < runs; ++i) {
            SCOPED_TRACE(ending + ", run " + std::to_string(i));
            ServiceRun run(bundle.path());
            ASSERT_EQ(run.launchGdb(), true);
            if (reports) {
                run.send("one ");
                run.send("two.");
                ASSERT_TRUE(run.waitForOutput("one two."));
                pid_t child = parseStandinReport(run.output())->pid;
                if (ending == "stop")
                    ASSERT_EQ(run.request("stop"), true);
                else
                    run.client().disconnect();
                ASSERT_EQ(run.exitStatus(), 0);
                // Checked run by run: over many runs the system reuses pids.
                EXPECT_TRUE(processGone(child));
            } else if (ending == "child exits") {
                run.send("flood 5000\nexit 0\n");
                ASSERT_EQ(run.exitStatus(), 0);
                ASSERT_TRUE(run.connectionClosed());
                EXPECT_EQ(run.output(), "scripted ready\n" + floodPattern(5000) + "bye\n");
            } else if (ending == "stop in a flood") {
                run.send("flood 999999999\n");
                ASSERT_TRUE(run.waitForOutput(floodPattern(100)));
                ASSERT_EQ(run.request("stop"), true);
                ASSERT_EQ(run.exitStatus(), 0);
            } else {
                ASSERT_EQ(run.exitStatus(), 0);
            }
        }
    }
    EXPECT_EQ(descriptorCount(getpid()), descriptorsBefore);
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "a child of the host was left unreaped";
}
