#include "service/termination.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <mutex>
#include <unistd.h>

#include "debugger/output_relay.h"
#include "platform/connection.h"
#include "service/process_state.h"

namespace {

std::mutex terminationLock; // taken by whoever ends the process; never released
std::atomic<bool> stopping{false};

// Whatever the debugger wrote before it exited still reaches the host, within this bound:
// a debuggee that inherited the output pipe may hold it open forever.
constexpr std::chrono::milliseconds finalRelayLimit{1000};

// No host is left with half a message: a write under way finishes first (within a bound, in
// case the host has stopped reading).
void holdConnectionsForExit(Connection *also)
{
    constexpr std::chrono::milliseconds bound{2000};
    if (auto client = clientConnection())
        client->holdForExit(bound);
    if (also != nullptr && also != clientConnection().get())
        also->holdForExit(bound);
}

[[noreturn]] void endProcess()
{
    // _exit: other threads may still be relaying; static destructors must not run under them.
    _exit(0);
}

[[noreturn]] void waitForOtherEnding()
{
    for (;;)
        pause();
}

} // namespace

void beginStop()
{
    stopping.store(true);
}

void finishStop(Connection &stopConnection)
{
    terminationLock.lock();
    holdConnectionsForExit(&stopConnection);
    endProcess();
}

void endOnConnectionError()
{
    if (stopping.load())
        waitForOtherEnding();
    terminationLock.lock();
    signalDebugger(SIGKILL);
    endProcess();
}

void endOnDebuggerExit()
{
    if (stopping.load())
        return;
    terminationLock.lock();
    finishOutputRelay(finalRelayLimit);
    if (stopping.load()) {
        // stop arrived meanwhile: its reply goes first, and its exit ends the run.
        terminationLock.unlock();
        return;
    }
    holdConnectionsForExit(nullptr);
    endProcess();
}
