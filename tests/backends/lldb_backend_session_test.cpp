// Sessions with the two LLDB back ends, driven over real pipes as the service drives them.
#include "tests/backends/lldb_backend_harness.h"
#include "tests/support/files.h"

#include <gtest/gtest.h>

#include <cctype>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace lldb_backend_test {
namespace {

std::string with_crlf(const std::string& text)
{
    std::string converted;
    for (const char c : text) {
        if (c == '\n')
            converted += "\r\n";
        else
            converted += c;
    }
    return converted;
}

std::string expected_backend_name(Kind kind)
{
    return kind == Kind::Helper ? "lldb-helper" : "lldb_server";
}

std::optional<Json> first_launching(const Backend& backend)
{
    for (const Json& record : backend.records()) {
        if (is_state(record, "launching"))
            return record;
    }
    return std::nullopt;
}

class LldbBackendSession : public ::testing::TestWithParam<Kind> {};

TEST_P(LldbBackendSession, StopsAtBreakpointReadsVariableAndRunsToExit)
{
    Backend backend(GetParam());
    const std::optional<Json> ready = await_ready(backend);
    ASSERT_TRUE(ready && is_type(*ready, "ready"));
    EXPECT_EQ(ready->value("backend", ""), expected_backend_name(GetParam()));
    EXPECT_EQ(ready->value("version", ""), lldb_version_line());

    const Json created = backend.command("target create " + example_program());
    EXPECT_TRUE(created.value("ok", false)) << created.dump();
    const Json breakpoint = backend.command("breakpoint set -n compute");
    EXPECT_TRUE(breakpoint.value("ok", false)) << breakpoint.dump();
    const Json launched = backend.command("process launch");
    EXPECT_TRUE(launched.value("ok", false)) << launched.dump();

    // The launch is announced before its result.
    const std::optional<Json> launching = first_launching(backend);
    ASSERT_TRUE(launching) << "no launching record before the result of process launch";
    const std::uint64_t pid = launching->value("pid", 0u);
    ASSERT_GT(pid, 0u);
    EXPECT_NE(launched.value("output", "").find("Process " + std::to_string(pid) + " launched"), std::string::npos)
        << launched.dump();

    const std::uint32_t line = source_line_of("int square = x * x;");
    ASSERT_NE(line, 0u);
    for (int x = 1; x <= 3; ++x) {
        const std::optional<Json> stopped = backend.wait_for_state("stopped");
        ASSERT_TRUE(stopped) << "no stop for x = " << x;
        EXPECT_EQ(stopped->value("pid", 0u), pid);
        EXPECT_EQ(stopped->value("reason", ""), "breakpoint");
        EXPECT_EQ(stopped->value("thread", 0u), 1u);
        EXPECT_FALSE(stopped->contains("signal"));
        ASSERT_TRUE(stopped->contains("frame")) << stopped->dump();
        const Json frame = stopped->value("frame", Json::object());
        EXPECT_EQ(frame.value("function", ""), "compute");
        EXPECT_EQ(frame.value("file", ""), LD_SOURCE_DIR "/example/example_program.c");
        EXPECT_EQ(frame.value("line", 0u), line);

        const Json variable = backend.command("frame variable x");
        EXPECT_TRUE(variable.value("ok", false)) << variable.dump();
        EXPECT_EQ(variable.value("output", ""), "(int) x = " + std::to_string(x) + "\n");
        EXPECT_EQ(variable.value("error", "?"), "");

        const Json resumed = backend.command("continue");
        EXPECT_TRUE(resumed.value("ok", false)) << resumed.dump();
    }
    const std::optional<Json> exited = backend.wait_for_state("exited");
    ASSERT_TRUE(exited);
    EXPECT_EQ(exited->value("pid", 0u), pid);
    EXPECT_EQ(exited->value("status", -1), 0);

    // What the debuggee wrote, through its terminal, and nothing else.
    const std::string direct = capture({example_program()});
    ASSERT_FALSE(direct.empty());
    const std::string expected = with_crlf(direct);
    EXPECT_EQ(backend.output_text("stdout"), expected);
    EXPECT_EQ(backend.output_text("stderr"), "");

    // Each of its lines lands between the stop before it and the stop after it.
    std::vector<std::string> flow;
    for (const Json& record : backend.records()) {
        if (is_type(record, "process")) {
            flow.push_back(record.value("state", ""));
        } else if (is_type(record, "output")) {
            if (flow.empty() || flow.back().rfind("output:", 0) != 0)
                flow.push_back("output:");
            flow.back() += record.value("data", "");
        }
    }
    std::vector<std::string> lines;
    for (std::size_t start = 0; start < expected.size();) {
        const std::size_t end = expected.find("\r\n", start);
        lines.push_back(expected.substr(start, end + 2 - start));
        start = end + 2;
    }
    ASSERT_EQ(lines.size(), 4u);
    const std::vector<std::string> expected_flow = {
        "launching", "running", "stopped", "running", "output:" + lines[0], "stopped", "running",
        "output:" + lines[1], "stopped", "running", "output:" + lines[2] + lines[3], "exited"};
    EXPECT_EQ(flow, expected_flow);

    for (const Json& result : backend.of_type("result")) {
        for (const char* field : {"output", "error"}) {
            EXPECT_EQ(result.value(field, "").find("total"), std::string::npos)
                << "debuggee output inside a result: " << result.dump();
        }
    }

    backend.close_commands();
    EXPECT_TRUE(backend.read_to_end());
    const std::optional<int> status = backend.wait_exit();
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
    EXPECT_EQ(backend.of_type("result").size(), backend.lines_sent());
    EXPECT_TRUE(backend.of_type("error").empty());
}

TEST_P(LldbBackendSession, InterruptStopsTheDebuggeeAndNeverEndsTheBackend)
{
    Backend backend(GetParam());
    ASSERT_TRUE(await_ready(backend));

    // Nothing to interrupt yet: the back end carries on.
    backend.signal(SIGINT);
    const Json version = backend.command("version");
    EXPECT_TRUE(version.value("ok", false)) << version.dump();
    EXPECT_TRUE(backend.alive());

    // Let it reach its endless loop first: an interrupt that lands while LLDB is still busy with
    // the dynamic loader stops it there, for reasons of LLDB's own.
    EXPECT_TRUE(backend.command("target create " + example_program()).value("ok", false));
    EXPECT_TRUE(backend.command("breakpoint set -n spin").value("ok", false));
    EXPECT_TRUE(backend.command("process launch -- spin").value("ok", false));
    const std::optional<Json> in_loop = backend.wait_for_state("stopped");
    ASSERT_TRUE(in_loop);
    ASSERT_EQ(in_loop->value("frame", Json::object()).value("function", ""), "spin") << in_loop->dump();
    const std::uint64_t pid = in_loop->value("pid", 0u);
    EXPECT_TRUE(backend.command("breakpoint delete 1").value("ok", false));
    EXPECT_TRUE(backend.command("continue").value("ok", false));
    ASSERT_TRUE(backend.wait_for_state("running"));

    for (int round = 1; round <= 2; ++round) {
        backend.signal(SIGINT);
        const std::optional<Json> stopped = backend.wait_for_state("stopped");
        ASSERT_TRUE(stopped) << "round " << round;
        EXPECT_EQ(stopped->value("pid", 0u), pid);
        EXPECT_EQ(stopped->value("reason", ""), "signal");
        EXPECT_EQ(stopped->value("signal", ""), "SIGSTOP");
        EXPECT_EQ(stopped->value("frame", Json::object()).value("function", ""), "spin") << stopped->dump();
        EXPECT_TRUE(backend.alive());
        EXPECT_FALSE(process_gone(static_cast<pid_t>(pid)));
        // Interrupting a stopped debuggee changes nothing.
        backend.signal(SIGINT);
        const Json status = backend.command("process status");
        EXPECT_TRUE(status.value("ok", false)) << status.dump();
        EXPECT_NE(status.value("output", "").find("stopped"), std::string::npos) << status.dump();
        if (round == 1) {
            EXPECT_TRUE(backend.command("continue").value("ok", false));
            ASSERT_TRUE(backend.wait_for_state("running"));
        }
    }

    EXPECT_TRUE(backend.command("process kill").value("ok", false));
    const std::optional<Json> exited = backend.wait_for_state("exited");
    ASSERT_TRUE(exited);
    EXPECT_EQ(exited->value("status", -1), SIGKILL);
    EXPECT_TRUE(wait_gone(static_cast<pid_t>(pid)));
    EXPECT_TRUE(backend.alive());

    backend.close_commands();
    EXPECT_TRUE(backend.read_to_end());
    const std::optional<int> status = backend.wait_exit();
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
}

TEST_P(LldbBackendSession, LinesThatAreNotTextAreRefusedButCounted)
{
    Backend backend(GetParam());
    ASSERT_TRUE(await_ready(backend));

    backend.send_raw("bad \xff\xfe line\n");
    backend.send_raw(std::string("nul\0inside\n", 11));
    const Json version = backend.command("version");
    EXPECT_EQ(version.value("seq", 0u), 3u);
    EXPECT_TRUE(version.value("ok", false));
    EXPECT_EQ(version.value("output", ""), lldb_version_line() + "\n");

    const std::vector<Json> results = backend.of_type("result");
    ASSERT_EQ(results.size(), 3u);
    for (std::size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(results[i].value("seq", 0u), i + 1);
        EXPECT_FALSE(results[i].value("ok", true)) << results[i].dump();
        EXPECT_EQ(results[i].value("output", "?"), "");
        EXPECT_FALSE(results[i].value("error", "").empty());
    }
    const std::vector<Json> errors = backend.of_type("error");
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_NE(errors[0].value("message", "").find("command line 1 "), std::string::npos) << errors[0].dump();
    EXPECT_NE(errors[1].value("message", "").find("command line 2 "), std::string::npos) << errors[1].dump();

    // A carriage return before the newline belongs to the line ending.
    backend.send_raw("version\r\n");
    const std::optional<Json> crlf = backend.result_for(4);
    ASSERT_TRUE(crlf);
    EXPECT_TRUE(crlf->value("ok", false)) << crlf->dump();
    EXPECT_EQ(crlf->value("output", ""), lldb_version_line() + "\n");

    // A last line without its newline still runs before the back end ends.
    backend.send_raw("version");
    backend.close_commands();
    const std::optional<Json> last = backend.result_for(5);
    ASSERT_TRUE(last);
    EXPECT_TRUE(last->value("ok", false)) << last->dump();
    EXPECT_TRUE(backend.read_to_end());
    const std::optional<int> status = backend.wait_exit();
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
}

TEST_P(LldbBackendSession, QuitEndsTheSessionAndTheDebuggee)
{
    Backend backend(GetParam());
    ASSERT_TRUE(await_ready(backend));
    EXPECT_TRUE(backend.command("target create " + example_program()).value("ok", false));
    EXPECT_TRUE(backend.command("process launch -- spin").value("ok", false));
    const std::optional<Json> running = backend.wait_for_state("running");
    ASSERT_TRUE(running);
    const auto pid = static_cast<pid_t>(running->value("pid", 0));

    // Both lines arrive together; the one after "quit" is never run.
    backend.send_raw("quit\nversion\n");
    const std::optional<Json> quit = backend.result_for(3);
    ASSERT_TRUE(quit);
    EXPECT_TRUE(quit->value("ok", false)) << quit->dump();
    EXPECT_TRUE(backend.read_to_end());
    EXPECT_EQ(backend.of_type("result").size(), 3u);
    const std::optional<int> status = backend.wait_exit();
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
    EXPECT_TRUE(process_gone(pid));
}

TEST_P(LldbBackendSession, DebuggeeBytesThatAreNotUtf8BecomeReplacementCharacters)
{
    Backend backend(GetParam());
    ASSERT_TRUE(await_ready(backend));
    EXPECT_TRUE(backend.command("target create /usr/bin/printf").value("ok", false));
    // An accented letter, a byte that never starts a character, and a character cut short by
    // the end of the output.
    EXPECT_TRUE(backend.command(R"(process launch -- 'plain \303\251 \377 \342\202')").value("ok", false));
    const std::optional<Json> exited = backend.wait_for_state("exited");
    ASSERT_TRUE(exited);
    EXPECT_EQ(exited->value("status", -1), 0);
    EXPECT_EQ(backend.output_text(), "plain \xC3\xA9 \xEF\xBF\xBD \xEF\xBF\xBD");
    // Gone before the back end had a look at it, it still counts as launched.
    std::vector<std::string> states;
    for (const Json& record : backend.of_type("process"))
        states.push_back(record.value("state", ""));
    EXPECT_EQ(states, (std::vector<std::string>{"launching", "running", "exited"}));

    // A character written in two pieces, apart in time, arrives whole.
    EXPECT_TRUE(backend.command("target create /bin/sh").value("ok", false));
    EXPECT_TRUE(
        backend.command(R"(process launch -- -c "printf '\342\202'; sleep 0.3; printf '\254 \342'; sleep 0.3; printf '\202\254'")")
            .value("ok", false));
    const std::optional<Json> second = backend.wait_for_state("exited");
    ASSERT_TRUE(second);
    EXPECT_EQ(backend.output_text(), "plain \xC3\xA9 \xEF\xBF\xBD \xEF\xBF\xBD"
                                     "\xE2\x82\xAC \xE2\x82\xAC");
}

TEST_P(LldbBackendSession, AttachReportsItsFirstStopAndDetachLeavesItRunning)
{
    const pid_t victim = ::fork();
    ASSERT_GE(victim, 0);
    if (victim == 0) {
        ::execl(LD_BIN_DIR "/example-program", "example-program", "spin", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    struct Reaper {
        pid_t pid;
        ~Reaper()
        {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
    } reaper{victim};

    Backend backend(GetParam());
    ASSERT_TRUE(await_ready(backend));
    const Json attached = backend.command("process attach -p " + std::to_string(victim));
    EXPECT_TRUE(attached.value("ok", false)) << attached.dump();
    // LLDB keeps an attach's first stop to itself; the back end still reports it, before the
    // result, and there is no launching record for a process it did not launch.
    const std::optional<Json> stopped = backend.wait_for_state("stopped", std::chrono::seconds(0));
    ASSERT_TRUE(stopped) << "no stop reported before the result of process attach";
    EXPECT_EQ(stopped->value("pid", 0), victim);
    EXPECT_EQ(stopped->value("reason", ""), "signal");
    EXPECT_EQ(stopped->value("frame", Json::object()).value("function", ""), "spin") << stopped->dump();
    EXPECT_FALSE(first_launching(backend));

    EXPECT_TRUE(backend.command("continue").value("ok", false));
    ASSERT_TRUE(backend.wait_for_state("running"));
    EXPECT_TRUE(backend.command("process detach").value("ok", false));
    const std::optional<Json> detached = backend.wait_for_state("detached");
    ASSERT_TRUE(detached);
    EXPECT_EQ(detached->value("pid", 0), victim);

    backend.close_commands();
    EXPECT_TRUE(backend.read_to_end());
    const std::optional<int> status = backend.wait_exit();
    ASSERT_TRUE(status);
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << *status;
    // Detached, it is no longer the back end's to end.
    EXPECT_FALSE(process_gone(victim));
    EXPECT_EQ(::waitpid(victim, nullptr, WNOHANG), 0);
}

INSTANTIATE_TEST_SUITE_P(Backends, LldbBackendSession, ::testing::Values(Kind::Helper, Kind::Script),
                         [](const ::testing::TestParamInfo<Kind>& info) { return kind_name(info.param); });

// One scripted session, with the records the host sees reduced to what must not differ
// between the back ends: pids are replaced, streams are compared one by one.
struct Transcript {
    Json ready;
    std::vector<std::string> results;
    std::vector<std::string> process;
    std::vector<std::string> errors;
    std::string output;
};

// Replaces every number that is one of the pids (a whole run of digits, not part of one).
std::string without_pids(const std::string& text, const std::set<std::uint64_t>& pids)
{
    std::set<std::string> names;
    for (const std::uint64_t pid : pids)
        names.insert(std::to_string(pid));
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        if (std::isdigit(static_cast<unsigned char>(text[i])) == 0) {
            out += text[i++];
            continue;
        }
        std::size_t end = i;
        while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end])) != 0)
            ++end;
        const std::string number = text.substr(i, end - i);
        out += names.count(number) != 0 ? "<pid>" : number;
        i = end;
    }
    return out;
}

