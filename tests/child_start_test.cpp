// startChild against real children: the report stand-in says what it was started with.

#include <cerrno>
#include <csignal>
#include <gtest/gtest.h>
#include <linux/close_range.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include "debugger/child_start.h"
#include "debugger/pipe_stock.h"
#include "platform/child_signals.h"
#include "support/service_run.h"

namespace {

struct Started {
    ChildStart start;
    StandinReport report;
};

std::string readReport(int fd)
{
    std::string text;
    char buffer[4096];
    while (text.find("END-REPORT") == std::string::npos) {
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0)
            break;
        text.append(buffer, static_cast<size_t>(got));
    }
    return text;
}

// Runs the report stand-in by the plan the caller shaped, with its standard pipes, and ends it.
Started run(LaunchPlan &plan)
{
    Pipe input = Pipe::make();
    Pipe output = Pipe::make();
    plan.executable = plan.executable.empty() ? LD_STANDIN_DIR "/report" : plan.executable;
    if (plan.arguments.empty())
        plan.arguments = {plan.executable};
    plan.descriptors.push_back({std::move(input.read), 0});
    plan.descriptors.push_back({std::move(output.write), 1});
    Started started{startChild(plan), {}};
    plan.descriptors.clear(); // the service closes its copies of the child's ends
    if (started.start.outcome == ChildStart::Outcome::Started) {
        started.report = parseStandinReport(readReport(output.read.get())).value_or(StandinReport{});
        input.write.reset();
        siginfo_t info{};
        waitid(P_PIDFD, static_cast<id_t>(started.start.pidfd.get()), &info, WEXITED);
    }
    return started;
}

class ChildStartTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // As the service at start: nothing inherited reaches a child unless placed.
        syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC);
    }
};

TEST_F(ChildStartTest, ChildGetsExactlyItsArgumentsEnvironmentAndPlacedDescriptors)
{
    Pipe command = Pipe::make();
    const int kept = command.read.get();
    LaunchPlan plan;
    plan.executable = LD_STANDIN_DIR "/report";
    plan.arguments = {plan.executable, "two words", "", std::to_string(kept)};
    plan.environment = {"A=1", "EMPTY=", "A=again"};
    plan.descriptors.push_back({std::move(command.read), kept});
    Started started = run(plan);

    ASSERT_EQ(started.start.outcome, ChildStart::Outcome::Started);
    EXPECT_EQ(started.report.argv, plan.arguments);
    EXPECT_EQ(started.report.environment, plan.environment);
    std::vector<int> numbers;
    for (const auto &[number, target] : started.report.descriptors)
        numbers.push_back(number);
    EXPECT_EQ(numbers, (std::vector<int>{0, 1, 2, kept}));
    EXPECT_EQ(started.report.descriptors.back().second.rfind("pipe:", 0), 0u);
}

TEST_F(ChildStartTest, ChildStartsFromTheStartupMaskLessTheUnblockedWithNoDispositionKept)
{
    sigset_t blocked;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGUSR1);
    sigset_t before;
    pthread_sigmask(SIG_BLOCK, &blocked, &before);
    recordStartupSignals();
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    signal(SIGPIPE, SIG_IGN);
    signal(SIGHUP, SIG_IGN);
    recordChangedDispositions();

    LaunchPlan plan;
    sigaddset(&plan.unblocked, SIGINT);
    Started started = run(plan);
    signal(SIGHUP, SIG_DFL);
    recordChangedDispositions();

    ASSERT_EQ(started.start.outcome, ChildStart::Outcome::Started);
    EXPECT_EQ(started.report.blocked, std::to_string(SIGUSR1) + ",");
    EXPECT_EQ(started.report.ignored, "");
}

TEST_F(ChildStartTest, ExecFailureIsReportedWithItsErrnoAndTheChildIsReaped)
{
    const std::pair<const char *, int> cases[] = {
        {"/nonexistent/back-end", ENOENT},
        {"/", EACCES},
        {"/etc/passwd", EACCES},
    };
    for (const auto &[path, error] : cases) {
        LaunchPlan plan;
        plan.executable = path;
        Started started = run(plan);
        EXPECT_EQ(started.start.outcome, ChildStart::Outcome::NotExecuted) << path;
        EXPECT_EQ(started.start.error, error) << path;
        EXPECT_FALSE(started.start.pidfd) << path;
        EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << path << ": a child is left unreaped";
        EXPECT_EQ(errno, ECHILD);
    }
}

// send writes the command pipe from the connection's thread, so its write end must never block,
// while the child reads its end as an ordinary blocking descriptor; both stocked and made late.
TEST(PipeStockTest, PipesAreCloseOnExecAndOnlyTheCommandWriteEndDoesNotBlock)
{
    PipeStock stock;
    stock.fill();
    auto nonBlocking = [](const UniqueFd &fd) { return (fcntl(fd.get(), F_GETFL) & O_NONBLOCK) != 0; };
    auto closeOnExec = [](const UniqueFd &fd) { return (fcntl(fd.get(), F_GETFD) & FD_CLOEXEC) != 0; };
    std::vector<Pipe> taken;
    // More than the stock holds of each kind.
    for (int i = 0; i < 8; ++i) {
        const bool command = i % 3 == 0;
        SCOPED_TRACE((command ? "command pipe " : "pipe ") + std::to_string(i));
        Pipe pipe = command ? stock.takeCommand() : stock.take();
        ASSERT_TRUE(pipe.read && pipe.write);
        EXPECT_EQ(nonBlocking(pipe.write), command);
        EXPECT_FALSE(nonBlocking(pipe.read));
        EXPECT_TRUE(closeOnExec(pipe.read) && closeOnExec(pipe.write));
        taken.push_back(std::move(pipe));
    }
}

} // namespace
