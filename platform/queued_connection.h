#pragma once
// A host connection as the service serves it: replies and relayed data leave through one
// ordered outgoing queue, so that the thread reading the connection never waits on a host that
// is not reading, and a reply never overtakes data relayed before it.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "platform/connection.h"

namespace local_debugger {

// Replies a host has left unread past this many bytes stop the reading of its connection
// until it reads: a host that never reads cannot grow the queue without bound.
constexpr size_t unreadRepliesLimit = 1u << 20;

class QueuedConnection {
public:
    explicit QueuedConnection(int fd); // takes ownership of a close-on-exec stream socket
    QueuedConnection(const QueuedConnection &) = delete;
    QueuedConnection &operator=(const QueuedConnection &) = delete;

    // Starts the thread that writes what waits; the reason when it could not be started, else
    // empty. The object must then outlive the process's threads.
    std::string start() noexcept;

    Connection &connection() { return connection_; }
    int fd() const { return connection_.fd(); }

    // For the thread that reads the connection: writes what the socket takes now, and leaves
    // the rest to the writer thread behind whatever waits. Never waits on the socket. False once
    // the peer is gone.
    bool sendReply(const Message &reply);

    // For the relay: waits its turn, then writes what waits and its own message itself. A host
    // that is not reading holds it up: that is what holds up the back end. False once the peer
    // is gone or the connection is held for exit.
    bool sendData(const uint8_t *bytes, size_t count);
    bool sendDataFromPipe(int pipeFd, size_t count);

    // Before the process ends: lets what waits be written and the message in flight finish,
    // for at most timeout, and starts nothing more. False when the timeout passed.
    bool holdForExit(std::chrono::milliseconds timeout);

private:
    // Takes the turn to write, with what waits; false when none may be taken.
    bool takeTurn(std::unique_lock<std::mutex> &guard, std::vector<std::string> &waiting);
    // Gives the turn back once waiting has been written, ok or not.
    void endTurn(const std::vector<std::string> &waiting, bool ok);
    template <typename Write> bool inTurn(Write write);
    [[noreturn]] void writeWaiting();

    Connection connection_;
    std::mutex lock_;
    std::condition_variable turnFree_; // for the relay, a reply waiting for room, and the exit
    std::condition_variable waiting_;  // for the writer thread
    std::vector<std::string> queue_;
    size_t queuedBytes_ = 0; // what a turn took and still writes included
    bool writing_ = false;   // someone writes to the socket
    bool failed_ = false;
    bool held_ = false;
};

} // namespace local_debugger
