#pragma once
// One end of a host connection: whole messages out from any thread, messages in, in order.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <sys/uio.h>

#include "platform/message.h"

namespace local_debugger {

class Connection {
public:
    enum class End { Closed, Failed, BadInput };

    explicit Connection(int fd); // takes ownership of a close-on-exec stream socket
    ~Connection();
    Connection(const Connection &) = delete;
    Connection &operator=(const Connection &) = delete;

    int descriptor() const { return fd_; }

    // Each returns false once the peer is gone; a message never interleaves with another.
    bool send(const Message &message);
    bool sendEncoded(const std::string &encoded);
    bool sendData(const uint8_t *bytes, size_t count);
    // Writes what the socket takes of bytes now, without waiting: the count written, or -1 once
    // the peer is gone.
    ssize_t trySend(std::string_view bytes);
    // A data message of count bytes taken from a pipe that holds at least that many; the
    // bytes move from the pipe to the socket without a copy where the system allows.
    bool sendDataFromPipe(int pipeFd, size_t count);

    // Blocks, handing each message to onMessage in order of arrival, until the connection ends.
    End receive(const std::function<void(Message &)> &onMessage);

    // Wakes a blocked receive and makes further sends fail.
    void shutdown();
    int fd() const { return fd_; }

private:
    bool writeAll(iovec *parts, int count, int flags = 0); // with writeLock_ held

    int fd_;
    std::mutex writeLock_;
};

} // namespace local_debugger
