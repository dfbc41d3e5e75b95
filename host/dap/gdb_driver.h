#pragma once
// GDB behind the adapter, through its session: each request becomes MI commands with tokens, and
// the asynchronous records become events. Its requests are served in gdb_driver.cpp (running and
// stopping), gdb_driver_breakpoints.cpp and gdb_driver_variables.cpp (frames, variables, registers).

#include <algorithm>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "host/dap/breakpoint_request.h"
#include "host/dap/handle_table.h"
#include "host/dap/line_driver.h"
#include "host/debuggee_terminal.h"
#include "host/output_text.h"
#include "host/session/gdb_session.h"
#include "platform/unique_fd.h"

namespace local_debugger::dap {

struct MiAnswer {
    std::optional<MiRecord> record; // nullopt: no answer (the debugger has gone)
    std::string console;            // what GDB wrote for the command on its console stream
    std::string refusal;            // why the command was not sent
    bool ok() const { return record && record->resultClass != "error"; }
    std::string error() const
    {
        if (!refusal.empty())
            return refusal;
        return record ? std::string(record->text("msg").value_or("failed")) : "the debugger has gone";
    }
};

class GdbDriver : public LineDriver<MiAnswer> {
public:
    GdbDriver(DapChannel &channel, bool seesTerminals) : LineDriver(channel), seesTerminals_(seesTerminals) {}

    ~GdbDriver() override;
    void pause() override;

private:
    // ---- starting and finishing, on the adapter's worker thread
    void prepare() override;
    std::optional<std::string> attachTo(int64_t pid) override;
    std::optional<std::string> load(const Json &arguments) override;
    // The program's arguments and working directory, from a launch's arguments.
    std::optional<std::string> runSettings(const Json &arguments);
    std::optional<std::string> rerun(const Json &launch) override;
    void endAttached(bool terminate) override;

    // ---- from the reading thread, under lock_
    void read(std::string_view line) override;

    // A command's own text goes with its answer; false when no command awaits one.
    bool capture(const std::string &text);

    void stopped(const MiRecord &record);

    void output(const char *category, std::string text);

    void relayDebuggee();

    // Whatever the program has written so far, as output events: before its exit is told, so
    // that an editor sees its last lines before the session ends (ended: all of it).
    void drainDebuggee(bool ended);

    // ---- commands, from any thread but the reading one
    MiAnswer command(const std::string &text, std::chrono::milliseconds timeout = std::chrono::seconds(30));

    // A line for GDB's own command line, run as its console would.
    MiAnswer consoleCommand(const std::string &line, std::chrono::milliseconds timeout = std::chrono::seconds(30));

    template <typename Frame> MiAnswer exchange(Frame frame, std::chrono::milliseconds timeout)
    {
        const uint64_t token = session_.nextToken();
        auto line = frame(token);
        if (!line)
            return refused();
        std::unique_lock<std::mutex> guard(lock_);
        answers_.expect(token);
        guard.unlock();
        client_->sendData("send", std::vector<uint8_t>(line->begin(), line->end()));
        guard.lock();
        return answers_.wait(guard, token, timeout);
    }

    // A command whose answer is handled where it arrives: nothing waits for it.
    void commandThen(const std::string &text, AwaitedAnswers<MiAnswer>::Then then);

    static MiAnswer refused() { return {std::nullopt, "", "a command cannot span lines"}; }

    void fail(const Json &request, const std::string &message) { channel_.fail(request, message); }

    // ---- request handlers, on the adapter's worker thread
    void configurationDone(const Json &request) override;

    void step(const Json &request, Step kind, int64_t thread) override;

    // Answered where GDB's answer arrives: a step wakes no thread of the adapter's but the one
    // that reads GDB.
    void resume(const Json &request, const std::string &text, const Json &body = Json::object());

    Json breakpoint(const MiAnswer &answer, const std::string &path);

    // The insert command for a location with its condition and hit count.
    static std::string insert(const std::string &location, const BreakpointRequest &wanted);

    void replaceBreakpoints(std::vector<int64_t> &numbers);

    void setBreakpoints(const Json &request, const Json &arguments) override;

    void setFunctionBreakpoints(const Json &request, const Json &arguments) override;

    // ---- log points, catchpoints and faults: the hooks of LineDriver
    std::string valueAt(int64_t thread, const std::string &expression) override;
    std::optional<std::string> resumeAfterLog(int64_t thread) override;
    std::string faultDescription(const DebuggeeStop &stop) override;
    // The throw catchpoint stops at the C++ library's probe, whose second argument is the type.
    std::string thrownTypeName(int64_t thread) override
    {
        return valueAt(thread, "(const char *) ((void **) $_probe_arg1)[1]");
    }
    Placed catchExceptions(bool thrown) override;
    void deleteBreakpoints(const std::vector<int64_t> &ids) override;

    void threads(const Json &request) override;

    // ---- the program's modules and sources, in gdb_driver_program.cpp
    // A shared library as a module, from -file-list-shared-libraries or =library-loaded.
    static Json library(const MiValue &info);
    // =library-loaded and =library-unloaded as module events: each library is new to the editor
    // once while it knows of it (a restart's run loads the same ones again), changed when what
    // it is told of it differs, removed once.
    void libraryLoaded(const Json &module);
    void libraryUnloaded(const Json &module);
    void modules(const Json &request, const Json &arguments) override;
    void loadedSources(const Json &request) override;

