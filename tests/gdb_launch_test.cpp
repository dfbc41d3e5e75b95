// launch_gdb with stand-in back ends in a copy of the bundle: what the child is given, how
// bytes and signals reach it, and how its end ends the run.

#include <gtest/gtest.h>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

#include "support/service_run.h"

namespace {

class GdbLaunch : public ::testing::Test {
protected:
    // A bundle whose gdb-x86_64 is the given stand-in (and gdb-aarch64 the "report" one).
    std::unique_ptr<ServiceRun> startWith(const std::string &standin,
                                          std::vector<std::string> extraEnvironment = {})
    {
        makeBundleCopy(bundle_.path(), {{"gdb-x86_64", standin}, {"gdb-aarch64", "report"}});
        ServiceRun::Options options;
        options.bundleDir = bundle_.path();
        options.extraEnvironment = std::move(extraEnvironment);
        return std::make_unique<ServiceRun>(options);
    }

    StandinReport launchedReport(ServiceRun &run, std::optional<std::string> arch = std::nullopt)
    {
        EXPECT_EQ(run.launchGdb(std::move(arch)), true);
        EXPECT_TRUE(run.waitForOutput("END-REPORT\n"));
        auto report = parseStandinReport(run.output());
        EXPECT_TRUE(report.has_value());
        return report.value_or(StandinReport{});
    }

    TempDir bundle_;
};

} // namespace

TEST_F(GdbLaunch, ChildGetsExactArgumentsAndExactlyTheHostEnvironment)
{
    auto run = startWith("report", {"SERVICE_ONLY_MARKER=1"});
    run->setEnvironment({"B=2", "A=1", "B=3", "NOEQUALS", "EMPTY="});
    auto report = launchedReport(*run);
    EXPECT_EQ(report.argv, (std::vector<std::string>{bundle_.path() + "/gdb-x86_64", "--quiet", "--interpreter=mi2",
                                                     "--nx", "-D", "."}));
    EXPECT_EQ(report.environment, (std::vector<std::string>{"B=2", "A=1", "B=3", "NOEQUALS", "EMPTY="}));
    EXPECT_EQ(run->request("stop"), true);
}

TEST_F(GdbLaunch, NoSetEnvGivesAnEmptyEnvironmentAndANewConnectionForgetsTheOldBlock)
{
    auto run = startWith("report", {"SERVICE_ONLY_MARKER=1"});
    auto report = launchedReport(*run);
    EXPECT_TRUE(report.environment.empty());
    EXPECT_EQ(run->request("stop"), true);
}

TEST_F(GdbLaunch, ChildHoldsItsPipesOnStandardDescriptorsAndNoSocket)
{
    auto run = startWith("report");
    auto report = launchedReport(*run);
    for (int fd : {0, 1, 2})
        EXPECT_TRUE(report.descriptors[fd].starts_with("pipe:")) << fd << " " << report.descriptors[fd];
    for (const auto &[fd, target] : report.descriptors) {
        EXPECT_FALSE(target.starts_with("socket:")) << "descriptor " << fd << " is " << target;
        EXPECT_TRUE(target.starts_with("pipe:")) << "descriptor " << fd << " is " << target;
    }
    // The three pipes, each with both ends in the child: three on 0..2 and six more.
    EXPECT_EQ(report.descriptors.size(), 9u);
    EXPECT_EQ(run->request("stop"), true);
}

TEST_F(GdbLaunch, ChildSignalStateCarriesNothingTheServiceBlockedOrIgnored)
{
    auto run = startWith("report");
    auto report = launchedReport(*run);
    EXPECT_EQ(report.blocked, "");
    EXPECT_EQ(report.ignored, "");
    EXPECT_EQ(run->request("stop"), true);
}

