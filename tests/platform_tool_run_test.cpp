#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "platform/child_signals.h"
#include "platform/tool_run.h"
#include "support/files.h"

namespace {

using End = ToolRunResult::End;

class ToolRunTest : public ::testing::Test {
protected:
    std::string write(const std::string &name, const std::string &contents, mode_t mode)
    {
        std::string path = directory_ + "/" + name;
        writeFile(path, contents, mode);
        return path;
    }
    std::string script(const std::string &name, const std::string &body)
    {
        return write(name, "#!/bin/sh\n" + body, 0755);
    }

    TempDir temp_;
    const std::string directory_ = temp_.path();
};

std::set<int> openDescriptors()
{
    std::set<int> descriptors;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd"))
        descriptors.insert(std::stoi(entry.path().filename()));
    return descriptors;
}

TEST_F(ToolRunTest, CollectsEveryByteOfStandardOutput)
{
    const std::string answer("first line\nsecond\0line\n\xff\xfe without newline", 42);
    std::string answerFile = write("answer", answer, 0644);
    std::string tool = script("tool", "exec /bin/cat '" + answerFile + "'\n");
    ToolRunResult result = runTool(tool, {});
    EXPECT_EQ(result.end, End::Exited);
    EXPECT_EQ(result.code, 0);
    EXPECT_EQ(result.output, answer);
    EXPECT_TRUE(result.exitedWithStatus(0));
}

TEST_F(ToolRunTest, OutputLargerThanAPipeIsDrainedWhileTheToolRuns)
{
    // The tool only exits after writing everything, so waiting before reading would never end.
    std::string tool = script("big", "/usr/bin/head -c 1048576 /dev/zero\nexit 4\n");
    ToolRunResult result = runTool(tool, {});
    EXPECT_EQ(result.end, End::Exited);
    EXPECT_EQ(result.code, 4);
    ASSERT_EQ(result.output.size(), 1048576u);
    EXPECT_EQ(std::count(result.output.begin(), result.output.end(), '\0'), 1048576);
}

TEST_F(ToolRunTest, ReportsExitStatusesAndSignals)
{
    for (int status : {0, 1, 3, 255}) {
        ToolRunResult result = runTool(script("status", "printf out\nexit " + std::to_string(status) + "\n"), {});
        EXPECT_EQ(result.end, End::Exited) << status;
        EXPECT_EQ(result.code, status);
        EXPECT_EQ(result.output, "out");
        EXPECT_EQ(result.exitedWithStatus(0), status == 0);
    }
    ToolRunResult killed = runTool(script("killed", "printf partial\nkill -TERM $$\nexit 0\n"), {});
    EXPECT_EQ(killed.end, End::Signalled);
    EXPECT_EQ(killed.code, SIGTERM);
    EXPECT_EQ(killed.output, "partial");
    EXPECT_FALSE(killed.exitedWithStatus(0));
}

TEST_F(ToolRunTest, ToolsThatCannotStartAreReportedNotFatal)
{
    std::string noExecBit = write("plain", "#!/bin/sh\necho hi\n", 0644);
    std::string badInterpreter = write("bad-interpreter", "#!/nonexistent/interpreter\necho hi\n", 0755);
    std::string notAProgram = write("not-a-program", "\x01\x02\x03 not a program\n", 0755);
    std::filesystem::create_directory(directory_ + "/dir");

    ToolRunResult result = runTool(noExecBit, {});
    EXPECT_EQ(result.end, End::NotStarted);
    EXPECT_EQ(result.code, EACCES);
    EXPECT_EQ(result.output, "");

    result = runTool(badInterpreter, {});
    EXPECT_EQ(result.end, End::NotStarted);
    EXPECT_EQ(result.code, ENOENT);

    result = runTool(notAProgram, {});
    EXPECT_EQ(result.end, End::NotStarted);
    EXPECT_EQ(result.code, ENOEXEC);

    result = runTool(directory_ + "/dir", {});
    EXPECT_EQ(result.end, End::NotStarted);
    EXPECT_EQ(result.code, EACCES);

    result = runTool(directory_ + "/missing", {});
    EXPECT_EQ(result.end, End::NotStarted);
    EXPECT_EQ(result.code, ENOENT);
    EXPECT_FALSE(result.exitedWithStatus(0));
}

TEST_F(ToolRunTest, PassesArgumentsAndItsOwnPathAsArgumentZero)
{
    std::string tool = script("args", "printf '[%s]' \"$0\" \"$@\"\n");
    ToolRunResult result = runTool(tool, {"-find", "lldb", "two words", "", "*"});
    EXPECT_EQ(result.output, "[" + tool + "][-find][lldb][two words][][*]");
    result = runTool(tool, {});
    EXPECT_EQ(result.output, "[" + tool + "]");
}

TEST_F(ToolRunTest, InheritsEnvironmentStandardInputAndStandardError)
{
    ASSERT_EQ(setenv("LD_TOOL_RUN_PROBE", "probe value", 1), 0);
    ToolRunResult environment = runTool(script("env", "printf '%s' \"$LD_TOOL_RUN_PROBE\"\n"), {});
    unsetenv("LD_TOOL_RUN_PROBE");
    EXPECT_EQ(environment.output, "probe value");

    int input[2];
    ASSERT_EQ(pipe(input), 0);
    ASSERT_EQ(::write(input[1], "from stdin", 10), 10);
    close(input[1]);
    int savedInput = dup(STDIN_FILENO);
    std::string errorFile = directory_ + "/stderr";
    int errorFd = open(errorFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(errorFd, 0);
    int savedError = dup(STDERR_FILENO);
    dup2(input[0], STDIN_FILENO);
    dup2(errorFd, STDERR_FILENO);
    ToolRunResult streams = runTool(script("streams", "/bin/cat\nprintf 'to stderr' >&2\n"), {});
    dup2(savedInput, STDIN_FILENO);
    dup2(savedError, STDERR_FILENO);
    close(savedInput);
    close(savedError);
    close(input[0]);
    close(errorFd);

    EXPECT_EQ(streams.output, "from stdin");
    std::ifstream errorStream(errorFile);
    std::string errorText((std::istreambuf_iterator<char>(errorStream)), std::istreambuf_iterator<char>());
    EXPECT_EQ(errorText, "to stderr");
}

uint64_t statusMask(const std::string &status, const std::string &field)
{
    std::istringstream lines(status);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind(field + ":", 0) == 0)
            return std::stoull(line.substr(field.size() + 1), nullptr, 16);
    }
    ADD_FAILURE() << field << " not in " << status;
    return 0;
}

