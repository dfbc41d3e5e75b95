// debugger-host as a user runs it: terminal bytes both ways, Ctrl-C, end of input, and the
// statuses it gives when things go wrong.

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "support/service_run.h"

namespace {

// debugger-host started like a foreground job: in a process group of its own, its input a
// pipe the test writes, its output and errors in files.
struct Host {
    explicit Host(std::vector<std::string> arguments)
    {
        int in[2];
        if (pipe2(in, O_CLOEXEC) != 0)
            abort();
        arguments.insert(arguments.begin(), LD_BIN_DIR "/debugger-host");
        std::vector<char *> argv;
        for (auto &argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        int out = open((directory.path() + "/out").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        int err = open((directory.path() + "/err").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        pid = fork();
        if (pid == 0) {
            setpgid(0, 0);
            dup2(in[0], 0);
            dup2(out, 1);
            dup2(err, 2);
            execv(argv[0], argv.data());
            _exit(127);
        }
        setpgid(pid, pid);
        close(in[0]);
        close(out);
        close(err);
        input = in[1];
    }
    ~Host()
    {
        closeInput();
        if (waitpid(pid, nullptr, WNOHANG) == 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }

    void closeInput()
    {
        if (input >= 0)
            close(input);
        input = -1;
    }
    std::string output() const { return readFile(directory.path() + "/out"); }
    std::string errors() const { return readFile(directory.path() + "/err"); }
    bool waitFor(const std::string &needle) const
    {
        return waitUntil([&] { return output().find(needle) != std::string::npos; });
    }

    TempDir directory;
    pid_t pid = -1;
    int input = -1;
};

} // namespace

TEST(DebuggerHost, BridgesBytesBothWaysTurnsEachCtrlCIntoOneBreakAndStopsAtEndOfInput)
{
    TempDir bundle;
    makeBundleCopy(bundle.path(), {{"gdb-x86_64", "report"}});
    Host host({"--gdb", "--service", bundle.path() + "/local-debugger", "--env-clear", "--env", "A=1", "--env", "B=x=y"});
    ASSERT_TRUE(host.waitFor("END-REPORT\n")) << host.errors();
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes.push_back(static_cast<char>(i));
    ASSERT_EQ(write(host.input, bytes.data(), bytes.size()), 256);
    ASSERT_TRUE(host.waitFor(bytes));
    for (const char *seen : {"<SIGINT>\n", "<SIGINT>\n<SIGINT>\n"}) {
        killpg(host.pid, SIGINT);
        ASSERT_TRUE(host.waitFor(seen)) << "a Ctrl-C was lost";
    }
    host.closeInput();
    EXPECT_EQ(rawExitStatus(host.pid), 0) << host.errors();
    auto report = parseStandinReport(host.output());
    ASSERT_TRUE(report.has_value());
    EXPECT_EQ(report->environment, (std::vector<std::string>{"A=1", "B=x=y"}));
    std::string rest = host.output().substr(host.output().find(bytes) + 256);
    EXPECT_TRUE(rest.starts_with("<SIGINT>\n<SIGINT>\n") && rest.find("<SIGINT>", 18) == std::string::npos) << rest;
    EXPECT_TRUE(processGone(report->pid));
}

TEST(DebuggerHost, MissingServiceAndBadUsageEachSayWhyWithTheirOwnStatus)
{
    const std::vector<std::tuple<std::vector<std::string>, int, std::string>> cases = {
        {{"--gdb", "--service", "/nonexistent/local-debugger"}, 3, "cannot find the local-debugger service"},
        {{"--gdb", "--lldb"}, 2, "usage: debugger-host"},
        {{"--gdb", "--env", "NOEQUALS"}, 2, "usage: debugger-host"},
    };
    for (const auto &[arguments, status, message] : cases) {
        Host host(arguments);
        EXPECT_EQ(rawExitStatus(host.pid), status) << message;
        EXPECT_NE(host.errors().find(message), std::string::npos) << host.errors();
    }
}
