#include <csignal>
#include <unistd.h>

#include "service/service.h"

namespace {

// Whatever the debugger wrote before it exited still reaches a host that reads it, however
// slowly. The bounds: a debuggee that inherited the output pipe may hold it open forever, and a
// host that takes nothing this long has stopped reading.
constexpr std::chrono::milliseconds finalRelayLimit{1000};
constexpr std::chrono::milliseconds stalledHostLimit{10000};

[[noreturn]] void waitForTheEnd()
{
    for (;;)
        pause();
}

} // namespace

void Service::end(EndCause cause)
{
    if (cause == EndCause::ChildExited)
        endWhenChildExited();
    if (cause != EndCause::Stop && stopping_.load())
        waitForTheEnd();
    endLock_.lock();
    if (cause == EndCause::ConnectionEnded)
        run_.signal(SIGKILL);
    holdConnectionsForExit();
    // _exit: other threads may still be relaying; static destructors must not run under them.
    _exit(0);
}

void Service::endWhenChildExited()
{
    if (stopping_.load())
        waitForTheEnd();
    endLock_.lock();
    run_.finishRelay(finalRelayLimit, stalledHostLimit);
    if (stopping_.load()) {
        // stop arrived meanwhile: its reply goes first, and its end ends the run.
        endLock_.unlock();
        waitForTheEnd();
    }
    holdConnectionsForExit();
    _exit(0);
}
