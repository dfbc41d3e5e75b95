// A step as an editor sees it: a DAP next request until its stopped event, through
// debugger-host --dap, against the same step sent raw through debugger-host --raw to the same
// back end; and a launch, from starting the adapter to the stop at the first breakpoint, the
// same way. LLDB's own DAP adapter is measured on the same program, for context.

#include <cstring>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include "measures.h"

namespace {

using Json = nlohmann::json;
using namespace std::chrono_literals;

constexpr int loopLine = 12; // the line inside the stepping program's loop

// A child on two pipes; reads lines or DAP frames from its output with a deadline.
class Child {
public:
    Child(const std::string &program, const std::vector<std::string> &arguments,
          const std::optional<std::vector<std::string>> &environment = std::nullopt)
    {
        int in[2], out[2];
        makePipe(in);
        makePipe(out);
        int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        pid_ = spawnProgram(program, arguments, {{in[0], 0}, {out[1], 1}, {null, 2}}, environment);
        closeAll({in[0], out[1], null});
        in_ = in[1];
        out_ = out[0];
    }
    ~Child()
    {
        closeAll({in_, out_});
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            reap(pid_);
        }
    }
    void write(const std::string &bytes) { writeAllTo(in_, bytes.data(), bytes.size()); }

    // The next line holding text; false past the deadline or at end of output.
    bool lineWith(const std::string &text, std::chrono::milliseconds timeout = 30s)
    {
        const auto deadline = BenchClock::now() + timeout;
        for (;;) {
            for (size_t newline; (newline = buffer_.find('\n')) != std::string::npos;) {
                const bool found = buffer_.compare(0, newline, text) == 0 ||
                                   buffer_.substr(0, newline).find(text) != std::string::npos;
                buffer_.erase(0, newline + 1);
                if (found)
                    return true;
            }
            if (!fill(deadline))
                return false;
        }
    }

    void send(const Json &message)
    {
        const std::string body = message.dump();
        write("Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    }

    // The next DAP message that passes the test.
    std::optional<Json> message(const std::function<bool(const Json &)> &wanted,
                                std::chrono::milliseconds timeout = 30s)
    {
        const auto deadline = BenchClock::now() + timeout;
        for (;;) {
            const size_t end = buffer_.find("\r\n\r\n");
            if (end != std::string::npos) {
                const size_t length = strtoul(buffer_.c_str() + buffer_.find(':') + 1, nullptr, 10);
                if (buffer_.size() >= end + 4 + length) {
                    Json parsed = Json::parse(buffer_.substr(end + 4, length), nullptr, false);
                    buffer_.erase(0, end + 4 + length);
                    if (wanted(parsed))
                        return parsed;
                    continue;
                }
            }
            if (!fill(deadline))
                return std::nullopt;
        }
    }

private:
    bool fill(BenchClock::time_point deadline)
    {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - BenchClock::now()).count();
        pollfd ready{out_, POLLIN, 0};
        if (left <= 0 || poll(&ready, 1, static_cast<int>(left)) <= 0)
            return false;
        char bytes[65536];
        ssize_t got = read(out_, bytes, sizeof bytes);
        if (got <= 0)
            return false;
        buffer_.append(bytes, static_cast<size_t>(got));
        return true;
    }

    pid_t pid_ = -1;
    int in_ = -1;
    int out_ = -1;
    std::string buffer_;
};

// One stepping session, started and stopped at the loop; step() times one step.
class Stepper {
public:
    virtual ~Stepper() = default;
    virtual bool ready() const = 0;
    virtual double step() = 0; // seconds, 0 for a failed step
    // From starting the session's process to the stop at the loop, in seconds; 0 if none.
    double firstStop() const { return firstStop_; }

protected:
    void stoppedFirst() { firstStop_ = secondsBetween(began_, BenchClock::now()); }

private:
    const BenchClock::time_point began_ = BenchClock::now();
    double firstStop_ = 0;
};

class DapStepper : public Stepper {
public:
    DapStepper(const std::string &adapter, const std::vector<std::string> &arguments, const std::string &program,
               const std::string &source, const Json &extra,
               const std::optional<std::vector<std::string>> &environment = std::nullopt, int line = loopLine)
        : child_(adapter, arguments, environment)
    {
        request("initialize", {{"adapterID", "bench"}, {"linesStartAt1", true}, {"columnsStartAt1", true}});
        Json launch = {{"program", program}};
        launch.update(extra);
        send("launch", launch);
        if (!child_.message([](const Json &m) { return m.value("event", "") == "initialized"; }))
            return;
        request("setBreakpoints", {{"source", {{"path", source}}}, {"breakpoints", {{{"line", line}}}}});
        request("configurationDone", Json::object());
        if (!stopped())
            return;
        stoppedFirst();
        request("setBreakpoints", {{"source", {{"path", source}}}, {"breakpoints", Json::array()}});
        ready_ = true;
    }
    ~DapStepper() override
    {
        if (ready_)
            request("disconnect", {{"terminateDebuggee", true}});
    }
    bool ready() const override { return ready_; }
    double step() override
    {
        const auto start = BenchClock::now();
        send("next", {{"threadId", thread_}});
        return stopped() ? secondsBetween(start, BenchClock::now()) : 0;
    }

