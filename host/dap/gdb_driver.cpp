// GDB behind the adapter, through GDB/MI: each request becomes MI commands with tokens, and the
// asynchronous records become events.

#include <atomic>
#include <functional>
#include <condition_variable>
#include <map>
#include <set>
#include <mutex>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "host/command_quoting.h"
#include "host/dap/gdb_block_commands.h"
#include "host/dap/launch_values.h"
#include "host/dap/line_driver.h"
#include "host/debuggee_terminal.h"
#include "host/mi_record.h"

namespace local_debugger::dap {

namespace {

using namespace std::chrono_literals;

int64_t number(std::optional<std::string_view> text, int base = 10)
{
    return text ? strtoll(std::string(*text).c_str(), nullptr, base) : 0;
}

struct Answer {
    std::optional<MiRecord> record; // nullopt: no answer (the debugger has gone)
    std::string console;            // what GDB wrote for the command on its console stream
    bool ok() const { return record && record->resultClass != "error"; }
    std::string error() const
    {
        return record ? std::string(record->text("msg").value_or("failed")) : "the debugger has gone";
    }
};

class GdbDriver : public LineDriver<Answer> {
public:
    GdbDriver(DapChannel &channel, bool seesTerminals) : LineDriver(channel), seesTerminals_(seesTerminals) {}

    ~GdbDriver() override
    {
        if (relay_.joinable()) {
            (void)!write(stopRelay_[1], "", 1);
            relay_.join();
        }
        for (int fd : stopRelay_) {
            if (fd >= 0)
                close(fd);
        }
    }

    void start(ServiceClient &client, const Json &request) override
    {
        client_ = &client;
        const Json arguments = request.value("arguments", Json::object());
        attach_ = request.value("command", "") == "attach";
        command("-gdb-set confirm off");
        // Asynchronous: an editor asks for threads and sets breakpoints while the program runs,
        // which GDB answers only in this mode. The interrupt is then GDB's own command: in this
        // mode GDB takes SIGINT as a Quit of its own, not as an interrupt of the program.
        command("-gdb-set mi-async on");
        if (seesTerminals_ && terminal_.open(-1) && pipe2(stopRelay_, O_CLOEXEC) == 0) {
            // Output events carry the program's lines as it wrote them, without a terminal's \r.
            termios modes {};
            if (tcgetattr(terminal_.slave, &modes) == 0) {
                modes.c_oflag &= ~OPOST;
                tcsetattr(terminal_.slave, TCSANOW, &modes);
            }
            command("-inferior-tty-set " + terminal_.path);
            relay_ = std::thread([this] { relayDebuggee(); });
        } else {
            terminal_.reset();
            channel_.event("output", {{"category", "console"},
                                      {"output", "The program's input and output go through the debugger: "
                                                 "the service cannot open this adapter's terminals.\n"}});
        }
        if (attach_) {
            attaching_ = true;
            Answer attached = command("-target-attach " + std::to_string(arguments.value("pid", 0)));
            if (!attached.ok()) {
                attaching_ = false;
                fail(request, "cannot attach: " + attached.error());
                return;
            }
        } else {
            if (auto problem = refusedLaunchValue(arguments)) {
                fail(request, "cannot launch: " + *problem);
                return;
            }
            Answer loaded = command("-interpreter-exec console " + doubleQuoted(gdbFile(arguments.value("program", ""))));
            if (!loaded.ok()) {
                fail(request, "cannot load the program: " + loaded.error());
                return;
            }
            // Through GDB's console: the MI commands for these take the rest of the line raw.
            std::vector<std::string> words = programArguments(arguments);
            std::vector<std::string> settings;
            if (!words.empty())
                settings.push_back(*gdbSetArgs(words));
            if (arguments.contains("cwd") && arguments["cwd"].is_string() && !arguments["cwd"].get<std::string>().empty())
                settings.push_back(*gdbSetCwd(arguments["cwd"].get<std::string>()));
            for (const auto &setting : settings) {
                Answer set = command("-interpreter-exec console " + doubleQuoted(setting));
                if (!set.ok()) {
                    fail(request, "cannot launch: " + set.error());
                    return;
                }
            }
            stopOnEntry_ = arguments.value("stopOnEntry", false);
        }
        channel_.respond(request);
        channel_.event("initialized");
    }

