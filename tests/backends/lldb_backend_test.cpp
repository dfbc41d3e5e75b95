// The two LLDB back ends, driven over real pipes the way the service drives them, through the
// same cases: a session, interrupts, text that is not UTF-8, and how the back end's end ends the
// debuggee. Every event line is checked to be one compact JSON object without nulls.

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>

#include "tests/support/service_run.h"

extern char **environ;

namespace {

using Json = nlohmann::ordered_json;
enum class Kind { Helper, Script };
const std::string example = LD_BIN_DIR "/example-program";

std::string firstLine(const std::string &commandLine)
{
    FILE *out = popen(commandLine.c_str(), "r");
    char line[4096] = {};
    bool read = fgets(line, sizeof line, out) != nullptr;
    pclose(out);
    return read ? std::string(line, strcspn(line, "\n")) : "";
}

class Backend {
public:
    explicit Backend(Kind kind)
    {
        ::signal(SIGPIPE, SIG_IGN);
        int command[2], event[2];
        if (pipe2(command, O_CLOEXEC) != 0 || pipe2(event, O_CLOEXEC) != 0)
            abort();
        std::vector<std::string> argv = {"/usr/bin/python3", LD_BUNDLE_DIR "/lldb_server.py"};
        if (kind == Kind::Helper)
            argv = {LD_BUNDLE_DIR "/lldb-helper"};
        argv.push_back(std::to_string(command[0]));
        argv.push_back(std::to_string(event[1]));
        // The environment the service gives: the host's block plus the back end's variable.
        std::vector<std::string> environment = {kind == Kind::Helper ? "DYLD_FRAMEWORK_PATH=/usr/lib/llvm-16/lib"
                                                                     : "PYTHONPATH=" + firstLine("/usr/bin/lldb-16 -P")};
        for (char **entry = environ; *entry != nullptr; ++entry) {
            if (!std::string(*entry).starts_with("PYTHONPATH=") && !std::string(*entry).starts_with("DYLD_"))
                environment.emplace_back(*entry);
        }
        std::vector<char *> args, env;
        for (std::string &arg : argv)
            args.push_back(arg.data());
        for (std::string &entry : environment)
            env.push_back(entry.data());
        args.push_back(nullptr);
        env.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            // Signals blocked and ignored, as a careless launcher might leave them: the back end
            // must undo this for itself and for its debuggee.
            sigset_t blocked;
            sigemptyset(&blocked);
            for (int signo : {SIGINT, SIGTERM, SIGUSR1})
                sigaddset(&blocked, signo);
            sigprocmask(SIG_BLOCK, &blocked, nullptr);
            ::signal(SIGINT, SIG_IGN);
            fcntl(command[0], F_SETFD, 0);
            fcntl(event[1], F_SETFD, 0);
            execve(args[0], args.data(), env.data());
            _exit(127);
        }
        close(command[0]);
        close(event[1]);
        commandFd_ = command[1];
        eventFd_ = event[0];
        EXPECT_TRUE(next([](const Json &r) { return r.value("type", "") == "ready"; })) << "no ready record";
    }
    ~Backend()
    {
        if (!status_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        closeCommands();
        close(eventFd_);
    }

    pid_t pid() const { return pid_; }
    const std::vector<Json> &records() const { return records_; }
    void signal(int signo) { kill(pid_, signo); }
    void send(const std::string &bytes)
    {
        EXPECT_EQ(write(commandFd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
        sent_ += static_cast<unsigned>(std::count(bytes.begin(), bytes.end(), '\n'));
    }
    void closeCommands()
    {
        if (commandFd_ >= 0)
            close(commandFd_);
        commandFd_ = -1;
    }

    // Sends one command line and waits for its result record (results can pass process events).
    Json command(const std::string &line)
    {
        send(line + "\n");
        auto isResult = [seq = sent_](const Json &r) { return r.value("seq", 0u) == seq; };
        for (size_t i = 0; readUntil(i); ++i) {
            if (isResult(records_[i]))
                return records_[i];
        }
        ADD_FAILURE() << "no result for " << line;
        return Json::object();
    }

    // The first record wanted accepts after the last one this returned.
    std::optional<Json> next(const std::function<bool(const Json &)> &wanted)
    {
        for (; readUntil(cursor_); ++cursor_) {
            if (wanted(records_[cursor_]))
                return records_[cursor_++];
        }
        return std::nullopt;
    }
    std::optional<Json> nextState(const std::string &state)
    {
        return next([&](const Json &r) { return r.value("type", "") == "process" && r.value("state", "") == state; });
    }

    // Everything the debuggee wrote to standard output, in order.
    std::string output() const
    {
        std::string text;
        for (const Json &r : records_)
            text += r.value("type", "") == "output" && r.value("stream", "") == "stdout" ? r.value("data", "") : "";
        return text;
    }

    // Reads the event stream to its end; the back end's wait status.
    std::optional<int> end()
    {
        while (readUntil(records_.size())) {
        }
        int status = 0;
        if (waitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }))
            status_ = status;
        return status_;
    }

private:
    // True once record index exists, reading more as needed.
    bool readUntil(size_t index)
    {
        while (index >= records_.size()) {
            size_t newline;
            while ((newline = pending_.find('\n')) == std::string::npos) {
                pollfd readable{eventFd_, POLLIN, 0};
                char buffer[65536];
                ssize_t got = poll(&readable, 1, 20000) > 0 ? read(eventFd_, buffer, sizeof buffer) : -1;
                if (got <= 0)
                    return false;
                pending_.append(buffer, static_cast<size_t>(got));
            }
            std::string line = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            Json record = Json::parse(line, nullptr, false);
            record = record.is_object() ? record : Json::object();
            EXPECT_EQ(record.dump(), line) << "not one compact JSON object";
            EXPECT_TRUE(record.contains("type") && line.find(":null") == std::string::npos) << line;
            if (record.value("type", "") == "result") {
                EXPECT_EQ(record.value("seq", 0u), ++results_) << "results out of order: " << line;
            }
            records_.push_back(record);
        }
        return true;
    }

    pid_t pid_ = -1;
    int commandFd_ = -1, eventFd_ = -1;
    std::string pending_;
    unsigned sent_ = 0, results_ = 0;
    size_t cursor_ = 0;
    std::optional<int> status_;
    std::vector<Json> records_;
};

std::string statusField(pid_t pid, const std::string &field)
{
    std::string status = readFile("/proc/" + std::to_string(pid) + "/status");
    size_t at = status.find("\n" + field + ":\t");
    return at == std::string::npos ? "" : status.substr(at + field.size() + 3, 16);
}

class LldbBackend : public ::testing::TestWithParam<Kind> {};

TEST_P(LldbBackend, SessionStopsAtEachBreakpointReadsTheVariableAndRelaysTheDebuggeesOwnOutput)
{
    Backend backend(GetParam());
    EXPECT_EQ(backend.records().at(0).value("backend", ""), GetParam() == Kind::Helper ? "lldb-helper" : "lldb_server");
    EXPECT_EQ(backend.records().at(0).value("version", ""), firstLine("/usr/bin/lldb-16 --version"));
    EXPECT_TRUE(backend.command("target create " + example).value("ok", false));
    EXPECT_TRUE(backend.command("breakpoint set -n compute").value("ok", false));
    EXPECT_TRUE(backend.command("process launch").value("ok", false));
    for (int x = 1; x <= 3; ++x) {
        auto stopped = backend.nextState("stopped");
        ASSERT_TRUE(stopped) << "no stop for x = " << x;
        EXPECT_EQ(stopped->value("reason", ""), "breakpoint");
        EXPECT_EQ((*stopped)["frame"].value("function", ""), "compute");
        EXPECT_EQ((*stopped)["frame"].value("file", ""), LD_SOURCE_DIR "/example/example_program.c");
        pid_t debuggee = stopped->value("pid", 0);
        // The back end started with signals blocked and ignored; none of that reaches the
        // debuggee but SIGPIPE, which LLDB's debug server ignores for every debuggee.
        EXPECT_EQ(statusField(debuggee, "SigBlk"), "0000000000000000");
        EXPECT_EQ(std::stoull(statusField(debuggee, "SigIgn"), nullptr, 16) & ~(1ull << (SIGPIPE - 1)), 0u);
        EXPECT_EQ(descriptorCount(debuggee), 3u);
        EXPECT_EQ(backend.command("frame variable x").value("output", ""), "(int) x = " + std::to_string(x) + "\n");
        EXPECT_TRUE(backend.command("continue").value("ok", false));
    }
    auto exited = backend.nextState("exited");
    ASSERT_TRUE(exited);
    EXPECT_EQ(exited->value("status", -1), 0);
    EXPECT_EQ(backend.output(), "step 1 total 2\r\nstep 2 total 7\r\nstep 3 total 17\r\ndone 17\r\n");
    for (const Json &record : backend.records())
        EXPECT_EQ(record.value("output", "").find("total"), std::string::npos) << record.dump();
    backend.closeCommands();
    EXPECT_EQ(backend.end(), 0);
}

TEST_P(LldbBackend, SigintStopsARunningDebuggeeAndNeverEndsTheBackEnd)
{
    Backend backend(GetParam());
    backend.signal(SIGINT);
    EXPECT_TRUE(backend.command("version").value("ok", false)) << "SIGINT with no debuggee ended the back end";
    backend.command("target create " + example);
    // Stopping in spin first: an interrupt while LLDB is busy with the loader stops it there.
    backend.command("breakpoint set -n spin");
    backend.command("process launch -- spin");
    ASSERT_TRUE(backend.nextState("stopped"));
    backend.command("breakpoint delete 1");
    for (int round = 0; round < 2; ++round) {
        backend.command("continue");
        ASSERT_TRUE(backend.nextState("running"));
        backend.signal(SIGINT);
        auto stopped = backend.nextState("stopped");
        ASSERT_TRUE(stopped) << "round " << round;
        EXPECT_EQ(stopped->value("reason", ""), "signal");
        EXPECT_EQ((*stopped)["frame"].value("function", ""), "spin");
    }
    backend.closeCommands();
    EXPECT_EQ(backend.end(), 0);
}

TEST_P(LldbBackend, TextThatIsNotUtf8IsRefusedAsACommandAndReplacedInDebuggeeOutput)
{
    Backend backend(GetParam());
    backend.send("bad \xff\xfe line\n");
    EXPECT_TRUE(backend.command("version").value("ok", false));
    EXPECT_TRUE(std::any_of(backend.records().begin(), backend.records().end(), [](const Json &r) {
        return r.value("seq", 0u) == 1 && !r.value("ok", true);
    })) << "the line that is not UTF-8 did not use up its seq number";
    EXPECT_TRUE(backend.next([](const Json &r) { return r.value("type", "") == "error"; }));
    backend.command("target create /bin/sh");
    // An accented letter, a byte that never starts a character, a character written in two
    // pieces apart in time, and one cut short by the end of the output.
    backend.command(R"(process launch -- -c "printf '\303\251 \377 \342\202'; sleep 0.3; printf '\254 \342\202'")");
    ASSERT_TRUE(backend.nextState("exited"));
    EXPECT_EQ(backend.output(), "\xC3\xA9 \xEF\xBF\xBD \xE2\x82\xAC \xEF\xBF\xBD");
}

std::string kindName(const ::testing::TestParamInfo<Kind> &info)
{
    return info.param == Kind::Helper ? "Helper" : "Script";
}

INSTANTIATE_TEST_SUITE_P(Backends, LldbBackend, ::testing::Values(Kind::Helper, Kind::Script), kindName);

// Ended by SIGTERM, SIGKILL, or end of input (0) on the command descriptor.
class LldbBackendEnding : public ::testing::TestWithParam<std::tuple<Kind, int>> {};

TEST_P(LldbBackendEnding, DebuggeeAndDebugServerNeverOutliveTheBackEnd)
{
    const auto [kind, ending] = GetParam();
    Backend backend(kind);
    backend.command("target create " + example);
    backend.command("process launch -- spin");
    auto running = backend.nextState("running");
    ASSERT_TRUE(running);
    std::vector<pid_t> below = childrenOf(backend.pid());
    for (size_t i = 0; i < below.size(); ++i) {
        for (pid_t child : childrenOf(below[i]))
            below.push_back(child);
    }
    ASSERT_NE(std::find(below.begin(), below.end(), running->value("pid", 0)), below.end());
    if (ending == 0)
        backend.closeCommands();
    else
        backend.signal(ending);
    auto status = backend.end();
    ASSERT_TRUE(status);
    EXPECT_TRUE(ending == SIGKILL ? WIFSIGNALED(*status) : *status == 0) << *status;
    if (ending != SIGKILL) {
        EXPECT_TRUE(backend.nextState("exited")) << "the last word on the debuggee is not that it has gone";
    }
    for (pid_t pid : below)
        EXPECT_TRUE(processGone(pid)) << "process " << pid << " outlived its back end";
}

INSTANTIATE_TEST_SUITE_P(Endings, LldbBackendEnding,
                         ::testing::Combine(::testing::Values(Kind::Helper, Kind::Script), ::testing::Values(SIGTERM, 0, SIGKILL)));

} // namespace
