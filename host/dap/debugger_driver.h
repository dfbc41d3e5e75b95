#pragma once
// One debugger behind the adapter: it turns the editor's requests into the debugger's commands,
// and what the debugger writes into responses and events.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/dap/dap_channel.h"
#include "host/dap/memory_requests.h"
#include "host/service_client.h"

namespace local_debugger::dap {

class DebuggerDriver {
public:
    virtual ~DebuggerDriver() = default;
    // What the debugger writes, from the client's reading thread.
    virtual void feed(const uint8_t *bytes, size_t count) = 0;
    virtual void closed() = 0;
    // The debugger has been launched in the service: load the program or attach (the request's
    // arguments). Answers the request itself.
    virtual void start(ServiceClient &client, const Json &request) = 0;
    // Every other request about the debuggee, one at a time; each is answered by the driver.
    // False for a request no driver serves.
    bool handle(const Json &request);
    // From the thread that reads the editor's requests, while handle may be waiting.
    virtual void pause() = 0;
    // The debuggee runs: a request now may wait for its stop.
    virtual bool running() const = 0;
    // Ends the debuggee, or lets it go (detach) when terminate is false. The run ends after.
    virtual void finish(bool terminate) = 0;
    // Before start: the terminal (the editor's) the program's standard streams are to be.
    void runOn(std::string terminal) { programTerminal_ = std::move(terminal); }
    // Whether the client counts columns from 1 (the default) or from 0, as initialize said.
    void setColumnsFrom1(bool from1) { columnsFrom1_ = from1; }

protected:
    std::string programTerminal_; // empty: the adapter's pipes or pseudo-terminal, as the driver makes
    enum class Step { Continue, Over, Into, Out, OverInstruction, IntoInstruction };
    virtual DapChannel &channel() = 0;
    virtual void configurationDone(const Json &request) = 0;
    // Runs a launched program again from its start, with the launch's arguments or those given.
    virtual void restart(const Json &request, const Json &arguments) = 0;
    virtual void setBreakpoints(const Json &request, const Json &arguments) = 0;
    virtual void setFunctionBreakpoints(const Json &request, const Json &arguments) = 0;
    virtual void setExceptionBreakpoints(const Json &request, const Json &arguments) = 0;
    // What the last stop for a signal or an exception was.
    virtual void exceptionInfo(const Json &request) = 0;
    virtual void threads(const Json &request) = 0;
    // The executable and its shared libraries; the source files the debugger knows, bounded.
    virtual void modules(const Json &request, const Json &arguments) = 0;
    virtual void loadedSources(const Json &request) = 0;
    virtual void stackTrace(const Json &request, const Json &arguments) = 0;
    virtual void scopes(const Json &request, const Json &arguments) = 0;
    virtual void variables(const Json &request, const Json &arguments) = 0;
    virtual void setVariable(const Json &request, const Json &arguments) = 0;
    virtual void evaluate(const Json &request, const Json &arguments) = 0;
    // Assigns to an lvalue expression in a frame; answered with its value after the write.
    virtual void setExpression(const Json &request, const Json &arguments) = 0;
    // The debug console's candidates for the word before the cursor.
    virtual void completions(const Json &request, const Json &arguments) = 0;
    // Where a variable (variablesReference and name) or an expression (name, in frameId's frame)
    // lies, as a dataId; and the watchpoints on such data, in place of those set before.
    virtual void dataBreakpointInfo(const Json &request, const Json &arguments) = 0;
    virtual void setDataBreakpoints(const Json &request, const Json &arguments) = 0;
    // Input for the debugger's own command line, run a line at a time, each answered before the
    // next is sent; answered with what the lines wrote.
    virtual void console(const Json &request, const std::string &input) = 0;
    // Answered once the debugger has resumed (continue: with allThreadsContinued).
    virtual void step(const Json &request, Step kind, int64_t thread) = 0;

    // A request's format asks for integers in hexadecimal.
    static bool hexRequested(const Json &arguments)
    {
        const auto format = arguments.find("format");
        return format != arguments.end() && format->is_object() && format->value("hex", false);
    }

    bool columnsFrom1_ = true;

    // ---- memory and instructions, served in memory_requests.cpp over what each debugger gives:
    // bytes read from the start of the range (fewer where memory ends, with the reason when
    // there are none); a write, or why not; the instructions that start within [start, end),
    // the first most of them (none where memory cannot be read).
    struct Bytes {
        std::string bytes;
        std::string problem;
    };
    virtual Bytes readBytes(uint64_t address, uint64_t count) = 0;
    virtual std::optional<std::string> writeBytes(uint64_t address, const std::string &bytes) = 0;
    virtual std::vector<Instruction> instructionsIn(uint64_t start, uint64_t end, uint64_t most) = 0;
    // Each request replaces the breakpoints the one before set.
    virtual void setInstructionBreakpoints(const Json &request, const Json &arguments) = 0;

private:
    void readMemory(const Json &request, const Json &arguments);
    void writeMemory(const Json &request, const Json &arguments);
    void disassemble(const Json &request, const Json &arguments);
};

// Console input as the lines the debugger runs; blank ones left out, since a blank line repeats
// the last command.
inline std::vector<std::string> consoleLines(const std::string &input)
{
    std::vector<std::string> lines;
    for (size_t start = 0; start <= input.size();) {
        size_t end = input.find('\n', start);
        if (end == std::string::npos)
            end = input.size();
        std::string line = input.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.find_first_not_of(" \t") != std::string::npos)
            lines.push_back(std::move(line));
        start = end + 1;
    }
    return lines;
}

std::unique_ptr<DebuggerDriver> gdbDriver(DapChannel &channel, bool debuggerSeesOurTerminals);
std::unique_ptr<DebuggerDriver> lldbDriver(DapChannel &channel);

} // namespace local_debugger::dap