    void pause() override
    {
        pauseRequested_ = true;
        commandThen("-exec-interrupt --all", [](const Answer &) {});
    }

    void finish(bool terminate) override
    {
        if (!attach_ || !client_)
            return; // a launched debuggee ends with the debugger
        if (running_) {
            pause();
            std::unique_lock<std::mutex> guard(lock_);
            answers_.waitUntil(guard, 5s, [&] { return !running_; });
        }
        command(terminate ? "-interpreter-exec console \"kill\"" : "-target-detach", 10s);
    }

private:
    // ---- from the reading thread, under lock_
    void read(std::string_view line) override
    {
        auto record = parseMiRecord(line);
        if (!record) {
            output("stdout", std::string(line) + "\n"); // the debuggee, when it has no terminal
            return;
        }
        switch (record->kind) {
        case MiRecord::Kind::Result:
            if (record->token) {
                answers_.deliver(*record->token, [&](Answer &answer) { answer.record = std::move(*record); });
            }
            break;
        case MiRecord::Kind::ConsoleStream:
        case MiRecord::Kind::LogStream:
            if (!capture(record->streamText))
                output("console", record->streamText);
            break;
        case MiRecord::Kind::TargetStream:
            output("stdout", record->streamText);
            break;
        case MiRecord::Kind::ExecAsync:
            if (record->resultClass == "running") {
                running_ = true;
                ++generation_;
                if (!resumeRequested_.exchange(false))
                    channel_.event("continued", {{"threadId", 1}, {"allThreadsContinued", true}});
            } else if (record->resultClass == "stopped") {
                running_ = false;
                answers_.notify();
                stopped(*record);
            }
            break;
        case MiRecord::Kind::NotifyAsync:
            if (record->resultClass == "thread-created" || record->resultClass == "thread-exited")
                channel_.event("thread", {{"reason", record->resultClass == "thread-created" ? "started" : "exited"},
                                          {"threadId", number(record->text("id"))}});
            break;
        default:
            break;
        }
    }

    // A command's own text goes with its answer; false when no command awaits one.
    bool capture(const std::string &text)
    {
        bool captured = false;
        answers_.forEachAwaited([&](Answer &answer) {
            answer.console += text;
            captured = true;
        });
        return captured;
    }

    void stopped(const MiRecord &record)
    {
        const std::string reason(record.text("reason").value_or(""));
        if (reason == "exited-normally" || reason == "exited" || reason == "exited-signalled") {
            // GDB writes an exit code in octal.
            const int64_t code = reason == "exited" ? number(record.text("exit-code"), 8)
                                                    : reason == "exited-signalled" ? 128 : 0;
            drainDebuggee();
            channel_.event("exited", {{"exitCode", code}});
            sendTerminated();
            return;
        }
        if (attaching_.exchange(false))
            return; // the stop an attach makes is not news: configurationDone resumes it
        std::string dapReason = "step";
        Json body = Json::object();
        if (reason == "breakpoint-hit") {
            const int64_t id = number(record.text("bkptno"));
            dapReason = entryPending_.exchange(false)           ? "entry"
                        : functionBreakpointIds_.count(id) != 0 ? "function breakpoint"
                                                                : "breakpoint";
            body["hitBreakpointIds"] = Json::array({id});
        } else if (reason == "signal-received") {
            const std::string signal(record.text("signal-name").value_or(""));
            if (signal == "SIGINT" && pauseRequested_.exchange(false)) {
                dapReason = "pause";
            } else {
                const bool fault = signal == "SIGSEGV" || signal == "SIGBUS" || signal == "SIGFPE" ||
                                   signal == "SIGILL" || signal == "SIGABRT";
                dapReason = fault ? "exception" : "signal";
                body["description"] = signal + ": " + std::string(record.text("signal-meaning").value_or(""));
                body["text"] = signal;
            }
        } else if (reason == "watchpoint-trigger") {
            dapReason = "data breakpoint";
        } else if (reason.empty() && pauseRequested_.exchange(false)) {
            dapReason = "pause";
        }
        body["reason"] = dapReason;
        body["threadId"] = number(record.text("thread-id"));
        body["allThreadsStopped"] = record.text("stopped-threads").value_or("") == "all";
        channel_.event("stopped", body);
    }