uint64_t bit(int signo)
{
    return uint64_t{1} << (signo - 1);
}

TEST_F(ToolRunTest, StartsWithTheStartupSignalMaskAndDefaultDispositions)
{
    sigset_t original;
    pthread_sigmask(SIG_SETMASK, nullptr, &original);
    struct sigaction originalPipe {}, originalInt {}, originalTerm {};

    sigset_t startup;
    sigemptyset(&startup);
    sigaddset(&startup, SIGUSR2);
    pthread_sigmask(SIG_SETMASK, &startup, nullptr);
    recordStartupSignalMask();

    // What the service may do for itself after start: none of it may reach a tool.
    sigset_t later;
    sigemptyset(&later);
    sigaddset(&later, SIGUSR1);
    sigaddset(&later, SIGCHLD);
    pthread_sigmask(SIG_BLOCK, &later, nullptr);
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &originalPipe);
    sigaction(SIGINT, &ignore, &originalInt);
    sigaction(SIGTERM, &ignore, &originalTerm);

    ToolRunResult result = runTool("/bin/cat", {"/proc/self/status"});

    sigaction(SIGPIPE, &originalPipe, nullptr);
    sigaction(SIGINT, &originalInt, nullptr);
    sigaction(SIGTERM, &originalTerm, nullptr);
    pthread_sigmask(SIG_SETMASK, &original, nullptr);
    recordStartupSignalMask();

    ASSERT_TRUE(result.exitedWithStatus(0)) << result.output;
    uint64_t blocked = statusMask(result.output, "SigBlk");
    uint64_t ignored = statusMask(result.output, "SigIgn");
    EXPECT_EQ(blocked, bit(SIGUSR2));
    EXPECT_EQ(ignored & (bit(SIGPIPE) | bit(SIGINT) | bit(SIGTERM)), 0u);
}

