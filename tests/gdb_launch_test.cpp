// launch_gdb with stand-in back ends in a copy of the bundle: what the child is given, how
// bytes and signals reach it, and how its end ends the run.

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <regex>
#include <sys/socket.h>

#include "platform/unique_fd.h"
#include "support/service_run.h"

namespace {

class GdbLaunch : public ::testing::Test {
protected:
    // A service whose gdb-x86_64 is the given stand-in, and gdb-aarch64 the "report" one.
    std::unique_ptr<ServiceRun> start(const std::string &standin)
    {
        makeBundleCopy(bundle_.path(), {{"gdb-x86_64", standin}, {"gdb-aarch64", "report"}});
        return std::make_unique<ServiceRun>(bundle_.path(), std::vector<std::string>{"SERVICE_ONLY=1"});
    }

    TempDir bundle_;
};

} // namespace

TEST_F(GdbLaunch, OneChildOfTheArchGetsItsArgumentsExactlyTheEnvironmentSentOnlyPipesAndCleanSignals)
{
    using Lines = std::vector<std::string>;
    const std::vector<std::tuple<std::optional<std::string>, std::optional<Lines>, std::string>> cases = {
        {std::nullopt, Lines{"B=2", "A=1", "B=3", "NOEQUALS", "EMPTY="}, "gdb-x86_64"},
        {"aarch64", std::nullopt, "gdb-aarch64"},
        {"AARCH64", Lines{}, "gdb-x86_64"},
        {"arm64", std::nullopt, "gdb-x86_64"},
    };
    for (const auto &[arch, block, executable] : cases) {
        SCOPED_TRACE(arch.value_or("no arch"));
        auto run = start("report");
        if (block)
            run->setEnvironment(*block);
        EXPECT_EQ(run->launchGdb(arch), true);
        auto report = reportOf(*run);
        Lines argv = {bundle_.path() + "/" + executable, "--quiet", "--interpreter=mi2", "--nx", "-D", "."};
        EXPECT_EQ(report.argv, argv);
        EXPECT_EQ(report.environment, block.value_or(Lines{}));
        EXPECT_EQ(descriptorNumbers(report), (std::vector<int>{0, 1, 2}));
        for (const auto &[fd, target] : report.descriptors)
            EXPECT_TRUE(target.starts_with("pipe:")) << "descriptor " << fd << " is " << target;
        EXPECT_EQ(report.blocked + report.ignored, "");
        EXPECT_EQ(run->launchGdb(arch), false) << "a second launch in one run";
        EXPECT_EQ(childrenOf(run->pid()), std::vector<pid_t>{report.pid});
        EXPECT_EQ(run->request("stop"), true);
    }
}

// Under nohup, or started in the background by a shell, the service inherits ignored signals:
// its back ends inherit them as any child would; only the service's own change is undone.
TEST_F(GdbLaunch, SignalsTheServicesStarterIgnoredStayIgnoredInTheChild)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"HUP", "1,"},
        {"HUP INT PIPE", "1,2,13,"},
    };
    for (const auto &[ignored, inChild] : cases) {
        SCOPED_TRACE(ignored);
        TempDir bundle;
        makeBundleCopy(bundle.path(), {{"gdb-x86_64", "report"}});
        std::filesystem::rename(bundle.path() + "/local-debugger", bundle.path() + "/local-debugger.real");
        writeFile(bundle.path() + "/local-debugger",
                  "#!/bin/sh\ntrap '' " + ignored + "\nexec \"$(dirname \"$0\")/local-debugger.real\"\n", 0755);
        ServiceRun run(bundle.path());
        EXPECT_EQ(run.launchGdb(), true);
        EXPECT_EQ(reportOf(run).ignored, inChild);
        EXPECT_EQ(run.request("stop"), true);
    }
}