    void output(const char *category, std::string text)
    {
        if (!text.empty())
            channel_.event("output", {{"category", category}, {"output", std::move(text)}});
    }

    void relayDebuggee()
    {
        for (;;) {
            pollfd watched[] = {{terminal_.master, POLLIN, 0}, {stopRelay_[0], POLLIN, 0}};
            if (poll(watched, 2, -1) < 0 && errno != EINTR)
                return;
            if (watched[1].revents != 0)
                return;
            if (watched[0].revents != 0)
                drainDebuggee();
        }
    }

    // Whatever the program has written so far, as output events: before its exit is told, so
    // that an editor sees its last lines before the session ends.
    void drainDebuggee()
    {
        if (terminal_.master < 0)
            return;
        std::lock_guard<std::mutex> guard(relayLock_);
        char bytes[65536];
        for (;;) {
            pollfd ready = {terminal_.master, POLLIN, 0};
            if (poll(&ready, 1, 0) <= 0 || (ready.revents & POLLIN) == 0)
                return;
            ssize_t got = ::read(terminal_.master, bytes, sizeof bytes);
            if (got <= 0)
                return;
            output("stdout", std::string(bytes, static_cast<size_t>(got)));
        }
    }

    // ---- commands, from any thread but the reading one
    Answer command(const std::string &text, std::chrono::milliseconds timeout = 30s)
    {
        std::unique_lock<std::mutex> guard(lock_);
        const uint64_t token = answers_.expect();
        guard.unlock();
        send(token, text);
        guard.lock();
        return answers_.wait(guard, token, timeout);
    }

    // A command whose answer is handled where it arrives: nothing waits for it.
    void commandThen(const std::string &text, AwaitedAnswers<Answer>::Then then)
    {
        std::unique_lock<std::mutex> guard(lock_);
        const uint64_t token = answers_.expect(std::move(then));
        guard.unlock();
        send(token, text);
    }

    void send(uint64_t token, const std::string &text)
    {
        const std::string line = std::to_string(token) + text + "\n";
        client_->sendData("send", std::vector<uint8_t>(line.begin(), line.end()));
    }

    void fail(const Json &request, const std::string &message) { channel_.fail(request, message); }

    // ---- request handlers, on the adapter's worker thread
    void configurationDone(const Json &request) override
    {
        if (attach_) {
            resume(request, "-exec-continue");
            return;
        }
        entryPending_ = stopOnEntry_;
        resumeRequested_ = true;
        Answer run = command(stopOnEntry_ ? "-exec-run --start" : "-exec-run");
        if (!run.ok()) {
            resumeRequested_ = false;
            fail(request, "cannot run the program: " + run.error());
            return;
        }
        channel_.respond(request);
    }

    void step(const Json &request, Step kind, int64_t thread) override
    {
        const std::string where = " --thread " + std::to_string(thread);
        switch (kind) {
        case Step::Continue:
            resume(request, "-exec-continue", {{"allThreadsContinued", true}});
            break;
        case Step::Over:
            resume(request, "-exec-next" + where);
            break;
        case Step::Into:
            resume(request, "-exec-step" + where);
            break;
        case Step::Out:
            resume(request, "-exec-finish" + where);
            break;
        }
    }

