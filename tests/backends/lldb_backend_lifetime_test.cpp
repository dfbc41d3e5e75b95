// The debuggee never outlives its back end, however the back end ends, and starts without
// anything of the back end's: no stray descriptors, no blocked or ignored signals.
#include "tests/backends/lldb_backend_harness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <dirent.h>
#include <sys/stat.h>

namespace lldb_backend_test {
namespace {

enum class Ending { Sigterm, EndOfInput, Sigkill };
enum class Debuggee { Running, AtBreakpoint };

struct LifetimeCase {
    Kind kind;
    Ending ending;
    Debuggee debuggee;
};

std::string case_name(const ::testing::TestParamInfo<LifetimeCase>& info)
{
    const char* ending = info.param.ending == Ending::Sigterm      ? "Sigterm"
                         : info.param.ending == Ending::EndOfInput ? "EndOfInput"
                                                                   : "Sigkill";
    const char* debuggee = info.param.debuggee == Debuggee::Running ? "Running" : "AtBreakpoint";
    return kind_name(info.param.kind) + "_" + ending + "_" + debuggee;
}

class LldbBackendLifetime : public ::testing::TestWithParam<LifetimeCase> {};

TEST_P(LldbBackendLifetime, EndingTheBackendEndsTheDebuggee)
{
    const LifetimeCase& param = GetParam();
    Backend backend(param.kind);
    ASSERT_TRUE(await_ready(backend));
    EXPECT_TRUE(backend.command("target create " + example_program()).value("ok", false));
    std::optional<Json> state;
    if (param.debuggee == Debuggee::AtBreakpoint) {
        EXPECT_TRUE(backend.command("breakpoint set -n compute").value("ok", false));
        EXPECT_TRUE(backend.command("process launch").value("ok", false));
        state = backend.wait_for_state("stopped");
    } else {
        EXPECT_TRUE(backend.command("process launch -- spin").value("ok", false));
        state = backend.wait_for_state("running");
    }
    ASSERT_TRUE(state);
    const auto debuggee = static_cast<pid_t>(state->value("pid", 0));
    ASSERT_GT(debuggee, 0);
    ASSERT_FALSE(process_gone(debuggee));
    const std::optional<pid_t> server = parent_of(debuggee);
    ASSERT_TRUE(server);
    // Whatever runs below the back end's own pid (its LLDB side) must go as well.
    const std::vector<pid_t> helpers = children_of(backend.pid());
    EXPECT_FALSE(helpers.empty());

    switch (param.ending) {
    case Ending::Sigterm:
        backend.signal(SIGTERM);
        break;
    case Ending::EndOfInput:
        backend.close_commands();
        break;
    case Ending::Sigkill:
        backend.signal(SIGKILL);
        break;
    }
    const std::optional<int> status = backend.wait_exit();
    ASSERT_TRUE(status) << "the back end did not end";
    if (param.ending == Ending::Sigkill) {
        EXPECT_TRUE(WIFSIGNALED(*status) && WTERMSIG(*status) == SIGKILL) << *status;
        EXPECT_TRUE(wait_gone(debuggee)) << "debuggee " << debuggee << " outlived its back end";
    } else {
        EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
        // The back end has already seen to it by the time it exits.
        EXPECT_TRUE(process_gone(debuggee)) << "debuggee " << debuggee << " outlived its back end";
    }
    EXPECT_TRUE(wait_gone(*server)) << "debug server " << *server << " outlived its back end";
    for (const pid_t helper : helpers)
        EXPECT_TRUE(wait_gone(helper)) << "process " << helper << " outlived its back end";

    // Nothing left behind holds the event pipe open, and the last word on the debuggee is
    // that it has gone.
    EXPECT_TRUE(backend.read_to_end());
    if (param.ending != Ending::Sigkill) {
        std::optional<Json> last;
        for (const Json& record : backend.of_type("process"))
            last = record;
        ASSERT_TRUE(last);
        EXPECT_EQ(last->value("state", ""), "exited") << last->dump();
        EXPECT_EQ(last->value("pid", 0), debuggee);
    }
}

std::vector<LifetimeCase> lifetime_cases()
{
    std::vector<LifetimeCase> cases;
    for (const Kind kind : {Kind::Helper, Kind::Script}) {
        for (const Ending ending : {Ending::Sigterm, Ending::EndOfInput, Ending::Sigkill}) {
            for (const Debuggee debuggee : {Debuggee::Running, Debuggee::AtBreakpoint})
                cases.push_back({kind, ending, debuggee});
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Endings, LldbBackendLifetime, ::testing::ValuesIn(lifetime_cases()), case_name);

class LldbBackendBusy : public ::testing::TestWithParam<Kind> {};

TEST_P(LldbBackendBusy, SigtermEndsTheBackendWhileACommandWaits)
{
    Backend backend(GetParam());
    ASSERT_TRUE(await_ready(backend));
    // An attach that waits for a process that never comes: the command does not return by itself.
    const std::string name = "no-such-program-" + std::to_string(::getpid());
    backend.send_raw("process attach --waitfor --name " + name + "\n");
    EXPECT_FALSE(backend.result_for(1, std::chrono::milliseconds(500))) << "the attach did not wait";
    const std::vector<pid_t> below = children_of(backend.pid());

    backend.signal(SIGTERM);
    const std::optional<int> status = backend.wait_exit();
    ASSERT_TRUE(status) << "the back end did not end";
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
    EXPECT_TRUE(backend.read_to_end());
    for (const pid_t pid : below)
        EXPECT_TRUE(wait_gone(pid)) << "process " << pid << " outlived its back end";
}

INSTANTIATE_TEST_SUITE_P(Backends, LldbBackendBusy, ::testing::Values(Kind::Helper, Kind::Script),
                         [](const ::testing::TestParamInfo<Kind>& info) { return kind_name(info.param); });

std::set<std::string> descriptors_of(pid_t pid)
{
    std::set<std::string> names;
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR* listing = ::opendir(dir.c_str());
    if (listing == nullptr)
        return names;
    while (const dirent* entry = ::readdir(listing)) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.insert(name);
    }
    ::closedir(listing);
    return names;
}

std::string status_field(pid_t pid, const std::string& field)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) {
            const std::size_t value = line.find_first_not_of(" \t", field.size() + 1);
            return value == std::string::npos ? "" : line.substr(value);
        }
    }
    return "<missing>";
}