TEST_F(GdbLaunch, SendReachesTheChildUnchangedBreakIsSigintAndStopIsSigtermThenExitZero)
{
    auto run = start("report");
    EXPECT_EQ(run->launchGdb(), true);
    auto report = reportOf(*run);
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes.push_back(static_cast<char>(i));
    bytes += std::string(3 << 20, 'q') + "tail-marker";
    run->send(bytes.substr(0, 1000));
    run->send(bytes.substr(1000));
    ASSERT_TRUE(run->waitForOutput("tail-marker"));
    EXPECT_EQ(run->output().substr(run->output().find("END-REPORT\n") + 11), bytes);
    run->command("break");
    EXPECT_TRUE(run->waitForOutput("<SIGINT>\n"));
    EXPECT_EQ(run->request("stop"), true);
    EXPECT_EQ(run->exitStatus(), 0);
    EXPECT_TRUE(processGone(report.pid));
}

TEST_F(GdbLaunch, ChildExitEndsTheRunAfterEverythingItWroteReachedTheHostAndNothingOfItsStandardError)
{
    auto run = start("scripted");
    ASSERT_EQ(run->launchGdb(), true);
    // Its unread standard error, flooded first, must not block it.
    run->send("stderr 4194304\nflood 8388608\nexit 7\n");
    EXPECT_EQ(run->exitStatus(), 0);
    ASSERT_TRUE(run->connectionClosed());
    std::string expected = "scripted ready\nstderr done\n";
    for (size_t i = 0; i < 8388608; ++i)
        expected.push_back(static_cast<char>('a' + i % 26));
    EXPECT_TRUE(run->output() == expected + "bye\n") << run->output().size() << " bytes arrived";
}

TEST_F(GdbLaunch, AllTheOutputOfAnExitedChildReachesAHostThatStoppedReadingForAWhile)
{
    auto run = start("scripted");
    ASSERT_EQ(run->launchGdb(), true);
    // The socket (some 3 MiB where the system allows 4), the relay buffer and the pipe take in
    // all the child writes: it exits while the host is away, longer than a host that stopped for
    // good is waited for.
    constexpr size_t flood = 4 << 20;
    run->pauseReading(4s);
    run->send("flood " + std::to_string(flood) + "\nexit 0\n");
    EXPECT_EQ(run->exitStatus(), 0);
    ASSERT_TRUE(run->connectionClosed());
    std::string expected = "scripted ready\n";
    for (size_t i = 0; i < flood; ++i)
        expected.push_back(static_cast<char>('a' + i % 26));
    EXPECT_TRUE(run->output() == expected + "bye\n") << run->output().size() << " bytes arrived";
}

TEST_F(GdbLaunch, AnOutputPipeKeptOpenByTheChildsOwnChildDoesNotHoldTheRunOpen)
{
    auto run = start("scripted");
    ASSERT_EQ(run->launchGdb(), true);
    run->send("linger 120\nexit 0\n");
    EXPECT_EQ(run->exitStatus(), 0);
    const std::string output = run->output();
    const size_t at = output.find("lingering ");
    ASSERT_NE(at, std::string::npos) << output;
    const pid_t lingering = std::stoi(output.substr(at + 10));
    EXPECT_EQ(kill(lingering, 0), 0) << "the pipe's holder ended first: nothing was proved";
    EXPECT_NE(output.find("bye\n"), std::string::npos) << output;
    kill(lingering, SIGKILL);
}

TEST_F(GdbLaunch, StopIsAnsweredWhileSendBytesWaitForAStoppedChild)
{
    auto run = start("report");
    EXPECT_EQ(run->launchGdb(), true);
    auto report = reportOf(*run);
    kill(report.pid, SIGSTOP);
    run->send(std::string(8 << 20, 'z'));
    // A stopped child is not an ended one: the run goes on and answers.
    EXPECT_EQ(run->request("stop"), true);
    EXPECT_EQ(run->exitStatus(), 0);
    kill(report.pid, SIGCONT);
    EXPECT_TRUE(processGone(report.pid));
}

