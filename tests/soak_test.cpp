// Many runs back to back, each ended another way: nothing may accumulate, be left behind or be
// lost.

#include <gtest/gtest.h>

#include <iostream>
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

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// A sanitizer's runtime and shadow alone take more than the bound, and it copies far slower.
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif

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

// The back end reads slower than the host sends, so the service holds its bound of sent bytes
// most of the time; its peak resident memory (VmHWM, the kernel's own peak) stays below 80 MiB.
TEST(Soak, AGibibyteSentInMebibytePiecesToASlowReaderArrivesByteExactWithTheServiceUnderEightyMiB)
{
    TempDir bundle;
    makeBundleCopy(bundle.path(), {{"gdb-x86_64", "scripted"}});
    ServiceRun run(bundle.path());
    ASSERT_EQ(run.launchGdb(), true);
    const size_t total = sanitized ? size_t{128} << 20 : size_t{1} << 30;
    run.send("absorb " + std::to_string(total) + " 3000 2000\n");
    sendPattern(run, total);
    ASSERT_TRUE(run.waitForOutput("absorbed " + std::to_string(total) + " mismatches 0\n", 300s)) << run.output();
    const long peakKiB = statusKiB(run.pid(), "VmHWM");
    std::cout << "service peak resident memory: " << peakKiB << " KiB\n";
    if (!sanitized) {
        EXPECT_LT(peakKiB, 80 * 1024);
    }
    EXPECT_EQ(run.request("stop"), true);
    EXPECT_EQ(run.exitStatus(), 0);
}
