#pragma once
// debugger-host's raw mode: a byte-exact bridge between this process's standard streams and the
// debugger. Standard input becomes send, Ctrl-C becomes break, end of input becomes stop once
// the debugger has answered every line, and everything it writes goes to standard output.

#include <chrono>
#include <csignal>
#include <optional>
#include <string>
#include <vector>

#include "host/answer_counter.h"
#include "host/service_client.h"
#include "platform/unique_fd.h"

namespace local_debugger {

struct RawBridgeOptions {
    bool gdb = true;                    // else LLDB
    std::optional<std::string> program; // loaded before the first line of input
    std::vector<std::string> arguments;
    std::chrono::milliseconds answerTimeout{10000}; // at end of input
};

class RawBridge {
public:
    explicit RawBridge(RawBridgeOptions options);

    // The debugger's output, from the client's reader.
    void relayOutput(const uint8_t *bytes, size_t count);
    // Relays standard input, and the signals in taken (blocked in every thread), until the
    // connection has ended and both relaying threads have; whether the debugger wrote anything.
    bool run(ServiceClient &client, const sigset_t &taken);

private:
    void relayInput(ServiceClient &client);
    size_t sendProgramLoad(ServiceClient &client);
    void endInput(ServiceClient &client, size_t lines);
    void takeSignals(ServiceClient &client, const UniqueFd &signals);
    // Until fd is readable (true) or the connection has ended (false).
    bool waitForInput(int fd) const;

    const RawBridgeOptions options_;
    AnswerCounter answers_;
    Pipe ended_; // its read end turns readable once the connection has ended
};

} // namespace local_debugger
