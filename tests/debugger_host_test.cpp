// debugger-host as a user runs it: terminal bytes both ways, Ctrl-C, end of input, and the
// messages and statuses it gives when things go wrong.

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <algorithm>
#include <poll.h>
#include <thread>
#include <sys/wait.h>
#include <unistd.h>

#include "support/service_run.h"

namespace {

// debugger-host started like a shell starts a foreground job: in a process group of its own,
// with its standard streams on pipes that the test holds.
class HostProcess {
public:
    explicit HostProcess(std::vector<std::string> arguments)
    {
        int in[2], out[2], err[2];
        if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
            abort();
        arguments.insert(arguments.begin(), LD_BIN_DIR "/debugger-host");
        std::vector<char *> argv;
        for (auto &argument : arguments)
            argv.push_back(argument.data());
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            dup2(in[0], 0);
            dup2(out[1], 1);
            dup2(err[1], 2);
            execv(argv[0], argv.data());
            _exit(127);
        }
        setpgid(pid_, pid_);
        close(in[0]);
        close(out[1]);
        close(err[1]);
        input_ = in[1];
        output_ = out[0];
        errors_ = err[0];
    }

    ~HostProcess()
    {
        closeInput();
        if (!status_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        close(output_);
        close(errors_);
    }

    void write(const std::string &bytes)
    {
        ASSERT_EQ(::write(input_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    void closeInput()
    {
        if (input_ >= 0)
            close(input_);
        input_ = -1;
    }
    void interrupt() { killpg(pid_, SIGINT); }

    // Reads standard output until it holds needle (or the deadline).
    bool waitForOutput(const std::string &needle, std::chrono::milliseconds timeout = 10s)
    {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (output.find(needle) == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !readSome(output_, output, static_cast<int>(left.count())))
                return output.find(needle) != std::string::npos;
        }
        return true;
    }

    // Waits for the exit, collecting everything left on both streams.
    std::optional<int> exitStatus(std::chrono::milliseconds timeout = 10s)
    {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (readSome(output_, output, 50) || readSome(errors_, errors, 50)) {
            if (std::chrono::steady_clock::now() > deadline)
                return std::nullopt;
        }
        while (std::chrono::steady_clock::now() < deadline) {
            int status = 0;
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                status_ = status;
                return WIFEXITED(status) ? std::optional<int>(WEXITSTATUS(status)) : std::nullopt;
            }
            std::this_thread::sleep_for(5ms);
        }
        return std::nullopt;
    }

    std::string output;
    std::string errors;

private:
    static bool readSome(int fd, std::string &into, int timeoutMs)
    {
        pollfd readable{fd, POLLIN, 0};
        if (poll(&readable, 1, timeoutMs) <= 0)
            return false;
        char buffer[65536];
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got <= 0)
            return false;
        into.append(buffer, static_cast<size_t>(got));
        return true;
    }

    pid_t pid_ = -1;
    int input_ = -1, output_ = -1, errors_ = -1;
    std::optional<int> status_;
};

class DebuggerHost : public ::testing::Test {
protected:
    void SetUp() override { makeBundleCopy(bundle_.path(), {{"gdb-x86_64", "report"}}); }
    std::string service() const { return bundle_.path() + "/local-debugger"; }
    TempDir bundle_;
};

} // namespace

TEST_F(DebuggerHost, BridgesInputAndOutputByteForByteAndStopsAtEndOfInput)
{
    HostProcess host({"--gdb", "--service", service(), "--env-clear", "--env", "A=1", "--env", "B=x=y"});
    ASSERT_TRUE(host.waitForOutput("END-REPORT\n"));
    std::string bytes;
    for (int i = 0; i < 256; ++i)
        bytes.push_back(static_cast<char>(i));
    bytes += "end-marker";
    host.write(bytes);
    ASSERT_TRUE(host.waitForOutput("end-marker"));
    host.closeInput();
    EXPECT_EQ(host.exitStatus(), 0) << host.errors;
    auto report = parseStandinReport(host.output);
    ASSERT_TRUE(report.has_value());
    EXPECT_EQ(report->environment, (std::vector<std::string>{"A=1", "B=x=y"}));
    EXPECT_EQ(host.output.substr(host.output.find("END-REPORT\n") + 11, bytes.size()), bytes);
    EXPECT_TRUE(processGone(report->pid));
}

TEST_F(DebuggerHost, EachCtrlCBecomesExactlyOneBreakAndTheServiceSurvivesIt)
{
    HostProcess host({"--gdb", "--service", service()});
    ASSERT_TRUE(host.waitForOutput("END-REPORT\n"));
    host.interrupt();
    ASSERT_TRUE(host.waitForOutput("<SIGINT>\n"));
    host.interrupt();
    host.write("after-two\n");
    ASSERT_TRUE(host.waitForOutput("after-two\n"));
    host.closeInput();
    EXPECT_EQ(host.exitStatus(), 0) << host.errors;
    size_t notes = 0;
    for (size_t at = host.output.find("<SIGINT>"); at != std::string::npos; at = host.output.find("<SIGINT>", at + 1))
        ++notes;
    EXPECT_EQ(notes, 2u);
}

TEST_F(DebuggerHost, DefaultEnvironmentIsItsOwn)
{
    setenv("DEBUGGER_HOST_TEST_MARKER", "present", 1);
    HostProcess host({"--gdb", "--service", service()});
    unsetenv("DEBUGGER_HOST_TEST_MARKER");
    ASSERT_TRUE(host.waitForOutput("END-REPORT\n"));
    host.closeInput();
    EXPECT_EQ(host.exitStatus(), 0);
    auto report = parseStandinReport(host.output);
    ASSERT_TRUE(report.has_value());
    EXPECT_NE(std::find(report->environment.begin(), report->environment.end(), "DEBUGGER_HOST_TEST_MARKER=present"),
              report->environment.end());
}

TEST_F(DebuggerHost, RefusedLaunchMissingServiceAndBadUsageEachSayWhyWithTheirOwnStatus)
{
    unlink((bundle_.path() + "/gdb-x86_64").c_str());
    {
        HostProcess host({"--gdb", "--service", service()});
        EXPECT_EQ(host.exitStatus(), 4);
        EXPECT_NE(host.errors.find("refused to launch GDB"), std::string::npos) << host.errors;
    }
    {
        HostProcess host({"--gdb", "--service", bundle_.path() + "/nothing-here"});
        EXPECT_EQ(host.exitStatus(), 3);
        EXPECT_NE(host.errors.find("cannot find the local-debugger service"), std::string::npos) << host.errors;
    }
    for (std::vector<std::string> arguments : {std::vector<std::string>{}, {"--gdb", "--lldb"}, {"--gdb", "--env", "NOEQUALS"},
                                               {"--lldb", "--arch", "aarch64"}, {"--frobnicate"}}) {
        HostProcess host(arguments);
        EXPECT_EQ(host.exitStatus(), 2);
        EXPECT_NE(host.errors.find("usage: debugger-host"), std::string::npos);
    }
}