    // Frames and variable handles live until the debuggee next runs.
    struct Handle {
        enum class Kind { Frame, Locals, Arguments, Registers, RegisterGroup, Object } kind;
        int64_t thread = 0;
        int64_t level = 0;
        std::string object;   // a variable object's name, or a register group's
        bool printer = false; // the object's children come from a pretty printer
        int64_t elements = 0; // an array's length: its children are elements, paged by index
    };

    void forgetHandles();

    int64_t newHandle(Handle value);

    const Handle *find(const Json &arguments, const char *field);

    static std::string frameOptions(const Handle &frame);

    void stackTrace(const Json &request, const Json &arguments) override;

    void scopes(const Json &request, const Json &arguments) override;

    // A variable shown from a new variable object; children through its handle.
    // The frame is the Frame, Locals or Arguments handle the expression is read in; none for the
    // selected frame.
    std::optional<Json> variableFor(const std::string &label, const std::string &expression, const Handle *frame,
                                    int64_t parent, std::string *error = nullptr);

    // Why GDB cannot take an expression, in its own words: -var-create keeps them to itself.
    std::string whyNot(const std::string &expression, const std::string &where, const std::string &fallback);

    // A variable object as a variable; its handle keeps the frame of from.
    Json shown(const std::string &label, const std::string &object, const MiValue &fields, const Handle &from);

    // How many children a pretty printer gives, counting no further than a bound.
    int64_t printedChildren(const std::string &object, int64_t bound);

    // The children of a variable object into list; GDB's reason when it refuses.
    // A page is a first index and a count, as an editor asks for an array's elements.
    using Page = std::optional<std::pair<int64_t, int64_t>>;
    std::optional<std::string> children(const Handle &at, int64_t parent, Json &list, Page page = std::nullopt);

    // A printer's map children come as key, value, key, value: one entry for each pair.
    void mapEntries(const MiValue &found, int64_t parent, Json &list, const Handle &at);

    // A page of a plain array's elements, each its own variable object: GDB would make one for
    // every element of the array to list a few of them.
    std::optional<std::string> elementsPage(const Handle &at, int64_t parent, Json &list, int64_t first, int64_t count);

    void variables(const Json &request, const Json &arguments) override;

    void locals(const Handle &at, int64_t parent, Json &list);

    // GDB's user register groups and their registers, asked once.
    std::optional<std::string> loadRegisterGroups();

    std::optional<std::string> registers(const Handle &at, Json &list);

    void setVariable(const Json &request, const Json &arguments) override;

    void evaluate(const Json &request, const Json &arguments) override;

    // ---- formats, assignments and completions, in gdb_driver_expressions.cpp
    // The frame a request's frameId names into frame (none: the selected frame); false, the
    // request failed, when it names none.
    bool frameOf(const Json &request, const Json &arguments, std::optional<Handle> &frame);

    // A variable object's value in the format the request being served asks for, given its
    // value in the object's present format.
    std::string formatted(const std::string &object, const std::string &value);

    // The variable a request's expression gives in its frame and format. Nullopt with error
    // set when GDB cannot take the expression, or with it empty when the request has failed
    // for a frame that has gone.
    std::optional<Json> requestedValue(const Json &request, const Json &arguments, std::string &error);

    void setExpression(const Json &request, const Json &arguments) override;

    void completions(const Json &request, const Json &arguments) override;

    // ---- data breakpoints, in gdb_driver_watchpoints.cpp
    void dataBreakpointInfo(const Json &request, const Json &arguments) override;
    void setDataBreakpoints(const Json &request, const Json &arguments) override;

    void console(const Json &request, const std::string &input) override;

    // ---- memory and instructions (gdb_driver_memory.cpp)
    Bytes readBytes(uint64_t address, uint64_t count) override;
    std::optional<std::string> writeBytes(uint64_t address, const std::string &bytes) override;
    std::vector<Instruction> instructionsIn(uint64_t start, uint64_t end, uint64_t most) override;
    void setInstructionBreakpoints(const Json &request, const Json &arguments) override;

    const bool seesTerminals_;
    GdbSession session_;
    DebuggeeTerminal terminal_;
    Pipe stopRelay_;
    std::thread relay_;

    std::mutex relayLock_;
    OutputText terminalText_{false}; // under relayLock_: the terminal passes bytes on as written
    OutputText streamText_{false};   // under lock_: the program's output through GDB

    HandleTable<Handle> handles_;
    std::map<std::pair<int64_t, std::string>, std::string> named_; // (handle, label) -> object
    std::vector<std::string> objects_;
    std::map<std::string, std::vector<int64_t>> sourceBreakpoints_;
    std::vector<int64_t> functionBreakpoints_;
    std::vector<int64_t> instructionBreakpoints_;
    std::vector<int64_t> dataBreakpoints_;                                     // GDB's watchpoints
    std::vector<std::pair<std::string, std::vector<int64_t>>> registerGroups_; // in GDB's order
    std::map<int64_t, std::string> registerNames_;
    bool hex_ = false;                        // the request being served asks for hexadecimal
    std::set<std::string> hexObjects_;        // variable objects GDB now shows in hexadecimal
    std::map<std::string, Json> toldModules_; // under lock_: by id, as the editor was last told
};

} // namespace local_debugger::dap