std::vector<std::string> environment_of(pid_t pid)
{
    std::ifstream file("/proc/" + std::to_string(pid) + "/environ", std::ios::binary);
    std::vector<std::string> entries;
    std::string entry;
    while (std::getline(file, entry, '\0'))
        entries.push_back(entry);
    return entries;
}

std::string pipe_name(int fd)
{
    struct stat info = {};
    if (::fstat(fd, &info) != 0)
        return "?";
    return "pipe:[" + std::to_string(info.st_ino) + "]";
}

class LldbDebuggeeStart : public ::testing::TestWithParam<Kind> {};

TEST_P(LldbDebuggeeStart, StartsWithItsTerminalOnlyAndDefaultSignals)
{
    Backend backend(GetParam(), {"LD_BACKEND_TEST_MARK=from the host"});
    ASSERT_TRUE(await_ready(backend));
    EXPECT_TRUE(backend.command("target create " + example_program()).value("ok", false));
    EXPECT_TRUE(backend.command("breakpoint set -n compute").value("ok", false));
    EXPECT_TRUE(backend.command("process launch").value("ok", false));
    const std::optional<Json> stopped = backend.wait_for_state("stopped");
    ASSERT_TRUE(stopped);
    const auto debuggee = static_cast<pid_t>(stopped->value("pid", 0));
    ASSERT_GT(debuggee, 0);

    EXPECT_EQ(descriptors_of(debuggee), (std::set<std::string>{"0", "1", "2"}));
    // The back end was started with signals blocked and ignored; none of that reaches here.
    // SIGPIPE is the exception, and LLDB's: its debug server ignores SIGPIPE and passes that on
    // to every debuggee it launches (the lldb-16 command line does the same).
    EXPECT_EQ(status_field(debuggee, "SigBlk"), "0000000000000000");
    const std::uint64_t ignored = std::stoull(status_field(debuggee, "SigIgn"), nullptr, 16);
    EXPECT_EQ(ignored & ~(std::uint64_t{1} << (SIGPIPE - 1)), 0u) << status_field(debuggee, "SigIgn");

    const std::vector<std::string> environment = environment_of(debuggee);
    EXPECT_NE(std::find(environment.begin(), environment.end(), "LD_BACKEND_TEST_MARK=from the host"), environment.end());
    for (const std::string& entry : environment)
        EXPECT_NE(entry.rfind("LLDB_DEBUGSERVER_PATH=", 0), 0u) << "the back end's own setting leaked into the debuggee";

    // The debug server does not hold the host's pipes either: it would keep the event stream
    // open after the back end had gone.
    const std::optional<pid_t> server = parent_of(debuggee);
    ASSERT_TRUE(server);
    const std::string command_pipe = pipe_name(backend.command_fd());
    const std::string event_pipe = pipe_name(backend.event_fd());
    for (const std::string& fd : descriptors_of(*server)) {
        char target[256] = {};
        const std::string link = "/proc/" + std::to_string(*server) + "/fd/" + fd;
        const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
        if (n <= 0)
            continue;
        EXPECT_NE(std::string(target, static_cast<std::size_t>(n)), command_pipe) << "descriptor " << fd;
        EXPECT_NE(std::string(target, static_cast<std::size_t>(n)), event_pipe) << "descriptor " << fd;
    }

    backend.close_commands();
    EXPECT_TRUE(backend.read_to_end());
    const std::optional<int> status = backend.wait_exit();
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
}

INSTANTIATE_TEST_SUITE_P(Backends, LldbDebuggeeStart, ::testing::Values(Kind::Helper, Kind::Script),
                         [](const ::testing::TestParamInfo<Kind>& info) { return kind_name(info.param); });

}  // namespace
}  // namespace lldb_backend_test
