// A thousand debugging runs of each kind back to back, through the host library: nothing may
// accumulate in the host's process or be left behind on the machine.

#include <gtest/gtest.h>

#include <cerrno>
#include <sys/wait.h>

#include "support/service_run.h"

namespace {

const int runsPerKind = stressRuns(1000);

std::string floodPattern(size_t count)
{
    std::string bytes;
    for (size_t i = 0; i < count; ++i)
        bytes.push_back(static_cast<char>('a' + i % 26));
    return bytes;
}

} // namespace

TEST(Soak, ThousandRunsOfEachEndingLeaveNoDescriptorZombieOrOrphanAndLoseNoOutput)
{
    TempDir reportBundle;
    TempDir scriptedBundle;
    makeBundleCopy(reportBundle.path(), {{"gdb-x86_64", "report"}});
    makeBundleCopy(scriptedBundle.path(), {{"gdb-x86_64", "scripted"}});
    const size_t descriptorsBefore = openDescriptorCount();

    auto options = [](const std::string &bundle) {
        ServiceRun::Options o;
        o.bundleDir = bundle;
        o.diagnosticsOnStderr = false;
        return o;
    };

    // Ended by stop, and by the host going away: launch, a few sends, the end.
    for (bool hostGoesAway : {false, true}) {
        for (int i = 0; i < runsPerKind; ++i) {
            ServiceRun run(options(reportBundle.path()));
            ASSERT_EQ(run.launchGdb(), true) << i;
            run.send("one ");
            run.send("two ");
            run.send("three.");
            ASSERT_TRUE(run.waitForOutput("one two three.")) << i;
            auto report = parseStandinReport(run.output());
            ASSERT_TRUE(report.has_value()) << i;
            if (hostGoesAway)
                run.client().disconnect();
            else
                ASSERT_EQ(run.request("stop"), true) << i;
            ASSERT_EQ(run.exitStatus(), 0) << i;
            // Checked run by run: over thousands of runs the system reuses pids.
            EXPECT_TRUE(processGone(report->pid, 5s)) << "back end of run " << i << " survived";
            // The back end may note stop's SIGTERM before the service is gone.
            std::string echoed = run.output().substr(run.output().find("END-REPORT\n") + 11);
            EXPECT_TRUE(echoed == "one two three." || echoed == "one two three.<SIGTERM>\n") << i << ": " << echoed;
        }
    }

    // Ended by the back end's own exit: everything it wrote arrives first.
    const std::string expected = "scripted ready\n" + floodPattern(5000) + "bye\n";
    for (int i = 0; i < runsPerKind; ++i) {
        ServiceRun run(options(scriptedBundle.path()));
        ASSERT_EQ(run.launchGdb(), true) << i;
        run.send("flood 5000\nexit 0\n");
        ASSERT_EQ(run.exitStatus(), 0) << i;
        ASSERT_TRUE(run.connectionClosed()) << i;
        EXPECT_EQ(run.output(), expected) << i;
    }

    EXPECT_EQ(openDescriptorCount(), descriptorsBefore);
    int status = 0;
    errno = 0;
    EXPECT_EQ(waitpid(-1, &status, WNOHANG), -1) << "a child of the host was left unreaped";
    EXPECT_EQ(errno, ECHILD);
}
