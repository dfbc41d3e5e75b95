#pragma once
// The editor's terminal as the program's: the editor runs a waiter of debugger-host's there
// (debugger-host --dap-terminal SOCKET), which tells the adapter its terminal's name over a
// socket in a directory only this user can enter, and stays until the adapter closes the
// connection (or dies), keeping the terminal open for the program.

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/dap/editor_requests.h"
#include "platform/unique_fd.h"

namespace local_debugger::dap {

// The waiter's side; its exit status.
int runTerminalWaiter(const char *socketPath);

class EditorTerminal {
public:
    // A socket for the waiter to reach; nullptr, the reason in problem, when none can be made.
    static std::unique_ptr<EditorTerminal> listen(std::string &problem);
    ~EditorTerminal();
    EditorTerminal(const EditorTerminal &) = delete;
    EditorTerminal &operator=(const EditorTerminal &) = delete;

    // The command line that runs the waiter.
    std::vector<std::string> waiterCommand() const;

    // The waiter's terminal, once it has connected and named it; nullopt, the reason in problem,
    // when it does not within timeout.
    std::optional<std::string> accept(std::chrono::milliseconds timeout, std::string &problem);

private:
    EditorTerminal() = default;

    std::string directory_;
    std::string socket_;
    UniqueFd listener_;
    UniqueFd waiter_; // its end lets the waiter go
};

// A console line: the program keeps the adapter's pipes (or the debugger's terminal), and why.
void tellNoEditorTerminal(DapChannel &channel, const std::string &why);

// The terminal a launch's console asks for ("integratedTerminal", "externalTerminal") when the
// editor runs the waiter there: its path, the waiter kept in waiter. Otherwise "": the program
// keeps the adapter's pipes, and a console line says why when the launch asked for a terminal.
// unavailable: why this adapter cannot use one (the editor or the service cannot), or "".
std::string editorTerminalFor(const Json &arguments, const std::string &unavailable, EditorRequests &editor,
                              DapChannel &channel, std::unique_ptr<EditorTerminal> &waiter);

} // namespace local_debugger::dap