    // From asking for the first page of the expression's elements, as an editor shows it, to
    // having it; 0 when it did not come.
    double firstPage(const std::string &expression, int64_t count)
    {
        // An adapter may evaluate only in a frame it is given, as an editor always gives one.
        const auto trace = request("stackTrace", {{"threadId", thread_}, {"levels", 1}});
        if (!trace || (*trace)["body"]["stackFrames"].empty())
            return 0;
        const auto evaluated = request(
            "evaluate",
            {{"expression", expression}, {"context", "watch"}, {"frameId", (*trace)["body"]["stackFrames"][0]["id"]}});
        if (!evaluated || !(*evaluated)["body"].contains("variablesReference"))
            return 0;
        const auto start = BenchClock::now();
        const auto page = request("variables", {{"variablesReference", (*evaluated)["body"]["variablesReference"]},
                                                {"filter", "indexed"},
                                                {"start", 0},
                                                {"count", count}});
        const double seconds = secondsBetween(start, BenchClock::now());
        return page && page->value("success", false) && !(*page)["body"]["variables"].empty() ? seconds : 0;
    }

private:
    int send(const std::string &command, const Json &arguments)
    {
        child_.send({{"seq", seq_}, {"type", "request"}, {"command", command}, {"arguments", arguments}});
        return seq_++;
    }
    std::optional<Json> request(const std::string &command, const Json &arguments)
    {
        const int seq = send(command, arguments);
        return child_.message(
            [seq](const Json &m) { return m.value("type", "") == "response" && m.value("request_seq", 0) == seq; });
    }
    bool stopped()
    {
        auto event = child_.message([](const Json &m) { return m.value("event", "") == "stopped"; });
        if (event)
            thread_ = (*event)["body"].value("threadId", 1);
        return event.has_value();
    }

    Child child_;
    int seq_ = 1;
    int thread_ = 1;
    bool ready_ = false;
};

class RawStepper : public Stepper {
public:
    RawStepper(const std::string &host, bool gdb, const std::string &program, const std::string &source)
        : gdb_(gdb), child_(host, {gdb ? "--gdb" : "--lldb", "--raw", program})
    {
        const std::string location = source + ":" + std::to_string(loopLine);
        if (gdb) {
            child_.write("-break-insert " + location + "\n-exec-run\n");
            ready_ = child_.lineWith("*stopped");
            if (ready_)
                stoppedFirst();
            child_.write("-break-delete\n");
            ready_ = ready_ && child_.lineWith("^done");
        } else {
            child_.write("breakpoint set -f " + source + " -l " + std::to_string(loopLine) + "\nprocess launch\n");
            ready_ = child_.lineWith("\"state\":\"stopped\"");
            if (ready_)
                stoppedFirst();
            child_.write("breakpoint delete 1\n");
            ready_ = ready_ && child_.lineWith("deleted");
        }
    }
    bool ready() const override { return ready_; }
    double step() override
    {
        const auto start = BenchClock::now();
        child_.write(gdb_ ? "-exec-next\n" : "next\n");
        return child_.lineWith(gdb_ ? "*stopped" : "\"state\":\"stopped\"") ? secondsBetween(start, BenchClock::now())
                                                                            : 0;
    }

private:
    bool gdb_;
    Child child_;
    bool ready_ = false;
};

// Steps in batches that alternate between the sessions, so that each median comes from the
// same stretch of the machine's other work.
std::vector<std::vector<double>> stepInTurns(std::vector<Stepper *> steppers, int steps)
{
    std::vector<std::vector<double>> times(steppers.size());
    constexpr int batch = 20;
    for (int done = 0; done < steps; done += batch) {
        for (size_t i = 0; i < steppers.size(); ++i) {
            for (int k = 0; k < batch && steppers[i]->ready(); ++k)
                times[i].push_back(steppers[i]->step());
        }
    }
    return times;
}

// LLDB's own adapter finds its server through the environment.
std::optional<std::vector<std::string>> lldbOwnEnvironment()
{
    auto environment = ownEnvironment();
    environment.emplace_back("LLDB_DEBUGSERVER_PATH=/usr/lib/llvm-16/bin/lldb-server");
    return environment;
}

const char *const lldbOwnAdapter = "/usr/bin/lldb-vscode-16";

} // namespace