    // Answered where GDB's answer arrives: a step wakes no thread of the adapter's but the one
    // that reads GDB.
    void resume(const Json &request, const std::string &text, const Json &body = Json::object())
    {
        forgetHandles();
        resumeRequested_ = true;
        commandThen(text, [this, request, body](const Answer &answer) {
            if (answer.ok()) {
                channel_.respond(request, body);
                return;
            }
            resumeRequested_ = false;
            fail(request, answer.error());
        });
    }

    Json breakpoint(const Answer &answer, const std::string &path)
    {
        if (!answer.ok())
            return {{"verified", false}, {"message", answer.error()}};
        const MiValue *bkpt = answer.record->find("bkpt");
        Json result = {{"id", number(bkpt ? bkpt->text("number") : std::nullopt)},
                       {"verified", bkpt && bkpt->text("addr").value_or("<PENDING>") != "<PENDING>"}};
        if (bkpt && bkpt->text("line"))
            result["line"] = number(bkpt->text("line"));
        if (!path.empty())
            result["source"] = {{"path", path}};
        return result;
    }

    // The insert command for a location with its condition and hit count; empty with a reason
    // when the hit condition is not a count.
    std::string insert(const std::string &location, const Json &spec, std::string &problem)
    {
        std::string text = "-break-insert -f";
        if (spec.contains("condition") && spec["condition"].is_string() && !spec["condition"].get<std::string>().empty())
            text += " -c " + doubleQuoted(spec["condition"].get<std::string>());
        std::optional<int64_t> ignore;
        if (!ignoreCountOf(spec, ignore, problem))
            return "";
        if (ignore)
            text += " -i " + std::to_string(*ignore);
        return text + " -- " + doubleQuoted(location); // a location starting with - is no option
    }

    void replaceBreakpoints(std::vector<int64_t> &numbers)
    {
        if (numbers.empty())
            return;
        std::string text = "-break-delete";
        for (int64_t number : numbers)
            text.append(" ").append(std::to_string(number));
        command(text);
        numbers.clear();
    }

    void setBreakpoints(const Json &request, const Json &arguments) override
    {
        const std::string path = arguments.value("source", Json::object()).value("path", "");
        if (path.empty()) {
            fail(request, "setBreakpoints needs source.path");
            return;
        }
        auto &numbers = sourceBreakpoints_[path];
        replaceBreakpoints(numbers);
        Json answers = Json::array();
        for (const auto &spec : arguments.value("breakpoints", Json::array())) {
            std::string problem;
            const std::string text = insert(path + ":" + std::to_string(spec.value("line", 0)), spec, problem);
            if (text.empty()) {
                answers.push_back({{"verified", false}, {"message", problem}});
                continue;
            }
            Json placed = breakpoint(command(text), path);
            if (placed.contains("id"))
                numbers.push_back(placed["id"].get<int64_t>());
            answers.push_back(placed);
        }
        channel_.respond(request, {{"breakpoints", answers}});
    }

    void setFunctionBreakpoints(const Json &request, const Json &arguments) override
    {
        replaceBreakpoints(functionBreakpoints_);
        {
            std::lock_guard<std::mutex> guard(lock_);
            functionBreakpointIds_.clear();
        }
        Json answers = Json::array();
        for (const auto &spec : arguments.value("breakpoints", Json::array())) {
            std::string problem;
            const std::string text = insert(spec.value("name", ""), spec, problem);
            if (text.empty()) {
                answers.push_back({{"verified", false}, {"message", problem}});
                continue;
            }
            Json placed = breakpoint(command(text), "");
            if (placed.contains("id")) {
                functionBreakpoints_.push_back(placed["id"].get<int64_t>());
                std::lock_guard<std::mutex> guard(lock_);
                functionBreakpointIds_.insert(placed["id"].get<int64_t>());
            }
            answers.push_back(placed);
        }
        channel_.respond(request, {{"breakpoints", answers}});
    }

