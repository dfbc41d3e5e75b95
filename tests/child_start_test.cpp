// startChild against real children: the report stand-in says what it was started with.

#include <cerrno>
#include <csignal>
#include <functional>
#include <gtest/gtest.h>
#include <linux/sched.h>
#include <linux/close_range.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include "debugger/child_start.h"
#include "debugger/launch_scheduling.h"
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

// Runs the report stand-in by the plan the caller shaped, with its standard pipes, and ends it;
// whileRunning sees the child once it has reported.
Started run(LaunchPlan &plan, const std::function<void(pid_t)> &whileRunning = {})
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
        if (whileRunning)
            whileRunning(started.start.pid);
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

// A launch runs on its thread's CPU with a short time slice until it has been answered, and its
// child inherits both: once the launch ends, the back end must have what it would have inherited
// (no slice from a thread that resets its children's) and the launching thread its own back.
TEST_F(ChildStartTest, ChildGetsTheSchedulingItWouldInheritAndTheLauncherItsOwnBack)
{
    SchedulingAttributes own{};
    ASSERT_EQ(syscall(SYS_sched_getattr, 0, &own, sizeof own, 0), 0);
    own.size = sizeof own;
    cpu_set_t cpus;
    ASSERT_EQ(sched_getaffinity(0, sizeof cpus, &cpus), 0);
    struct Scheduling {
        uint64_t slice = 1;
        int cpus = 0;
        bool allCpus = false; // the CPU set this thread started with
    };
    auto schedulingOf = [&](pid_t pid) {
        Scheduling result;
        SchedulingAttributes attributes{};
        cpu_set_t set;
        if (syscall(SYS_sched_getattr, pid, &attributes, sizeof attributes, 0) == 0)
            result.slice = attributes.runtime;
        if (sched_getaffinity(pid, sizeof set, &set) == 0) {
            result.cpus = CPU_COUNT(&set);
            result.allCpus = CPU_EQUAL(&set, &cpus);
        }
        return result;
    };
    // What a plain fork gives a child of this thread.
    auto forkedSlice = [&] {
        pid_t pid = fork();
        if (pid == 0) {
            pause();
            _exit(0);
        }
        const uint64_t slice = schedulingOf(pid).slice;
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        return slice;
    };
    for (const uint64_t flags : {uint64_t{0}, uint64_t{SCHED_FLAG_RESET_ON_FORK}}) {
        SCOPED_TRACE("launcher's flags " + std::to_string(flags));
        SchedulingAttributes chosen = own;
        chosen.runtime = 2'000'000;
        chosen.flags = flags;
        if (syscall(SYS_sched_setattr, 0, &chosen, 0) != 0 || schedulingOf(0).slice != chosen.runtime)
            GTEST_SKIP() << "this kernel sets no time slice of a normal task";
        const uint64_t forked = forkedSlice();

        Scheduling launching, child, after;
        LaunchScheduling scheduling;
        LaunchPlan plan;
        plan.scheduling = &scheduling;
        ChildStart start = run(plan, [&](pid_t pid) {
                               launching = schedulingOf(0);
                               scheduling.end();
                               child = schedulingOf(pid);
                               after = schedulingOf(0);
                           }).start;
        syscall(SYS_sched_setattr, 0, &own, 0);

        ASSERT_EQ(start.outcome, ChildStart::Outcome::Started);
        EXPECT_EQ(child.slice, forked);
        EXPECT_TRUE(child.allCpus);
        EXPECT_EQ(after.slice, chosen.runtime);
        EXPECT_TRUE(after.allCpus);
        // Changed only for a thread whose children inherit it.
        EXPECT_EQ(launching.slice < chosen.runtime, flags == 0);
        EXPECT_EQ(launching.cpus == 1, flags == 0 || CPU_COUNT(&cpus) == 1);
    }
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
