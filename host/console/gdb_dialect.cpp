// GDB at the console: each typed line runs as a GDB command through the machine interface,
// and its records read as GDB's own terminal would show them.

#include <set>

#include "host/command_quoting.h"
#include "host/console/dialect.h"
#include "host/session/gdb_session.h"

namespace local_debugger::console {

namespace {

std::string frameText(const MiValue *frame)
{
    if (frame == nullptr)
        return "";
    std::string text = std::string(frame->text("func").value_or("??")) + " (";
    if (const MiValue *args = frame->find("args")) {
        for (size_t i = 0; i < args->items.size(); ++i) {
            const MiValue &arg = args->items[i].value;
            text += (i ? ", " : "") + std::string(arg.text("name").value_or("")) + "=" +
                    std::string(arg.text("value").value_or("..."));
        }
    }
    text += ")";
    if (auto file = frame->text("file"))
        text += " at " + std::string(*file) + ":" + std::string(frame->text("line").value_or("?"));
    return text;
}

// One line for a stop GDB did not describe itself (a stop not caused by a console command).
std::string stopLine(const MiRecord &record)
{
    const std::string reason(record.text("reason").value_or(""));
    const std::string frame = frameText(record.find("frame"));
    if (reason == "exited-normally")
        return "[program exited normally]\n";
    if (reason == "exited")
        return "[program exited with code " + std::string(record.text("exit-code").value_or("?")) + "]\n";
    if (reason == "exited-signalled")
        return "[program terminated with signal " + std::string(record.text("signal-name").value_or("?")) + "]\n";
    if (reason == "breakpoint-hit")
        return "Breakpoint " + std::string(record.text("bkptno").value_or("?")) + ", " + frame + "\n";
    if (reason == "signal-received")
        return "Program received signal " + std::string(record.text("signal-name").value_or("?")) + ", " +
               std::string(record.text("signal-meaning").value_or("")) + ".\n" + frame + "\n";
    return frame.empty() ? "Stopped (" + reason + ").\n" : "Stopped (" + reason + ") in " + frame + "\n";
}

class GdbDialect : public Dialect {
public:
    const char *prompt() const override { return "(gdb) "; }
    const char *name() const override { return "gdb"; }

    std::string command(const std::string &text, uint64_t id) override
    {
        // Repeating the last line as GDB does would need GDB's own record of what repeats and
        // how (x and list go on, run does not): an empty line does nothing here.
        if (text.find_first_not_of(" \t") == std::string::npos)
            return "";
        if (text[0] == '-') {
            showResults_.insert(id);
            return GdbSession::command(id, text).value_or("");
        }
        return GdbSession::console(id, text);
    }

    // A block reads its body from GDB's own console, which is not this terminal.
    std::optional<std::string> refusal(const std::string &line) const override
    {
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos)
            return std::nullopt;
        const size_t end = line.find_first_of(" \t", first);
        const std::string word = line.substr(first, end == std::string::npos ? std::string::npos : end - first);
        const bool bare =
            line.find_first_not_of(" \t", end == std::string::npos ? line.size() : end) == std::string::npos;
        static const std::set<std::string> blocks{"commands", "define", "document", "if", "while", "define-prefix"};
        if (blocks.count(word) != 0 || ((word == "python" || word == "py" || word == "python3") && bare))
            return "error: " + word +
                   " reads a block of lines, which this console cannot give GDB (it runs "
                   "one line at a time here)";
        return std::nullopt;
    }

    // GDB cannot ask its yes-or-no questions through the machine interface: it would answer
    // them itself and say so.
    std::string settings(uint64_t id) override { return *GdbSession::command(id, "-gdb-set confirm off"); }

    std::vector<std::string> loadProgram(const std::string &path, const std::vector<std::string> &arguments,
                                         uint64_t firstId) override
    {
        // -exec-arguments takes the rest of its line raw: the arguments go through the console.
        std::vector<std::string> lines{GdbSession::console(firstId, gdbFile(path))};
        if (!arguments.empty())
            lines.push_back(GdbSession::console(firstId + 1, gdbSetArgs(arguments).value_or("")));
        return lines;
    }

    bool wantsTerminal() const override { return true; }
    std::string terminal(const std::string &path, uint64_t id) override
    {
        return GdbSession::command(id, "-inferior-tty-set " + path).value_or("");
    }

    std::string completion(const std::string &lineToCursor, uint64_t id) override
    {
        completions_.insert(id);
        return *GdbSession::command(id, "-complete " + GdbSession::quoted(lineToCursor));
    }

    std::string input(std::string_view, uint64_t) override { return ""; }
    std::string quit() const override { return "-gdb-exit\n"; }

