#pragma once
// What differs between debuggers at the console: how a typed line becomes the bytes a debugger
// reads, and how the lines it writes read to a person.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace local_debugger::console {

struct ConsoleEvent {
    enum class Kind {
        Show,        // text for the terminal, as it stands
        Answer,      // the command with this id has its answer; running: it left the debuggee running
        Stopped,     // the debuggee no longer runs (stopped, exited, gone)
        Completions, // the completion request with this id
    };
    Kind kind = Kind::Show;
    std::string text;
    uint64_t id = 0;
    bool running = false;
    std::vector<std::string> matches;
};

class Dialect {
public:
    virtual ~Dialect() = default;
    virtual const char *prompt() const = 0;
    virtual const char *name() const = 0; // names the history file
    // The bytes that run a line the user typed (a newline ends them); its answer carries id.
    // Empty: nothing to run.
    virtual std::string command(const std::string &line, uint64_t id) = 0;
    // Why this line cannot run here, when it cannot.
    virtual std::optional<std::string> refusal(const std::string &) const { return std::nullopt; }
    // Settings for a session driven by a person, before anything else; empty when none.
    virtual std::string settings(uint64_t id) = 0;
    // The commands that load a program (and its arguments) before the first prompt, one id each.
    virtual std::vector<std::string> loadProgram(const std::string &path, const std::vector<std::string> &arguments,
                                                 uint64_t firstId) = 0;
    // Whether the debuggee needs a terminal from us (false: the debugger gives it one).
    virtual bool wantsTerminal() const = 0;
    // Gives the debuggee the terminal at path.
    virtual std::string terminal(const std::string &path, uint64_t id) = 0;
    // A completion request for the line up to the cursor, answered by a Completions event whose
    // matches are that text completed. Empty when this debugger cannot complete.
    virtual std::string completion(const std::string &lineToCursor, uint64_t id) = 0;
    // Bytes for the debuggee's terminal, when the debugger carries them (empty: it does not).
    virtual std::string input(std::string_view bytes, uint64_t id) = 0;
    virtual std::string quit() const = 0;
    // One whole line the debugger wrote, without its newline.
    virtual void read(std::string_view line, std::vector<ConsoleEvent> &events) = 0;
    // How much of a line not ended yet is surely the program's own output (a program's question
    // waits for its answer without a newline), shown at once.
    virtual size_t programOutput(std::string_view) const { return 0; }
};

std::unique_ptr<Dialect> gdbDialect();
std::unique_ptr<Dialect> lldbDialect();

} // namespace local_debugger::console
