// DebuggerRun against a real child: its relay and exit watch take the child up at once, but
// nothing reaches the host before the launch has been answered.

#include <gtest/gtest.h>

#include <functional>
#include <mutex>

#include "debugger/debugger_run.h"
#include "support/service_run.h"

TEST(DebuggerRunTest, AChildThatWritesAndExitsBeforeTheAnswerIsReportedOnlyAfterItInOrder)
{
    // Its threads outlive any one test: as in the service, the run is never destroyed.
    static DebuggerRun *run = new DebuggerRun;
    ASSERT_EQ(run->start(), "");

    std::mutex lock;
    bool answered = false;
    bool early = false; // something was reported before the answer
    std::string output;
    bool outputEnded = false;
    bool exited = false;
    auto note = [&](const std::function<void()> &change) {
        std::lock_guard<std::mutex> guard(lock);
        early = early || !answered;
        change();
    };

    Pipe input = Pipe::make();
    Pipe relayed = Pipe::make();
    LaunchPlan plan;
    plan.executable = LD_STANDIN_DIR "/scripted";
    plan.arguments = {plan.executable, "0", "1"};
    plan.descriptors.push_back({std::move(input.read), 0});
    plan.descriptors.push_back({std::move(relayed.write), 1});
    plan.command = std::move(input.write);
    plan.output = std::move(relayed.read);
    DebuggerRun::Events events{[&](const uint8_t *bytes, size_t count) {
                                   note([&] {
                                       output.append(reinterpret_cast<const char *>(bytes), count);
                                       outputEnded = outputEnded || count == 0;
                                   });
                               },
                               [&] { note([&] { exited = true; }); },
                               {}};
    ASSERT_TRUE(run->launch(plan, std::move(events)));
    plan.descriptors.clear();
    const std::vector<pid_t> children = childrenOf(getpid());
    ASSERT_EQ(children.size(), 1u);
    EXPECT_EQ(run->send({reinterpret_cast<const uint8_t *>("exit 0\n"), 7}), SendOutcome::Queued);

    // Exited and unreaped: everything it will ever write is in the pipe.
    ASSERT_TRUE(processGone(children[0]));
    {
        std::lock_guard<std::mutex> guard(lock);
        answered = true;
    }
    run->answered();
    ASSERT_TRUE(waitUntil([&] {
        std::lock_guard<std::mutex> guard(lock);
        return exited && outputEnded;
    }));
    std::lock_guard<std::mutex> guard(lock);
    EXPECT_FALSE(early) << "output or the exit was reported before the launch was answered";
    EXPECT_EQ(output, "scripted ready\nbye\n");
}