    void read(std::string_view line, std::vector<ConsoleEvent> &events) override
    {
        auto record = GdbSession::read(line);
        if (!record) {
            // Not a record: the debuggee writes to the same stream when it has no terminal, and
            // a record follows on the same line what it wrote without a newline.
            const size_t at = recordAfterOutput(line);
            show(events, std::string(line.substr(0, at)) + (at == std::string_view::npos ? "\n" : ""));
            if (at != std::string_view::npos)
                read(line.substr(at), events);
            return;
        }
        if (record->kind != MiRecord::Kind::LogStream && record->kind != MiRecord::Kind::Result)
            flushLog(events, "");
        switch (record->kind) {
        case MiRecord::Kind::ConsoleStream:
        case MiRecord::Kind::TargetStream:
            toldSinceRunning_ = true;
            show(events, record->streamText);
            break;
        case MiRecord::Kind::LogStream:
            // GDB also writes a failing command's message here: hold it until the answer says.
            heldLog_.push_back(record->streamText);
            break;
        case MiRecord::Kind::Result:
            answer(*record, events);
            break;
        case MiRecord::Kind::ExecAsync:
            if (record->resultClass == "running") {
                toldSinceRunning_ = false;
            } else if (record->resultClass == "stopped") {
                if (!toldSinceRunning_)
                    show(events, stopLine(*record));
                toldSinceRunning_ = false;
                events.push_back({ConsoleEvent::Kind::Stopped, "", 0, false, {}});
            }
            break;
        default:
            break;
        }
    }

    // Up to where a record may begin: a token's digit, a record's mark or GDB's prompt.
    size_t programOutput(std::string_view unfinished) const override
    {
        const size_t at = unfinished.find_first_of("0123456789^*+=~@&(");
        return at == std::string_view::npos ? unfinished.size() : at;
    }

private:
    // Where a record GDB wrote begins, after the program's text on the same line; npos if none.
    // Only what GDB writes counts, so that the program's own "x=1" stays its text.
    static size_t recordAfterOutput(std::string_view line)
    {
        auto written = [](const std::optional<MiRecord> &record) {
            if (!record)
                return false;
            const std::string &what = record->resultClass;
            switch (record->kind) {
            case MiRecord::Kind::ConsoleStream:
            case MiRecord::Kind::TargetStream:
            case MiRecord::Kind::LogStream:
                return true;
            case MiRecord::Kind::Result:
                return what == "done" || what == "running" || what == "connected" || what == "error" || what == "exit";
            case MiRecord::Kind::ExecAsync:
                return what == "running" || what == "stopped";
            case MiRecord::Kind::NotifyAsync:
                return what.find('-') != std::string::npos;
            default:
                return false;
            }
        };
        for (size_t at = 1; (at = line.find_first_of("^*=~@&", at)) != std::string_view::npos; ++at) {
            size_t token = at;
            while (token > 0 && line[token - 1] >= '0' && line[token - 1] <= '9')
                --token;
            if (token > 0 && written(GdbSession::read(line.substr(token))))
                return token;
            if (written(GdbSession::read(line.substr(at))))
                return at;
        }
        return std::string_view::npos;
    }

    static void show(std::vector<ConsoleEvent> &events, std::string text)
    {
        if (!text.empty())
            events.push_back({ConsoleEvent::Kind::Show, std::move(text), 0, false, {}});
    }

    void flushLog(std::vector<ConsoleEvent> &events, const std::string &errorMessage)
    {
        for (auto &text : heldLog_) {
            if (errorMessage.empty() || text != errorMessage + "\n")
                show(events, std::move(text));
        }
        heldLog_.clear();
    }

    void answer(const MiRecord &record, std::vector<ConsoleEvent> &events)
    {
        const uint64_t id = GdbSession::answerTo(record).value_or(0);
        const std::string message(record.text("msg").value_or(""));
        const bool failed = record.resultClass == "error";
        flushLog(events, failed ? message : "");
        if (completions_.erase(id) != 0) {
            ConsoleEvent completed{ConsoleEvent::Kind::Completions, "", id, false, {}};
            if (const MiValue *matches = record.find("matches")) {
                for (const auto &match : matches->items)
                    completed.matches.push_back(match.value.string);
            }
            events.push_back(std::move(completed));
            return;
        }
        if (failed)
            show(events, "error: " + message + "\n");
        else if (showResults_.count(id) != 0 && !record.results.items.empty())
            show(events, "^" + record.resultClass + "," + resultText(record) + "\n");
        showResults_.erase(id);
        events.push_back({ConsoleEvent::Kind::Answer, "", id, record.resultClass == "running", {}});
    }

    static std::string valueText(const MiValue &value)
    {
        if (value.kind == MiValue::Kind::String)
            return GdbSession::quoted(value.string);
        std::string text = value.kind == MiValue::Kind::Tuple ? "{" : "[";
        for (size_t i = 0; i < value.items.size(); ++i) {
            text += i ? "," : "";
            if (!value.items[i].name.empty())
                text += value.items[i].name + "=";
            text += valueText(value.items[i].value);
        }
        return text + (value.kind == MiValue::Kind::Tuple ? "}" : "]");
    }

    static std::string resultText(const MiRecord &record)
    {
        std::string text = valueText(record.results);
        return text.substr(1, text.size() - 2);
    }

    std::vector<std::string> heldLog_;
    std::set<uint64_t> completions_, showResults_;
    bool toldSinceRunning_ = false;
};

} // namespace

std::unique_ptr<Dialect> gdbDialect()
{
    return std::make_unique<GdbDialect>();
}

} // namespace local_debugger::console