Transcript scripted_session(Kind kind)
{
    Transcript transcript;
    Backend backend(kind);
    const std::optional<Json> ready = await_ready(backend);
    if (!ready)
        return transcript;
    transcript.ready = *ready;
    transcript.ready.erase("backend");

    backend.command("target create " + example_program());
    backend.command("breakpoint set -n compute");
    backend.command("process launch");
    backend.wait_for_state("stopped");
    backend.command("frame variable x");
    backend.command("continue");
    backend.wait_for_state("stopped");
    backend.command("frame variable x");
    backend.command("thread list");
    backend.command("breakpoint delete 1");
    backend.command("continue");
    backend.wait_for_state("exited");
    backend.command("process status");
    backend.command("no-such-command");
    backend.send_raw("bad \xC3 line\n");
    backend.command("version");
    backend.close_commands();
    EXPECT_TRUE(backend.read_to_end());
    const std::optional<int> status = backend.wait_exit();
    EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0);

    std::set<std::uint64_t> pids;
    for (const Json& record : backend.of_type("process"))
        pids.insert(record.value("pid", 0u));
    for (Json record : backend.records()) {
        if (record.contains("pid"))
            record["pid"] = 0;
        const std::string line = without_pids(record.dump(), pids);
        if (is_type(record, "result"))
            transcript.results.push_back(line);
        else if (is_type(record, "process"))
            transcript.process.push_back(line);
        else if (is_type(record, "error"))
            transcript.errors.push_back(line);
    }
    transcript.output = backend.output_text();
    return transcript;
}