TEST_F(GdbLaunch, DescriptorsInheritedBeyondTheActivationSocketReachNoBackEnd)
{
    makeBundleCopy(bundle_.path(), {{"gdb-x86_64", "report"}});
    int second[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, second), 0);
    UniqueFd stray(open("/dev/null", O_RDONLY | O_CLOEXEC));
    ListeningService service(bundle_.path(), {{second[0], 4}, {stray.get(), 7}});
    close(second[0]);
    close(second[1]);
    auto run = ServiceRun::connect(service.path);
    ASSERT_TRUE(run);
    EXPECT_EQ(run->launchGdb(), true);
    EXPECT_EQ(descriptorNumbers(reportOf(*run)), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(run->request("stop"), true);
    EXPECT_EQ(rawExitStatus(service.pid), 0);
}

TEST_F(GdbLaunch, BackEndThatCannotBeExecutedIsRefusedWithItsReasonAndTheRunGoesOn)
{
    makeBundleCopy(bundle_.path(), {{"gdb-aarch64", "report"}});
    const std::string broken = bundle_.path() + "/gdb-x86_64";
    writeFile(broken, "not a program\n", 0755);
    TempDir logs;
    UniqueFd console(open((logs.path() + "/stderr").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    ServiceRun run(bundle_.path(), {}, console.get());

    EXPECT_EQ(run.launchGdb(), false);
    EXPECT_NE(readFile(logs.path() + "/stderr").find("Cannot execute " + broken + ": Exec format error\n"),
              std::string::npos);
    EXPECT_TRUE(childrenOf(run.pid()).empty()) << "the failed child is reaped at once";
    EXPECT_EQ(run.launchGdb("aarch64"), true);
    EXPECT_EQ(childrenOf(run.pid()), std::vector<pid_t>{reportOf(run).pid});
    EXPECT_EQ(run.request("stop"), true);
    EXPECT_EQ(run.exitStatus(), 0);
}

// A launch's console lines are written once its reply has gone, whole and in order; a launcher
// found at start but gone at the launch fails at its exec with the reason, and one added after
// the start is found at its launch.
TEST_F(GdbLaunch, LaunchLinesFollowTheReplyInOrderAndLaunchersAreFoundWhereverTheyAreAtTheLaunch)
{
    makeBundleCopy(bundle_.path(), {{"gdb-x86_64", "report"}, {"gdb-aarch64", "report"}});
    const std::string aarch64 = bundle_.path() + "/gdb-aarch64", x86 = bundle_.path() + "/gdb-x86_64";
    std::filesystem::rename(aarch64, aarch64 + ".later");
    TempDir logs;
    const std::string stderrPath = logs.path() + "/stderr";
    UniqueFd console(open(stderrPath.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
    ServiceRun run(bundle_.path(), {}, console.get());
    // The launchers are looked for before the service says it is launching.
    for (int i = 0; i < 500 && readFile(stderrPath).find("launching local debugger") == std::string::npos; ++i)
        usleep(10000);
    std::filesystem::rename(x86, x86 + ".gone");
    std::filesystem::rename(aarch64 + ".later", aarch64);

    EXPECT_EQ(run.launchGdb(), false);
    const std::string refused = readFile(stderrPath);
    const std::regex line(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} local-debugger\[\d+:\d+\] Launching GDB…\n)"
                          R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} local-debugger\[\d+:\d+\] Cannot execute )" +
                          x86 + R"(: No such file or directory\n$)");
    EXPECT_TRUE(std::regex_search(refused, line)) << refused;

    EXPECT_EQ(run.launchGdb("aarch64"), true);
    std::string launched;
    for (int i = 0; i < 500 && (launched = readFile(stderrPath)).size() == refused.size(); ++i)
        usleep(10000);
    EXPECT_TRUE(std::regex_match(
        launched.substr(refused.size()),
        std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} local-debugger\[\d+:\d+\] Launching GDB…\n)")))
        << launched;
    EXPECT_EQ(reportOf(run).argv.at(0), aarch64);
    EXPECT_EQ(run.request("stop"), true);
}
