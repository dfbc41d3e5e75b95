// Running toolchain tools: what a run reports, what a tool inherits, and how its answer becomes
// a path, is missing, or is a failed run.

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/child_signals.h"
#include "platform/tool_run.h"
#include "support/files.h"
#include "toolchain/tool_run_outcome.h"

namespace {

class ToolRun : public ::testing::Test {
protected:
    std::string script(const std::string &body, mode_t mode = 0755)
    {
        std::string path = directory_.path() + "/tool-" + std::to_string(++tools_);
        writeFile(path, "#!/bin/sh\n" + body + "\n", mode);
        return path;
    }

    TempDir directory_;
    int tools_ = 0;
};

} // namespace

TEST_F(ToolRun, ReportsOutputStatusOrSignalAndStartsOnlyWhatCanRun)
{
    // Larger than a pipe holds: the output is read while the tool runs.
    ToolRunResult big = runTool(script("/usr/bin/head -c 1048576 /dev/zero\nexit 4"), {});
    EXPECT_TRUE(big.exitedWithStatus(4));
    EXPECT_EQ(big.output, std::string(1048576, '\0'));
    ToolRunResult killed = runTool(script("printf partial\nkill -TERM $$"), {});
    EXPECT_EQ(killed.end, ToolRunResult::End::Signalled);
    EXPECT_EQ(killed.code, SIGTERM);
    EXPECT_EQ(killed.output, "partial");
    std::string echo = script("printf '[%s]' \"$0\" \"$@\"");
    EXPECT_EQ(runTool(echo, {"-find", "two words", ""}).output, "[" + echo + "][-find][two words][]");
    for (const std::string &tool : {script("echo hi", 0644), directory_.path() + "/missing", directory_.path()})
        EXPECT_EQ(runTool(tool, {}).end, ToolRunResult::End::NotStarted) << tool;
}

TEST_F(ToolRun, ToolStartsWithTheStartupMaskDefaultDispositionsAndNoDescriptorOfTheCaller)
{
    sigset_t original, mask;
    pthread_sigmask(SIG_SETMASK, nullptr, &original);
    sigemptyset(&mask);
    sigaddset(&mask, SIGUSR2);
    pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    recordStartupSignalMask();
    // What the service may do for itself after its start must not reach a tool.
    sigaddset(&mask, SIGUSR1);
    pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    struct sigaction ignore {}, previous {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGINT, &ignore, &previous);
    const std::string marker = directory_.path() + "/marker";
    int inheritable = open(marker.c_str(), O_WRONLY | O_CREAT, 0644);

    std::string status = runTool("/bin/cat", {"/proc/self/status"}).output;
    std::string held = runTool(script("for f in /proc/$$/fd/*; do readlink \"$f\"; done"), {}).output;

    close(inheritable);
    sigaction(SIGINT, &previous, nullptr);
    pthread_sigmask(SIG_SETMASK, &original, nullptr);
    recordStartupSignalMask();
    EXPECT_NE(status.find("SigBlk:\t0000000000000800\n"), std::string::npos) << status;
    size_t ignored = status.find("SigIgn:\t");
    ASSERT_NE(ignored, std::string::npos);
    EXPECT_EQ(std::stoull(status.substr(ignored + 8, 16), nullptr, 16) & (1u << (SIGINT - 1)), 0u) << status;
    EXPECT_EQ(held.find(marker), std::string::npos) << held;
}

TEST_F(ToolRun, OnlyTheToolIsReapedNeverAnotherChild)
{
    pid_t other = fork();
    if (other == 0)
        _exit(7);
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(other), &info, WEXITED | WNOWAIT), 0);
    EXPECT_TRUE(runTool(script("exit 3"), {}).exitedWithStatus(3));
    int status = 0;
    ASSERT_EQ(waitpid(other, &status, 0), other) << "the other child was reaped";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7);
}

TEST_F(ToolRun, AnswerIsAPathWithOneFinalNewlineRemovedOrMissingOrAFailedRun)
{
    const std::string existing = directory_.path() + "/Existing Directory";
    const std::string utf8 = directory_.path() + "/caf\xc3\xa9 \xf0\x9f\x90\x9b";
    const std::string latin1 = directory_.path() + "/caf\xe9";
    for (const std::string &path : {existing, utf8, latin1})
        std::filesystem::create_directory(path);
    const std::vector<std::tuple<std::string, int, ToolRunOutcome>> cases = {
        {existing + "\n", 0, ToolRunOutcome::found(existing)},
        {existing, 0, ToolRunOutcome::found(existing)},
        {utf8 + "\n", 0, ToolRunOutcome::found(utf8)},
        {existing + "\n\n", 0, ToolRunOutcome::missing()},
        {existing + "\r\n", 0, ToolRunOutcome::missing()},
        {latin1 + "\n", 0, ToolRunOutcome::missing()},
        {existing + "\xc0\xaf\n", 0, ToolRunOutcome::missing()},
        {directory_.path() + "/nothing\n", 0, ToolRunOutcome::missing()},
        {existing + "\n", 1, ToolRunOutcome::failed()},
        {"", 0, ToolRunOutcome::failed()},
    };
    for (const auto &[answer, status, outcome] : cases) {
        writeFile(directory_.path() + "/answer", answer);
        std::string tool = script("cat '" + directory_.path() + "/answer'\nexit " + std::to_string(status));
        EXPECT_TRUE(runToolForPath(tool, {}) == outcome) << answer << " with status " << status;
    }
    EXPECT_TRUE(runToolForPath(script("echo '" + existing + "'", 0644), {}) == ToolRunOutcome::failed());
    EXPECT_TRUE(runToolForPath(script("printf '%s\\n' \"$1\""), {existing}) == ToolRunOutcome::found(existing));
}