TEST_F(GdbLaunch, ArchPicksTheAarch64ExecutableOnlyOnAnExactMatch)
{
    struct Case {
        std::optional<std::string> arch;
        std::string executable;
    };
    std::vector<Case> cases = {{"aarch64", "gdb-aarch64"}, {std::nullopt, "gdb-x86_64"}, {"x86_64", "gdb-x86_64"},
                               {"AARCH64", "gdb-x86_64"},  {"aarch64 ", "gdb-x86_64"},  {"arm64", "gdb-x86_64"}};
    for (const auto &c : cases) {
        auto run = startWith("report");
        auto report = launchedReport(*run, c.arch);
        ASSERT_FALSE(report.argv.empty());
        EXPECT_EQ(report.argv[0], bundle_.path() + "/" + c.executable) << c.arch.value_or("(none)");
        EXPECT_EQ(run->request("stop"), true);
    }
}

TEST_F(GdbLaunch, SecondLaunchIsRefusedWithoutConsoleLineOrNewChild)
{
    auto run = startWith("report");
    run->command("log");
    auto report = launchedReport(*run);
    EXPECT_EQ(run->launchGdb(), false);
    EXPECT_EQ(run->launchLldb(), false);
    EXPECT_EQ(run->request("stop"), true);
    EXPECT_EQ(run->exitStatus(), 0);
    std::string text = run->stderrText();
    size_t first = text.find("Launching GDB");
    ASSERT_NE(first, std::string::npos);
    EXPECT_EQ(text.find("Launching GDB", first + 1), std::string::npos);
    EXPECT_EQ(text.find("Launching LLDB"), std::string::npos);
    EXPECT_EQ(parseStandinReport(run->output())->pid, report.pid);
    // GDB's output is relayed without hex diagnostics, even with the log on.
    for (const auto &entry : run->diagnostics())
        EXPECT_FALSE(entry.starts_with("data received")) << entry;
    EXPECT_EQ(run->diagnostics().front(), "message logger started");
}

TEST_F(GdbLaunch, SendReachesTheChildByteForByteAndOutputReturnsUnchanged)
{
    auto run = startWith("report");
    launchedReport(*run);
    std::string expected;
    std::string all;
    for (int i = 0; i < 256; ++i)
        all.push_back(static_cast<char>(i));
    std::vector<std::string> sends = {all, std::string("\0\0partial", 9), std::string(3 << 20, 'q'), "tail-marker"};
    for (const auto &bytes : sends) {
        run->send(bytes);
        expected += bytes;
    }
    ASSERT_TRUE(run->waitForOutput("tail-marker", 30s));
    std::string output = run->output();
    EXPECT_EQ(output.substr(output.find("END-REPORT\n") + 11), expected);
    EXPECT_EQ(run->request("stop"), true);
}

TEST_F(GdbLaunch, BreakSendsSigintAndStopSendsSigtermToTheChild)
{
    auto run = startWith("report");
    auto report = launchedReport(*run);
    run->command("break");
    ASSERT_TRUE(run->waitForOutput("<SIGINT>\n"));
    EXPECT_EQ(run->request("stop"), true);
    EXPECT_EQ(run->exitStatus(), 0);
    EXPECT_TRUE(processGone(report.pid));
}

TEST_F(GdbLaunch, StoppedChildDoesNotEndTheRun)
{
    auto run = startWith("report");
    auto report = launchedReport(*run);
    kill(report.pid, SIGSTOP);
    EXPECT_FALSE(run->exitStatus(300ms).has_value());
    kill(report.pid, SIGCONT);
    run->send("still-here");
    EXPECT_TRUE(run->waitForOutput("still-here"));
    EXPECT_EQ(run->request("stop"), true);
}

TEST_F(GdbLaunch, ChildExitEndsTheRunAfterEverythingItWroteReachedTheHost)
{
    auto run = startWith("scripted");
    ASSERT_EQ(run->launchGdb(), true);
    run->send("flood 8388608\nbinary\nexit 7\n");
    EXPECT_EQ(run->exitStatus(), 0);
    ASSERT_TRUE(run->connectionClosed());
    std::string output = run->output();
    ASSERT_TRUE(output.starts_with("scripted ready\n"));
    ASSERT_EQ(output.size(), 15u + 8388608u + 256u + 4u);
    EXPECT_TRUE(output.ends_with("bye\n"));
    for (size_t i = 0; i < 8388608; i += 4093)
        ASSERT_EQ(output[15 + i], static_cast<char>('a' + i % 26)) << i;
}

