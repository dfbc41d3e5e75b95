#pragma once
// The service's one debugging run: its connections, the commands they send, the debugger
// child (at most one, owned by run_) and the one way the run ends.

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <memory>
#include <mutex>
#include <vector>

#include "debugger/debugger_run.h"
#include "debugger/pipe_stock.h"
#include "platform/message.h"

namespace local_debugger {
class QueuedConnection;
struct Message;
} // namespace local_debugger

class Service {
public:
    enum class EndCause { ChildExited, Stop, ConnectionEnded };

    Service();
    // The run's threads and the launch's pipes; the reason the threads could not be started,
    // else empty.
    std::string start() noexcept;

    // Serves a new connection on the calling thread until it ends, which ends the run: the
    // call never returns. Empties the environment block first.
    [[noreturn]] void serveConnection(int fd);

    // The one end of the run: every connection's message in flight leaves whole, then the
    // process exits with status 0. Only stop's own end follows a stop being handled.
    [[noreturn]] void end(EndCause cause);

private:
    void dispatch(const local_debugger::Message &message,
                  const std::shared_ptr<local_debugger::QueuedConnection> &connection);
    void launch(const local_debugger::Message &message,
                const std::shared_ptr<local_debugger::QueuedConnection> &connection,
                const std::function<std::optional<LaunchPlan>(PipeStock &)> &plan);
    [[noreturn]] void stop(const local_debugger::Message &message, local_debugger::QueuedConnection &connection);
    void holdConnectionsForExit();
    [[noreturn]] void endWhenChildExited();

    DebuggerRun run_;
    PipeStock pipes_; // taken by launches, under launchLock_
    // Launches (their toolchain probe included) and stop, one at a time: a stop waits for a
    // launch under way and stops its child.
    std::mutex launchLock_;
    std::mutex connectionsLock_;
    std::vector<std::shared_ptr<local_debugger::QueuedConnection>> connections_;
    std::atomic<bool> stopping_{false};
    std::mutex endLock_; // taken by whoever ends the process
};
