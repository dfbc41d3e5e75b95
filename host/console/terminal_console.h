#pragma once
// The console for people: a prompt with line editing, history and completion while the
// debugger waits for a command; the terminal handed to the debuggee while it runs.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/console/dialect.h"
#include "host/service_client.h"

namespace local_debugger::console {

struct ConsoleOptions {
    std::optional<std::string> program; // loaded before the first prompt
    std::vector<std::string> arguments;
    bool readInitFiles = true; // GDB's console reads the user's init file, as GDB would
};

class TerminalConsole {
public:
    TerminalConsole(std::unique_ptr<Dialect> dialect, ConsoleOptions options);
    ~TerminalConsole();
    TerminalConsole(const TerminalConsole &) = delete;
    TerminalConsole &operator=(const TerminalConsole &) = delete;

    // What the debugger writes, as it arrives (from the client's reading thread).
    void feed(const uint8_t *bytes, size_t count);
    // The connection ended.
    void closed();
    // Runs the console until the debugger has gone; SIGINT, SIGTERM and SIGHUP must be blocked.
    // debuggerSeesOurTerminals: the debugger can open a terminal this process makes by its name.
    void run(ServiceClient &client, bool debuggerSeesOurTerminals);
    // True once the debugger wrote anything.
    bool debuggerWrote() const;
    // The debugger ended without being asked to.
    bool debuggerDied() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace local_debugger::console