TEST_F(GdbLaunch, BreakAndStopAreNotHeldUpBehindBytesTheChildDoesNotRead)
{
    auto run = startWith("scripted");
    ASSERT_EQ(run->launchGdb(), true);
    run->send("deaf\n");
    ASSERT_TRUE(run->waitForOutput("deaf\n"));
    run->send(std::string(8 << 20, 'z'));
    run->command("break"); // the stand-in dies of SIGINT's default action
    EXPECT_EQ(run->exitStatus(), 0);
}

TEST_F(GdbLaunch, StopIsAnsweredWhileSendBytesWaitForTheChild)
{
    auto run = startWith("report");
    auto report = launchedReport(*run);
    kill(report.pid, SIGSTOP);
    run->send(std::string(8 << 20, 'z'));
    EXPECT_EQ(run->request("stop"), true);
    EXPECT_EQ(run->exitStatus(), 0);
    kill(report.pid, SIGCONT);
    EXPECT_TRUE(processGone(report.pid));
}

TEST_F(GdbLaunch, ChildFloodingItsStandardErrorNeverHangs)
{
    auto run = startWith("scripted");
    ASSERT_EQ(run->launchGdb(), true);
    run->send("stderr 4194304\n");
    EXPECT_TRUE(run->waitForOutput("stderr done\n", 30s));
    EXPECT_EQ(run->request("stop"), true);
}

TEST_F(GdbLaunch, MissingExecutableRepliesFalseAndALaterLaunchMayTryAgain)
{
    makeBundleCopy(bundle_.path(), {{"gdb-aarch64", "report"}});
    unlink((bundle_.path() + "/gdb-x86_64").c_str());
    ServiceRun::Options options;
    options.bundleDir = bundle_.path();
    ServiceRun run(options);
    EXPECT_EQ(run.launchGdb(), false);
    EXPECT_EQ(run.launchGdb("aarch64"), true);
    EXPECT_TRUE(run.waitForOutput("END-REPORT\n"));
    EXPECT_EQ(run.request("stop"), true);
}

TEST_F(GdbLaunch, ExecutableThatCannotRunStillCountsAsLaunchedAndEndsTheRun)
{
    makeBundleCopy(bundle_.path());
    writeFile(bundle_.path() + "/gdb-x86_64", "#!/nonexistent/interpreter\n", 0755);
    ServiceRun::Options options;
    options.bundleDir = bundle_.path();
    ServiceRun run(options);
    EXPECT_EQ(run.launchGdb(), true);
    EXPECT_EQ(run.exitStatus(), 0);
    EXPECT_TRUE(run.output().empty()) << "the failure text went to the host";
}

TEST_F(GdbLaunch, ThousandRunsOfChildrenThatExitAtOnceOrCannotRunAllEndWithZero)
{
    TempDir failing;
    makeBundleCopy(bundle_.path(), {{"gdb-x86_64", "exit_now"}});
    makeBundleCopy(failing.path());
    writeFile(failing.path() + "/gdb-x86_64", "#!/nonexistent/interpreter\n", 0755);
    for (const std::string &directory : {bundle_.path(), failing.path()}) {
        for (int i = 0, runs = stressRuns(1000); i < runs; ++i) {
            ServiceRun::Options options;
            options.bundleDir = directory;
            options.diagnosticsOnStderr = false;
            ServiceRun run(options);
            auto launched = run.launchGdb();
            // The reply comes before the end of the run, however fast the child exits.
            EXPECT_EQ(launched, true) << directory << " run " << i;
            ASSERT_EQ(run.exitStatus(10s), 0) << directory << " run " << i;
        }
    }
}