TEST_F(ToolRunTest, ToolSeesOnlyItsStandardStreams)
{
    // A descriptor the caller left inheritable, like a back end's pipe.
    std::string markerPath = directory_ + "/marker";
    int marker = open(markerPath.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(marker, 0);
    std::string tool = script("fds", "for f in /proc/$$/fd/*; do printf '%s %s\\n' \"${f##*/}\" \"$(/bin/readlink \"$f\")\"; done\n");
    ToolRunResult result = runTool(tool, {});
    close(marker);
    ASSERT_TRUE(result.exitedWithStatus(0));

    std::map<int, std::string> targets;
    std::istringstream lines(result.output);
    int fd;
    std::string target;
    while (lines >> fd >> target)
        targets[fd] = target;
    ASSERT_EQ(targets.count(1), 1u) << result.output;
    EXPECT_EQ(targets[1].rfind("pipe:", 0), 0u) << targets[1];
    for (const auto &[number, where] : targets) {
        if (number != 1) {
            EXPECT_NE(where, targets[1]) << "descriptor " << number << " holds the output pipe too";
        }
        EXPECT_NE(where, markerPath) << "descriptor " << number;
    }
}

// Another thread of the service may fork a back end while a tool runs.
TEST_F(ToolRunTest, DescriptorsHeldDuringARunAreCloseOnExec)
{
    const std::string started = directory_ + "/started";
    const std::string release = directory_ + "/release";
    ASSERT_EQ(mkfifo(started.c_str(), 0600), 0);
    ASSERT_EQ(mkfifo(release.c_str(), 0600), 0);
    std::string tool = script("waiting", "echo started > '" + started + "'\nread line < '" + release + "'\necho done\n");

    std::set<int> before = openDescriptors();
    ToolRunResult result;
    std::thread runner([&] {
        result = runTool(tool, {});
        // Should the tool never have started, this ends the wait below.
        int unblock = open(started.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (unblock >= 0)
            close(unblock);
    });

    int startedFd = open(started.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(startedFd, 0);
    char word[16] = {};
    ssize_t got = read(startedFd, word, sizeof word - 1);
    close(startedFd);
    EXPECT_EQ(std::string(word, got > 0 ? static_cast<size_t>(got) : 0), "started\n");

    if (got > 0) {
        for (int fd : openDescriptors()) {
            if (before.count(fd) != 0)
                continue;
            std::ifstream info("/proc/self/fdinfo/" + std::to_string(fd));
            std::string key;
            std::string flags;
            while (info >> key && key != "flags:") {
            }
            if (!(info >> flags))
                continue; // the directory listing's own descriptor, already closed
            EXPECT_NE(std::stoul(flags, nullptr, 8) & O_CLOEXEC, 0u) << "descriptor " << fd;
        }
        int releaseFd = open(release.c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(releaseFd, 0);
        ASSERT_EQ(::write(releaseFd, "go\n", 3), 3);
        close(releaseFd);
    }
    runner.join();
    EXPECT_TRUE(result.exitedWithStatus(0));
    EXPECT_EQ(result.output, "done\n");
}

TEST_F(ToolRunTest, LeavesNoDescriptorBehind)
{
    std::string tool = script("ok", "echo /tmp\n");
    std::string noExecBit = write("plain", "#!/bin/sh\n", 0644);
    std::set<int> before = openDescriptors();
    runTool(tool, {});
    runTool(noExecBit, {});
    runTool(directory_ + "/missing", {});
    runTool(script("failing", "exit 2\n"), {});
    EXPECT_EQ(openDescriptors(), before);
}

TEST_F(ToolRunTest, LeavesOtherChildrenAlone)
{
    // One child has already exited and waits to be reaped; another is still running.
    pid_t finished = fork();
    ASSERT_GE(finished, 0);
    if (finished == 0)
        _exit(7);
    siginfo_t info{};
    ASSERT_EQ(waitid(P_PID, static_cast<id_t>(finished), &info, WEXITED | WNOWAIT), 0);

    int hold[2];
    ASSERT_EQ(pipe(hold), 0);
    pid_t running = fork();
    ASSERT_GE(running, 0);
    if (running == 0) {
        close(hold[1]);
        char byte;
        while (read(hold[0], &byte, 1) < 0 && errno == EINTR) {
        }
        _exit(9);
    }
    close(hold[0]);

    ToolRunResult first = runTool(script("tool", "echo done\nexit 3\n"), {});
    ToolRunResult second = runTool("/bin/true", {});
    EXPECT_TRUE(first.exitedWithStatus(3));
    EXPECT_EQ(first.output, "done\n");
    EXPECT_TRUE(second.exitedWithStatus(0));

    int status = 0;
    EXPECT_EQ(waitpid(running, &status, WNOHANG), 0) << "the running child was reaped";
    close(hold[1]);
    ASSERT_EQ(waitpid(running, &status, 0), running);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 9);
    ASSERT_EQ(waitpid(finished, &status, 0), finished) << "the finished child was reaped";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7);
}

} // namespace
