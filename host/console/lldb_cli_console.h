#pragma once
// LLDB's own command line as the console: the back end runs LLDB's interpreter on a
// pseudo-terminal made here, and this terminal is joined to it byte for byte. LLDB edits the
// line, completes, keeps its history and runs the program on a terminal of its own, as it does
// at home; what stays here is what only the owner of the terminal can do: Ctrl-C, the window's
// size, and putting the terminal's modes back.

#include <memory>

#include "host/console/gdb_cli_console.h"
#include "host/service_client.h"

namespace local_debugger::console {

class LldbCliConsole {
public:
    explicit LldbCliConsole(CliOptions options);
    ~LldbCliConsole();
    LldbCliConsole(const LldbCliConsole &) = delete;
    LldbCliConsole &operator=(const LldbCliConsole &) = delete;

    // The back end's records, as they arrive (from the client's reading thread).
    void feed(const uint8_t *bytes, size_t count);
    void closed();
    // Runs until the back end has gone; false when it could not run LLDB's interpreter on the
    // terminal (nothing was shown). SIGINT, SIGTERM, SIGHUP and SIGWINCH must be blocked.
    bool run(ServiceClient &client);
    // LLDB ended without being asked to.
    bool died() const;
    // Whether the back end wrote anything.
    bool wrote() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace local_debugger::console
