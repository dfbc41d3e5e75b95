#pragma once
// An LLDB back end behind the adapter: plain command lines for loading and running, structured
// requests (JSON lines answered by result records with a body) for everything an editor shows.
// lldb_driver.cpp starts, steps and reads it; lldb_driver_breakpoints.cpp,
// lldb_driver_variables.cpp and lldb_driver_memory.cpp serve the rest.

#include <atomic>
#include <chrono>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "host/dap/breakpoint_request.h"
#include "host/dap/line_driver.h"
#include "host/output_text.h"
#include "host/session/lldb_session.h"

namespace local_debugger::dap {

struct LldbAnswer {
    std::optional<LldbRecord> record; // the result record; nullopt: no answer
    std::string refusal;              // why the line was not sent
    bool ok() const { return record && record->ok(); }
    std::string error() const
    {
        if (!refusal.empty())
            return refusal;
        if (!record)
            return "the debugger has gone";
        std::string text = record->text("error");
        while (!text.empty() && text.back() == '\n')
            text.pop_back();
        return text.empty() ? "failed" : text;
    }
    Json body() const { return record ? record->fields.value("body", Json::object()) : Json::object(); }
    std::string output() const { return record ? record->text("output") : ""; }
};

class LldbDriver : public LineDriver<LldbAnswer> {
public:
    explicit LldbDriver(DapChannel &channel) : LineDriver(channel) {}
    ~LldbDriver() override { work_.stop(); }

    void pause() override;

private:
    // ---- starting and finishing, on the adapter's worker thread
    std::optional<std::string> attachTo(int64_t pid) override;
    std::optional<std::string> load(const Json &arguments) override;
    void endAttached(bool terminate) override
    {
        line(terminate ? "process kill" : "process detach", std::chrono::seconds(10));
    }
    std::optional<std::string> rerun(const Json &launch) override;

    // ---- from the reading thread, under lock_
    void read(std::string_view text) override;

    void process(const LldbRecord &record);

    void debuggeeOutput(const std::string &text)
    {
        if (!text.empty())
            channel_.event("output", {{"category", "stdout"}, {"output", text}});
    }

    // ---- lines to the back end, from any thread but the reading one. The back end numbers
    // lines as it reads them, so numbering and sending go together.
    LldbAnswer line(const std::string &text, std::chrono::milliseconds timeout = std::chrono::seconds(30),
                    AwaitedAnswers<LldbAnswer>::Then then = {})
    {
        return exchange([&] { return session_.line(text); }, timeout, std::move(then));
    }

    LldbAnswer ask(const Json &structured, AwaitedAnswers<LldbAnswer>::Then then = {});

    template <typename Frame>
    LldbAnswer exchange(Frame frame, std::chrono::milliseconds timeout, AwaitedAnswers<LldbAnswer>::Then then)
    {
        const bool waits = !then;
        uint64_t seq = 0;
        {
            std::lock_guard<std::mutex> sending(sendLock_);
            auto framed = frame();
            if (!framed) {
                LldbAnswer refused{std::nullopt, "a command line cannot hold a newline"};
                if (then)
                    then(refused);
                return refused;
            }
            seq = framed->seq;
            {
                std::lock_guard<std::mutex> guard(lock_);
                answers_.expect(seq, std::move(then));
            }
            client_->sendData("send", std::vector<uint8_t>(framed->bytes.begin(), framed->bytes.end()));
        }
        if (!waits)
            return {};
        std::unique_lock<std::mutex> guard(lock_);
        return answers_.wait(guard, seq, timeout);
    }

    template <typename Shape> void forward(const Json &request, const Json &structured, Shape shape)
    {
        LldbAnswer result = ask(structured);
        if (!result.ok()) {
            channel_.fail(request, result.error());
            return;
        }
        channel_.respond(request, shape(result.body()));
    }

    // ---- request handlers, on the adapter's worker thread
    void configurationDone(const Json &request) override;

    // Answered where the back end's answer arrives: a step wakes no thread of the adapter's but
    // the one that reads the back end.
    void step(const Json &request, Step kind, int64_t thread) override;

    void threads(const Json &request) override;

    void modules(const Json &request, const Json &arguments) override;

