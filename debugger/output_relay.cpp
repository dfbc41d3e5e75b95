#include "debugger/output_relay.h"

#include <cerrno>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>

#include "diagnostics/debug_message.h"
#include "platform/connection.h"
#include "service/process_state.h"

namespace {

std::mutex relayLock;
std::condition_variable relayFinished;
bool relayStarted = false;
bool relayDone = false;
int heldWriteEnd = -1; // the service's copy of the output pipe's write end, for GDB

void relayDebuggerOutput(const uint8_t *bytes, size_t count, DebuggerBackend backend)
{
    if (backend != DebuggerBackend::Gdb && count > 0 && loggingEnabled.load())
        debugHexMessage("data received: ", bytes, count);
    if (auto connection = clientConnection())
        connection->sendData(bytes, count);
}

void relayLoop(int fd, DebuggerBackend backend)
{
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[relayReadSize]);
    for (;;) {
        ssize_t got = read(fd, buffer.get(), relayReadSize);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0) {
            relayDebuggerOutput(buffer.get(), 0, backend);
            break;
        }
        relayDebuggerOutput(buffer.get(), static_cast<size_t>(got), backend);
    }
    std::lock_guard<std::mutex> guard(relayLock);
    relayDone = true;
    relayFinished.notify_all();
}

} // namespace

void startOutputRelay(int fd, DebuggerBackend backend)
{
    {
        std::lock_guard<std::mutex> guard(relayLock);
        relayStarted = true;
        if (backend == DebuggerBackend::Gdb)
            heldWriteEnd = stdoutPipe[1];
    }
    std::thread(relayLoop, fd, backend).detach();
}

void finishOutputRelay(std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> guard(relayLock);
    if (!relayStarted)
        return;
    if (heldWriteEnd >= 0) {
        close(heldWriteEnd);
        heldWriteEnd = -1;
    }
    relayFinished.wait_for(guard, limit, [] { return relayDone; });
}
