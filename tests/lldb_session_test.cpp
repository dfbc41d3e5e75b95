// One real LLDB run through the service with each toolchain layout the build generates: one
// picks the C++ back end, the other the Python one, and a host gets the same session from both.

#include <gtest/gtest.h>

#include <regex>

#include "support/service_run.h"

class LldbSession : public ::testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(LldbSession, BreakpointAndVariableThenStopEndsBackEndAndDebuggee)
{
    if (access("/usr/lib/llvm-16/bin/lldb-server", X_OK) != 0)
        GTEST_SKIP() << "LLDB 16 is not installed";
    const auto &[layout, backend] = GetParam();
    ServiceRun run(LD_BUNDLE_DIR, {"TORVEX_DEBUGGER_ROOT=" LD_BIN_DIR "/../toolchains/" + layout});
    run.setEnvironment({"HOME=/tmp", "PATH=/usr/bin:/bin"});
    ASSERT_EQ(run.launchLldb(), true);
    ASSERT_TRUE(run.waitForOutput("\"backend\":\"" + backend + "\"")) << run.output();
    int seq = 0;
    auto command = [&](const std::string &line, const std::string &then = "") {
        size_t before = run.output().size();
        run.send(line + "\n");
        std::string result = "{\"type\":\"result\",\"seq\":" + std::to_string(++seq) + ",\"ok\":true";
        EXPECT_TRUE(run.waitForOutput(result, 30s, before)) << line << "\n" << run.output().substr(before);
        EXPECT_TRUE(run.waitForOutput(then, 30s, before)) << then << "\n" << run.output().substr(before);
    };
    command("target create " LD_BIN_DIR "/example-program");
    command("breakpoint set -n compute");
    command("process launch", "\"frame\":{\"function\":\"compute\"");
    command("frame variable x", "(int) x = 1");
    std::smatch match;
    std::string output = run.output();
    ASSERT_TRUE(std::regex_search(output, match, std::regex(R"re("state":"stopped","pid":(\d+))re"))) << output;
    std::vector<pid_t> processes = {childrenOf(run.pid()).at(0), std::stoi(match[1])};
    EXPECT_EQ(run.request("stop"), true);
    EXPECT_EQ(run.exitStatus(), 0);
    for (pid_t pid : processes)
        EXPECT_TRUE(processGone(pid)) << pid << " outlived the run";
}

INSTANTIATE_TEST_SUITE_P(BothBackEnds, LldbSession,
                         ::testing::Values(std::pair<std::string, std::string>{"lldb", "lldb-helper"},
                                           std::pair<std::string, std::string>{"lldb-python", "lldb_server"}),
                         [](const auto &info) { return info.param.first == "lldb" ? "Helper" : "Python"; });
