// Real GDB/MI sessions through the service, debugging the example program.

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

#include "support/raw_service.h"
#include "support/service_run.h"

namespace {

const std::string exampleProgram = LD_BIN_DIR "/example-program";

bool gdbInstalled()
{
    return access("/usr/bin/gdb", X_OK) == 0;
}

class GdbSession : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!gdbInstalled())
            GTEST_SKIP() << "GDB is not installed";
        run_ = std::make_unique<ServiceRun>();
        run_->setEnvironment({"HOME=/tmp", "PATH=/usr/bin:/bin"});
        ASSERT_EQ(run_->launchGdb(), true);
        mi("-file-exec-and-symbols " + exampleProgram, "^done");
    }

    // Sends one MI command line and waits for text that follows it.
    void mi(const std::string &command, const std::string &expected)
    {
        size_t before = run_->output().size();
        run_->send(command + "\n");
        ASSERT_TRUE(waitAfter(before, expected)) << "no " << expected << " after " << command << "\n"
                                                 << run_->output().substr(before);
    }

    bool waitAfter(size_t offset, const std::string &expected, std::chrono::milliseconds timeout = 20s)
    {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            if (run_->output().find(expected, offset) != std::string::npos)
                return true;
            run_->waitForOutput(expected, 100ms);
        }
        return false;
    }

    std::unique_ptr<ServiceRun> run_;
};

} // namespace

TEST_F(GdbSession, BreakpointHitStopsInComputeWithItsArgument)
{
    mi("-break-insert compute", "^done,bkpt=");
    mi("-exec-run", "*stopped,reason=\"breakpoint-hit\"");
    std::string output = run_->output();
    EXPECT_TRUE(std::regex_search(output, std::regex(R"(\*stopped,reason="breakpoint-hit".*func="compute",args=\[\{name="x",value="1"\}\])")));
    mi("-data-evaluate-expression x*10", "^done,value=\"10\"");
    mi("-break-delete", "^done");
    mi("-exec-continue", "*stopped,reason=\"exited-normally\"");
    EXPECT_NE(run_->output().find("done 17"), std::string::npos);
    EXPECT_EQ(run_->request("stop"), true);
    EXPECT_EQ(run_->exitStatus(), 0);
}

TEST_F(GdbSession, BreakInterruptsAProgramInAnEndlessLoop)
{
    mi("-exec-arguments spin", "^done");
    mi("-break-insert spin", "^done");
    mi("-exec-run", "*stopped,reason=\"breakpoint-hit\"");
    mi("-break-delete", "^done");
    mi("-exec-continue", "*running");
    size_t before = run_->output().size();
    run_->command("break");
    ASSERT_TRUE(waitAfter(before, "*stopped,reason=\"signal-received\",signal-name=\"SIGINT\"")) << run_->output().substr(before);
    EXPECT_NE(run_->output().find("func=\"spin\"", before), std::string::npos) << run_->output().substr(before);
    mi("-exec-continue", "*running");
    before = run_->output().size();
    run_->command("break");
    ASSERT_TRUE(waitAfter(before, "signal-name=\"SIGINT\"")) << "a second interrupt was lost";
    EXPECT_EQ(run_->request("stop"), true);
    EXPECT_EQ(run_->exitStatus(), 0);
}

TEST_F(GdbSession, GdbExitEndsTheServiceAfterItsLastOutputArrived)
{
    run_->send("-gdb-exit\n");
    EXPECT_EQ(run_->exitStatus(20s), 0);
    ASSERT_TRUE(run_->connectionClosed());
    EXPECT_NE(run_->output().find("^exit"), std::string::npos) << run_->output();
}

// Listening mode, the one in which the service holds a socket beyond the host's connection:
// neither GDB nor the program it runs may hold the listening socket or the connection.
TEST(GdbDescriptors, NeitherGdbNorItsDebuggeeHoldsTheListeningSocketOrTheConnection)
{
    if (!gdbInstalled())
        GTEST_SKIP() << "GDB is not installed";
    TempDir directory;
    const std::string path = directory.path() + "/service.sock";
    int listener = listeningSocket(path);
    ASSERT_GE(listener, 0);
    RawStart start;
    start.descriptor3 = listener;
    pid_t service = startRawService(start);
    close(listener);

    DataCollector collected;
    auto client = ServiceClient::connectTo(path, collected.callbacks());
    ASSERT_TRUE(client);
    ASSERT_TRUE(client->sendData("set_env", environmentPayload({"HOME=/tmp", "PATH=/usr/bin:/bin"})));
    ASSERT_EQ(client->requestResult("launch_gdb", 10s), true);
    // GDB's first prompt: the child has run GDB, and no longer holds what the service held.
    ASSERT_TRUE(collected.waitFor("(gdb)", 20s)) << collected.text();
    std::vector<pid_t> children = childrenOf(service);
    ASSERT_EQ(children.size(), 1u);
    for (const auto &entry : std::filesystem::directory_iterator("/proc/" + std::to_string(children[0]) + "/fd")) {
        std::error_code error;
        std::string target = std::filesystem::read_symlink(entry.path(), error).string();
        EXPECT_FALSE(target.starts_with("socket:")) << "GDB holds " << entry.path() << " -> " << target;
    }

    // The debuggee is a shell that lists its own descriptors.
    const std::string command = "-file-exec-and-symbols /bin/sh\n"
                                "-exec-arguments -c 'for f in /proc/$$/fd/*; do echo \"debuggee $f $(readlink $f)\"; "
                                "done; echo debuggee-done'\n"
                                "-exec-run\n";
    ASSERT_TRUE(client->sendData("send", std::vector<uint8_t>(command.begin(), command.end())));
    ASSERT_TRUE(collected.waitFor("debuggee-done", 20s)) << collected.text();
    const std::string output = collected.text();
    std::smatch match;
    size_t listed = 0;
    for (auto at = output.cbegin(); std::regex_search(at, output.cend(), match, std::regex(R"(debuggee (\S+) (\S*))")); at = match[0].second) {
        ++listed;
        EXPECT_FALSE(match[2].str().starts_with("socket:")) << "the debuggee holds " << match[1] << " -> " << match[2];
    }
    EXPECT_GE(listed, 3u) << output;
    EXPECT_EQ(client->requestResult("stop", 10s), true);
    EXPECT_EQ(rawExitStatus(service, 10s), 0);
}