TEST(LldbBackends, GiveTheSameRecordsForTheSameSession)
{
    const Transcript helper = scripted_session(Kind::Helper);
    const Transcript script = scripted_session(Kind::Script);
    ASSERT_EQ(helper.results.size(), 13u);
    EXPECT_EQ(helper.ready, script.ready);
    EXPECT_EQ(helper.results, script.results);
    EXPECT_EQ(helper.process, script.process);
    EXPECT_EQ(helper.errors, script.errors);
    EXPECT_EQ(helper.output, script.output);
    EXPECT_FALSE(helper.output.empty());
    EXPECT_EQ(helper.process.size(), 7u);
}

// A Python directory whose "lldb" is a package without LLDB's native part imports cleanly; the
// script must say so in its one record instead of failing later on some missing name.
TEST(LldbScriptBackend, NamesAnLldbModuleWithoutItsNativePartAndEnds)
{
    TempDir python;
    std::filesystem::create_directory(python.path() + "/lldb");
    writeFile(python.path() + "/lldb/__init__.py", "");
    Backend backend(Kind::Script, {"PYTHONPATH=" + python.path()});
    ASSERT_TRUE(backend.read_to_end());
    EXPECT_TRUE(backend.of_type("ready").empty());
    const std::vector<Json> errors = backend.of_type("error");
    ASSERT_EQ(errors.size(), 1u);
    const std::string message = errors[0].value("message", "");
    EXPECT_NE(message.find("has no SBDebugger"), std::string::npos) << message;
    EXPECT_NE(message.find(python.path() + "/lldb"), std::string::npos) << message;
    const std::optional<int> status = backend.wait_exit();
    ASSERT_TRUE(status.has_value());
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) != 0) << *status;
}

}  // namespace
}  // namespace lldb_backend_test
