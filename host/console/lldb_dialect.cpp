// An LLDB back end at the console: lines go as they are typed, and its JSON records read as
// text: a result's output and error, the debuggee's output, one line for each change of state.

#include <map>

#include "host/console/dialect.h"
#include "host/session/lldb_session.h"

namespace local_debugger::console {

namespace {

using Json = nlohmann::json;

std::string stopLine(const Json &record)
{
    const std::string pid = std::to_string(record.value("pid", 0));
    const std::string state = record.value("state", "");
    if (state == "exited")
        return "Process " + pid + " exited" +
               (record.contains("status") ? " with status = " + std::to_string(record.value("status", 0)) : "") + "\n";
    if (state != "stopped")
        return "Process " + pid + " " + state + "\n";
    std::string text = "Process " + pid + " stopped";
    if (record.contains("thread"))
        text += ": thread #" + std::to_string(record.value("thread", 0));
    text += ", stop reason = " + record.value("reason", "none");
    if (record.contains("signal"))
        text += " (" + record.value("signal", "") + ")";
    if (const auto frame = record.find("frame"); frame != record.end() && frame->is_object()) {
        text += ", in " + frame->value("function", "??");
        if (frame->contains("file"))
            text += " at " + frame->value("file", "") + ":" + std::to_string(frame->value("line", 0));
    }
    return text + "\n";
}

class LldbDialect : public Dialect {
public:
    const char *prompt() const override { return "(lldb) "; }
    const char *name() const override { return "lldb"; }

    std::string command(const std::string &line, uint64_t id) override { return numbered(line, id, Role::Command); }

    std::string settings(uint64_t) override { return ""; }

    std::vector<std::string> loadProgram(const std::string &path, const std::vector<std::string> &arguments,
                                         uint64_t firstId) override
    {
        const auto quotedPath = LldbSession::quoted(path);
        if (!quotedPath)
            return {}; // refused before: no LLDB command line can name it
        std::vector<std::string> lines{numbered("target create " + *quotedPath, firstId, Role::Command)};
        // Kept by the target byte for byte, for the run or process launch the user types;
        // target.run-args would have LLDB's command line rewrite them.
        if (!arguments.empty()) {
            const Json request{{"request", "launch"}, {"arguments", arguments}, {"start", false}};
            lines.push_back(numbered(session_.request(request), firstId + 1, Role::Command));
        }
        return lines;
    }

    bool wantsTerminal() const override { return false; }
    std::string terminal(const std::string &, uint64_t) override { return ""; }

    std::string completion(const std::string &lineToCursor, uint64_t id) override
    {
        const Json request{{"request", "complete"}, {"line", lineToCursor}};
        // The back end answers with whole words for the word before the cursor.
        const size_t wordStart =
            lineToCursor.find_last_of(" \t") == std::string::npos ? 0 : lineToCursor.find_last_of(" \t") + 1;
        completionPrefix_[id] = lineToCursor.substr(0, wordStart);
        return numbered(session_.request(request), id, Role::Completion);
    }

    std::string input(std::string_view bytes, uint64_t id) override
    {
        const Json request{{"request", "input"}, {"data", std::string(bytes)}};
        return numbered(session_.request(request), id, Role::Input);
    }

    std::string quit() const override { return "quit\n"; }

    void read(std::string_view line, std::vector<ConsoleEvent> &events) override
    {
        const auto record = LldbSession::read(line);
        if (!record) {
            show(events, std::string(line) + "\n");
            return;
        }
        switch (record->kind) {
        case LldbRecord::Kind::Result:
            answer(*record, events);
            break;
        case LldbRecord::Kind::Process: {
            const std::string state = record->text("state");
            running_ = state == "running" || state == "launching";
            if (!running_) {
                show(events, stopLine(record->fields));
                events.push_back({ConsoleEvent::Kind::Stopped, "", 0, false, {}});
            }
            break;
        }
        case LldbRecord::Kind::Output:
            show(events, record->text("data"));
            break;
        case LldbRecord::Kind::Error:
            show(events, "error: " + record->text("message") + "\n");
            break;
        case LldbRecord::Kind::Other:
            break;
        }
    }

private:
    enum class Role { Command, Completion, Input };

    // The console's ids are kept by the number the back end gives each line. A line holding a
    // newline is not sent: nothing is run.
    std::string numbered(const std::string &text, uint64_t id, Role role)
    {
        return numbered(session_.line(text), id, role);
    }
    std::string numbered(std::optional<LldbSession::Line> line, uint64_t id, Role role)
    {
        if (!line)
            return "";
        sent_[line->seq] = {id, role};
        return std::move(line->bytes);
    }

    static void show(std::vector<ConsoleEvent> &events, std::string text)
    {
        if (!text.empty())
            events.push_back({ConsoleEvent::Kind::Show, std::move(text), 0, false, {}});
    }

    void answer(const LldbRecord &answered, std::vector<ConsoleEvent> &events)
    {
        const Json &record = answered.fields;
        auto sent = sent_.find(answered.seq());
        if (sent == sent_.end())
            return;
        const auto [id, role] = sent->second;
        sent_.erase(sent);
        if (role == Role::Completion) {
            ConsoleEvent completed{ConsoleEvent::Kind::Completions, "", id, false, {}};
            if (const auto matches = record.find("matches"); matches != record.end() && matches->is_array()) {
                for (const auto &match : *matches) {
                    if (match.is_string())
                        completed.matches.push_back(completionPrefix_[id] + match.get<std::string>());
                }
            }
            completionPrefix_.erase(id);
            events.push_back(std::move(completed));
            return;
        }
        show(events, record.value("output", ""));
        show(events, record.value("error", ""));
        if (role == Role::Command)
            events.push_back({ConsoleEvent::Kind::Answer, "", id, running_, {}});
    }

    LldbSession session_;
    std::map<uint64_t, std::pair<uint64_t, Role>> sent_;
    std::map<uint64_t, std::string> completionPrefix_;
    bool running_ = false;
};

} // namespace

std::unique_ptr<Dialect> lldbDialect()
{
    return std::make_unique<LldbDialect>();
}

} // namespace local_debugger::console