    void loadedSources(const Json &request) override;

    static Json placed(const Json &body, const std::string &path);

    // Those that cannot be set are left out of what the back end is given, and answered
    // unverified with the reason in their place.
    static Json given(const std::vector<BreakpointRequest> &allWanted, const char *key);

    static Json answered(const std::vector<BreakpointRequest> &allWanted, const Json &placedBody);

    void setBreakpoints(const Json &request, const Json &arguments) override;

    void setFunctionBreakpoints(const Json &request, const Json &arguments) override;

    // ---- log points, exception breakpoints and faults: the hooks of LineDriver
    std::string valueAt(int64_t thread, const std::string &expression) override;
    std::optional<std::string> resumeAfterLog(int64_t thread) override;
    std::string faultDescription(const DebuggeeStop &stop) override;
    // The throw breakpoint stops at __cxa_throw's entry, whose second argument is the type.
    std::string thrownTypeName(int64_t thread) override
    {
        return valueAt(thread, "(const char *) ((void **) $arg2)[1]");
    }
    Placed catchExceptions(bool thrown) override;
    void deleteBreakpoints(const std::vector<int64_t> &ids) override;

    // DAP frame ids name a thread and a frame index together, until the debuggee runs again.
    // Requests carry frame ids from 1 and thread ids below 2^31, so neither way overflows.
    int64_t frameId(int64_t thread, int64_t index) { return thread * 100000 + index + 1; }
    std::pair<int64_t, int64_t> frameOf(int64_t id) { return {(id - 1) / 100000, (id - 1) % 100000}; }

    void stackTrace(const Json &request, const Json &arguments) override;

    void scopes(const Json &request, const Json &arguments) override;

    // A back end's variable as the editor's; an array-like one's handle is kept as an array's.
    Json shown(const Json &variable);

    // The handles the back end gave to array-like values since the debuggee last ran.
    std::set<int64_t> &arrays();

    void variables(const Json &request, const Json &arguments) override;

    void setVariable(const Json &request, const Json &arguments) override;

    void evaluate(const Json &request, const Json &arguments) override;

    // The back end's format for what a request asks.
    static const char *format(const Json &arguments) { return hexRequested(arguments) ? "hex" : "natural"; }

    // The thread and frame of a request's frameId, into a structured request.
    void placeIn(Json &structured, const Json &arguments)
    {
        if (!arguments.contains("frameId"))
            return;
        const auto [thread, index] = frameOf(arguments.value("frameId", int64_t{0}));
        structured["thread"] = thread;
        structured["frame"] = index;
    }

    void setExpression(const Json &request, const Json &arguments) override;

    void completions(const Json &request, const Json &arguments) override;

    // The back end's completions of a command line: whole words, each replacing the last word.
    std::vector<std::string> completed(const std::string &line);

    void dataBreakpointInfo(const Json &request, const Json &arguments) override;

    void setDataBreakpoints(const Json &request, const Json &arguments) override;

    // The back end numbers the lines it reads: one command line per line sent keeps its answers
    // in step with the lines.
    void console(const Json &request, const std::string &input) override;

    // ---- memory and instructions: the back end's requests
    Bytes readBytes(uint64_t address, uint64_t count) override;
    std::optional<std::string> writeBytes(uint64_t address, const std::string &bytes) override;
    std::vector<Instruction> instructionsIn(uint64_t start, uint64_t end, uint64_t most) override;
    void setInstructionBreakpoints(const Json &request, const Json &arguments) override;

    std::mutex sendLock_;     // numbering and sending go together
    LldbSession session_;     // under sendLock_
    Json launch_;             // the launch request, from the editor's launch
    OutputText output_{true}; // the debuggee's terminal, read under lock_
    std::string lastSignal_;  // that of the last stop, read under lock_
    // The handles of array-like values, on the worker; they name nothing once the debuggee runs.
    std::set<int64_t> arrays_;
    std::atomic<uint64_t> runs_ = 0;
    // Under lock_: the program's pid, and that of one a restart replaced, whose end the back end
    // tells but which is not the session's.
    int64_t pid_ = 0;
    int64_t replacedPid_ = 0;
    uint64_t arraysRun_ = 0;
};

} // namespace local_debugger::dap
