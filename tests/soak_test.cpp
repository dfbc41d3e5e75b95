// Many runs back to back, each ended another way, and a gigabyte of output through a slow
// host: nothing may accumulate, be left behind or be lost, and the service's memory stays bounded.

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
    for (const std::string ending : {"stop", "host goes away", "child exits", "child exits at once", "stop in a flood"}) {
        TempDir bundle;
        bool reports = ending == "stop" || ending == "host goes away";
        makeBundleCopy(bundle.path(), {{"gdb-x86_64", reports ? "report" : ending.ends_with("once") ? "exit_now" : "scripted"}});
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

TEST(Soak, GigabyteReachesASlowHostWholeAndInOrderWithBoundedServiceMemory)
{
    TempDir bundle;
    makeBundleCopy(bundle.path(), {{"gdb-x86_64", "scripted"}});
    const std::string greeting = "scripted ready\n";
    const uint64_t total = greeting.size() + (1ull << 30);
    std::mutex lock;
    std::condition_variable changed;
    uint64_t received = 0;
    bool intact = true;
    ServiceClient::Callbacks callbacks;
    callbacks.onMessage = [&](const Message &message) {
        const MessageBytes *data = message.dictionary.getData("data");
        // A slow host at first: the service must wait for it, not queue without bound.
        if (received < (1u << 20))
            std::this_thread::sleep_for(2ms);
        std::lock_guard<std::mutex> guard(lock);
        for (size_t i = 0; data != nullptr && i < data->size(); ++i, ++received) {
            uint64_t at = received - greeting.size();
            intact = intact && (*data)[i] == (received < greeting.size() ? greeting[received] : 'a' + at % 26);
        }
        changed.notify_all();
    };
    auto client = ServiceClient::start({bundle.path() + "/local-debugger", std::vector<std::string>{}}, callbacks);
    ASSERT_EQ(client->requestResult("launch_gdb", 10s), true);
    std::string flood = "flood 1073741824\n";
    client->sendData("send", MessageBytes(flood.begin(), flood.end()));
    std::unique_lock<std::mutex> guard(lock);
    ASSERT_TRUE(changed.wait_for(guard, 120s, [&] { return received >= total; }));
    guard.unlock();
    long peak = residentPeakKiB(client->pid());
    EXPECT_EQ(client->requestResult("stop", 10s), true);
    EXPECT_EQ(client->waitForExit(10s), 0);
    EXPECT_EQ(received, total);
    EXPECT_TRUE(intact) << "a byte of the flood was changed, lost or reordered";
    EXPECT_LT(peak, 16 * 1024) << "service peak resident memory in KiB";
}