    void threads(const Json &request) override
    {
        Json list = Json::array();
        Answer answer = command("-thread-info");
        if (!answer.ok()) {
            fail(request, answer.error());
            return;
        }
        if (const MiValue *threads = answer.record->find("threads")) {
            for (const auto &thread : threads->items) {
                const MiValue &info = thread.value;
                list.push_back({{"id", number(info.text("id"))},
                                {"name", std::string(info.text("name").value_or(info.text("target-id").value_or("thread")))}});
            }
        }
        channel_.respond(request, {{"threads", list}});
    }

    // Frames and variable handles live until the debuggee next runs.
    struct Handle {
        enum class Kind { Frame, Locals, Arguments, Registers, Object } kind;
        int64_t thread = 0;
        int64_t level = 0;
        std::string object; // a variable object's name
    };

    void forgetHandles()
    {
        handles_.clear();
        named_.clear();
        for (const auto &object : objects_)
            command("-var-delete " + object);
        objects_.clear();
        seenGeneration_ = generation_;
    }

    int64_t newHandle(Handle value)
    {
        if (seenGeneration_ != generation_)
            forgetHandles();
        handles_[nextHandle_] = std::move(value);
        return nextHandle_++;
    }

    const Handle *find(const Json &arguments, const char *field)
    {
        if (seenGeneration_ != generation_)
            forgetHandles();
        auto found = handles_.find(arguments.value(field, int64_t{0}));
        return found == handles_.end() ? nullptr : &found->second;
    }

    static std::string frameOptions(const Handle &frame)
    {
        return " --thread " + std::to_string(frame.thread) + " --frame " + std::to_string(frame.level);
    }

    void stackTrace(const Json &request, const Json &arguments) override
    {
        const int64_t thread = arguments.value("threadId", int64_t{1});
        const int64_t first = arguments.value("startFrame", int64_t{0});
        const int64_t levels = arguments.value("levels", int64_t{0});
        const Answer counted = command("-stack-info-depth --thread " + std::to_string(thread));
        if (!counted.ok()) {
            fail(request, counted.error());
            return;
        }
        // Both are at most 2^31-1 as requests are checked: the sum does not overflow.
        const int64_t depth = number(counted.record->text("depth"));
        const int64_t last = levels > 0 ? std::min(depth, first + levels) - 1 : depth - 1;
        Json frames = Json::array();
        if (last >= first) {
            Answer answer = command("-stack-list-frames --thread " + std::to_string(thread) + " " + std::to_string(first) +
                                    " " + std::to_string(last));
            if (!answer.ok()) {
                fail(request, answer.error());
                return;
            }
            if (const MiValue *stack = answer.record->find("stack")) {
                for (const auto &entry : stack->items) {
                    const MiValue &frame = entry.value;
                    Json out = {{"id", newHandle({Handle::Kind::Frame, thread, number(frame.text("level")), ""})},
                                {"name", std::string(frame.text("func").value_or("??"))},
                                {"line", number(frame.text("line"))},
                                {"column", frame.text("line") ? 1 : 0}};
                    if (auto path = frame.text("fullname"))
                        out["source"] = {{"name", std::string(frame.text("file").value_or(*path))}, {"path", std::string(*path)}};
                    if (auto address = frame.text("addr"))
                        out["instructionPointerReference"] = std::string(*address);
                    frames.push_back(out);
                }
            }
        }
        channel_.respond(request, {{"stackFrames", frames}, {"totalFrames", depth}});
    }

