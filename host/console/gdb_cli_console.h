#pragma once
// GDB's own command line as the console: GDB runs a second user interface on a pseudo-terminal
// made here, and the program gets another. What either writes reaches this terminal as written;
// line editing, history and completion stay here, since GDB gives its line editor to the
// machine interface only.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/service_client.h"

namespace local_debugger::console {

struct CliOptions {
    std::optional<std::string> program;
    std::vector<std::string> arguments;
    bool readInitFiles = true;
};

class GdbCliConsole {
public:
    explicit GdbCliConsole(CliOptions options);
    ~GdbCliConsole();
    GdbCliConsole(const GdbCliConsole &) = delete;
    GdbCliConsole &operator=(const GdbCliConsole &) = delete;

    // GDB's machine-interface output, as it arrives (from the client's reading thread).
    void feed(const uint8_t *bytes, size_t count);
    void closed();
    // Runs until GDB has gone; false when GDB could not open the terminal (nothing was shown).
    // SIGINT, SIGTERM, SIGHUP and SIGWINCH must be blocked.
    bool run(ServiceClient &client);
    // GDB ended without being asked to.
    bool died() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace local_debugger::console