void measureDapStep(const BenchConfig &config, Report &report)
{
    const std::string program = config.paths.debuggeeDir + "/stepping_program";
    const std::string source = config.paths.debuggeeSource;
    const int steps = config.smoke ? 40 : 300;
    const std::string host = config.paths.hostProgram;
    for (const bool gdb : {true, false}) {
        const std::string name = gdb ? "GDB" : "LLDB";
        DapStepper adapter(host, {"--dap"}, program, source, {{"backend", gdb ? "gdb" : "lldb"}});
        RawStepper raw(host, gdb, program, source);
        std::unique_ptr<DapStepper> lldbOwn;
        std::vector<Stepper *> steppers{&adapter, &raw};
        if (!gdb && access(lldbOwnAdapter, X_OK) == 0) {
            lldbOwn = std::make_unique<DapStepper>(lldbOwnAdapter, std::vector<std::string>{}, program, source,
                                                   Json::object(), lldbOwnEnvironment());
            if (lldbOwn->ready())
                steppers.push_back(lldbOwn.get());
        }
        if (!adapter.ready() || !raw.ready()) {
            report.rows.push_back(unmeasuredRow("DAP next -> stopped, " + name + ": adapter / --raw",
                                                "debugger-host --raw", {Goal::Kind::AtMost, 1.2},
                                                "a session did not reach the loop"));
            continue;
        }
        auto times = stepInTurns(steppers, steps);
        report.rows.push_back(makeRow("DAP next -> stopped, " + name + ": adapter / --raw",
                                      formatMilliseconds(medianOfValid(times[0])),
                                      "debugger-host --raw: " + formatMilliseconds(medianOfValid(times[1])),
                                      ratioOfMedians(times[0], times[1]), {Goal::Kind::AtMost, 1.2}));
        if (steppers.size() > 2)
            report.notes.push_back("LLDB's own DAP adapter (lldb-vscode-16), the same step on the same program: " +
                                   formatMilliseconds(medianOfValid(times[2])) +
                                   " (our adapter, LLDB: " + formatMilliseconds(medianOfValid(times[0])) + ")");
    }
}

// Whole sessions started in turns, each timed to its first stop and ended at once.
void measureDapLaunch(const BenchConfig &config, Report &report)
{
    const std::string program = config.paths.debuggeeDir + "/stepping_program";
    const std::string source = config.paths.debuggeeSource;
    const std::string host = config.paths.hostProgram;
    const int rounds = config.smoke ? 1 : 9;
    for (const bool gdb : {true, false}) {
        const std::string name = gdb ? "GDB" : "LLDB";
        const bool withOwn = !gdb && access(lldbOwnAdapter, X_OK) == 0;
        std::vector<double> adapter, raw, own;
        for (int round = 0; round < rounds; ++round) {
            adapter.push_back(
                DapStepper(host, {"--dap"}, program, source, {{"backend", gdb ? "gdb" : "lldb"}}).firstStop());
            raw.push_back(RawStepper(host, gdb, program, source).firstStop());
            if (withOwn)
                own.push_back(
                    DapStepper(lldbOwnAdapter, {}, program, source, Json::object(), lldbOwnEnvironment()).firstStop());
        }
        report.rows.push_back(makeRow("DAP launch -> first stop, " + name + ": adapter / --raw",
                                      formatMilliseconds(medianOfValid(adapter)),
                                      "debugger-host --raw: " + formatMilliseconds(medianOfValid(raw)),
                                      ratioOfMedians(adapter, raw), {Goal::Kind::AtMost, 1.1}));
        if (withOwn)
            report.rows.push_back(makeRow("DAP launch -> first stop, LLDB: adapter / lldb-vscode-16",
                                          formatMilliseconds(medianOfValid(adapter)),
                                          "lldb-vscode-16: " + formatMilliseconds(medianOfValid(own)),
                                          ratioOfMedians(adapter, own), {Goal::Kind::AtMost, 1.0}));
    }
}

// The first page of a 20,000-element array, as an editor asks for it once the array is shown.
void measureDapPage(const BenchConfig &config, Report &report)
{
    const std::string program = config.paths.debuggeeDir + "/array_program";
    std::string source = config.paths.debuggeeSource;
    source.replace(source.rfind('/') + 1, std::string::npos, "array_program.c");
    constexpr int breakLine = 10;
    constexpr int64_t pageSize = 100;
    const int rounds = config.smoke ? 3 : 30;
    for (const bool gdb : {true, false}) {
        const std::string name = gdb ? "GDB" : "LLDB";
        DapStepper adapter(config.paths.hostProgram, {"--dap"}, program, source, {{"backend", gdb ? "gdb" : "lldb"}},
                           std::nullopt, breakLine);
        std::unique_ptr<DapStepper> own;
        if (!gdb && access(lldbOwnAdapter, X_OK) == 0)
            own = std::make_unique<DapStepper>(lldbOwnAdapter, std::vector<std::string>{}, program, source,
                                               Json::object(), lldbOwnEnvironment(), breakLine);
        std::vector<double> ours, theirs;
        for (int round = 0; round < rounds && adapter.ready(); ++round) {
            ours.push_back(adapter.firstPage("many", pageSize));
            if (own && own->ready())
                theirs.push_back(own->firstPage("many", pageSize));
        }
        const std::string baseline =
            theirs.empty() ? "-" : "lldb-vscode-16: " + formatMilliseconds(medianOfValid(theirs));
        report.rows.push_back(makeSecondsRow("DAP first page (100) of a 20,000-element array, " + name,
                                             medianOfValid(ours), baseline,
                                             theirs.empty() ? std::nan("") : ratioOfMedians(ours, theirs), 0.050));
    }
}