    void scopes(const Json &request, const Json &arguments) override
    {
        const Handle *frame = find(arguments, "frameId");
        if (frame == nullptr || frame->kind != Handle::Kind::Frame) {
            fail(request, "no such frame (frames last until the program runs again)");
            return;
        }
        const Handle at = *frame;
        Json list = Json::array();
        for (auto [kind, name, hint] : {std::tuple{Handle::Kind::Locals, "Locals", "locals"},
                                        std::tuple{Handle::Kind::Arguments, "Arguments", "arguments"},
                                        std::tuple{Handle::Kind::Registers, "Registers", "registers"}}) {
            list.push_back({{"name", name},
                            {"presentationHint", hint},
                            {"variablesReference", newHandle({kind, at.thread, at.level, ""})},
                            {"expensive", kind == Handle::Kind::Registers}});
        }
        channel_.respond(request, {{"scopes", list}});
    }

    // A variable shown from a new variable object; children through its handle.
    std::optional<Json> variableFor(const std::string &label, const std::string &expression, const std::string &where,
                                    int64_t parent, std::string *error = nullptr)
    {
        Answer created = command("-var-create" + where + " - * " + doubleQuoted(expression));
        if (!created.ok()) {
            if (error != nullptr)
                *error = created.error();
            return std::nullopt;
        }
        const std::string object(created.record->text("name").value_or(""));
        objects_.push_back(object);
        named_[{parent, label}] = object;
        return shown(label, object, created.record->results);
    }

    Json shown(const std::string &label, const std::string &object, const MiValue &fields)
    {
        const int64_t children = number(fields.text("numchild"));
        return {{"name", label},
                {"value", std::string(fields.text("value").value_or(""))},
                {"type", std::string(fields.text("type").value_or(""))},
                {"variablesReference", children > 0 ? newHandle({Handle::Kind::Object, 0, 0, object}) : 0}};
    }

    void children(const std::string &object, int64_t parent, Json &list)
    {
        Answer answer = command("-var-list-children --all-values " + object);
        if (!answer.ok())
            return;
        const MiValue *found = answer.record->find("children");
        if (found == nullptr)
            return;
        for (const auto &entry : found->items) {
            const MiValue &child = entry.value;
            const std::string name(child.text("name").value_or(""));
            const std::string label(child.text("exp").value_or(""));
            // C++ access sections are not members: their members show in their place.
            if (!child.text("type") && (label == "public" || label == "private" || label == "protected")) {
                children(name, parent, list);
                continue;
            }
            named_[{parent, label}] = name;
            list.push_back(shown(label, name, child));
        }
    }

    void variables(const Json &request, const Json &arguments) override
    {
        const int64_t reference = arguments.value("variablesReference", int64_t{0});
        const Handle *found = find(arguments, "variablesReference");
        if (found == nullptr || found->kind == Handle::Kind::Frame) {
            fail(request, "no such variables (they last until the program runs again)");
            return;
        }
        const Handle at = *found;
        Json list = Json::array();
        if (at.kind == Handle::Kind::Object) {
            children(at.object, reference, list);
        } else if (at.kind == Handle::Kind::Registers) {
            registers(at, list);
        } else {
            Answer answer = command("-stack-list-variables" + frameOptions(at) + " --no-values");
            if (const MiValue *vars = answer.ok() ? answer.record->find("variables") : nullptr) {
                for (const auto &entry : vars->items) {
                    const bool argument = entry.value.text("arg").value_or("") == "1";
                    if (argument != (at.kind == Handle::Kind::Arguments))
                        continue;
                    const std::string name(entry.value.text("name").value_or(""));
                    if (auto shownVariable = variableFor(name, name, frameOptions(at), reference))
                        list.push_back(*shownVariable);
                }
            }
        }
        channel_.respond(request, {{"variables", list}});
    }

    void registers(const Handle &at, Json &list)
    {
        if (registerNames_.empty()) {
            Answer names = command("-data-list-register-names");
            if (const MiValue *found = names.ok() ? names.record->find("register-names") : nullptr) {
                for (const auto &name : found->items)
                    registerNames_.push_back(name.value.string);
            }
        }
        Answer values = command("-data-list-register-values" + frameOptions(at) + " N");
        if (const MiValue *found = values.ok() ? values.record->find("register-values") : nullptr) {
            for (const auto &entry : found->items) {
                const auto index = static_cast<size_t>(number(entry.value.text("number")));
                if (index < registerNames_.size() && !registerNames_[index].empty())
                    list.push_back({{"name", registerNames_[index]},
                                    {"value", std::string(entry.value.text("value").value_or(""))},
                                    {"variablesReference", 0}});
            }
        }
    }

    void setVariable(const Json &request, const Json &arguments) override
    {
        const int64_t reference = arguments.value("variablesReference", int64_t{0});
        auto object = named_.find({reference, arguments.value("name", "")});
        if (find(arguments, "variablesReference") == nullptr || object == named_.end()) {
            fail(request, "no such variable (variables last until the program runs again)");
            return;
        }
        Answer assigned = command("-var-assign " + object->second + " " + doubleQuoted(arguments.value("value", "")));
        if (!assigned.ok()) {
            fail(request, assigned.error());
            return;
        }
        channel_.respond(request, {{"value", std::string(assigned.record->text("value").value_or(""))}});
    }

    void evaluate(const Json &request, const Json &arguments) override
    {
        const std::string expression = arguments.value("expression", "");
        std::string where;
        if (arguments.contains("frameId")) {
            const Handle *frame = find(arguments, "frameId");
            if (frame == nullptr || frame->kind != Handle::Kind::Frame) {
                fail(request, "no such frame (frames last until the program runs again)");
                return;
            }
            where = frameOptions(*frame);
        }
        std::string error;
        if (auto value = variableFor(expression, expression, where, 0, &error)) {
            channel_.respond(request, {{"result", (*value)["value"]},
                                       {"type", (*value)["type"]},
                                       {"variablesReference", (*value)["variablesReference"]}});
            return;
        }
        if (arguments.value("context", "") != "repl") {
            fail(request, error);
            return;
        }
        console(request, expression); // not an expression: a line for GDB's own command line
    }

    void console(const Json &request, const std::string &input) override
    {
        const std::vector<std::string> lines = consoleLines(input);
        for (const auto &line : lines) {
            if (startsGdbBlock(line)) {
                fail(request, "\"" + line + "\" reads the lines after it, which the Debug Console cannot give it: "
                              "not run (nothing was)");
                return;
            }
        }
        std::string output;
        for (const auto &line : lines) {
            Answer ran = command("-interpreter-exec console " + doubleQuoted(line));
            if (!ran.ok()) {
                fail(request, output + ran.error());
                return;
            }
            output += ran.console;
        }
        channel_.respond(request, {{"result", output}, {"variablesReference", 0}});
    }

    const bool seesTerminals_;
    DebuggeeTerminal terminal_;
    int stopRelay_[2] = {-1, -1};
    std::thread relay_;

    std::mutex relayLock_;
    std::atomic<uint64_t> generation_ = 0;

    std::map<int64_t, Handle> handles_;
    std::map<std::pair<int64_t, std::string>, std::string> named_; // (handle, label) -> object
    std::vector<std::string> objects_;
    int64_t nextHandle_ = 1;
    uint64_t seenGeneration_ = 0;
    std::map<std::string, std::vector<int64_t>> sourceBreakpoints_;
    std::vector<int64_t> functionBreakpoints_;
    std::set<int64_t> functionBreakpointIds_; // read where stops are told, under lock_
    std::vector<std::string> registerNames_;
};

} // namespace

std::unique_ptr<DebuggerDriver> gdbDriver(DapChannel &channel, bool debuggerSeesOurTerminals)
{
    return std::make_unique<GdbDriver>(channel, debuggerSeesOurTerminals);
}

} // namespace local_debugger::dap
