#pragma once
// MessagePack-RPC framing: [0, msgid, method, [map]], [1, msgid, nil, map], [2, method, [map]].

#include <cstddef>
#include <memory>
#include <span>
#include <string>

#include "platform/message.h"

namespace local_debugger {

// Largest encoding of one message that a connection accepts.
constexpr size_t maxMessageSize = 64u << 20;

std::string encodeMessage(const Message &message);

// The encoding of a plain message holding only "data" of count bytes, up to the bytes
// themselves, which follow it on the wire unchanged.
struct DataMessageHeader {
    char bytes[32];
    size_t size = 0;
};
DataMessageHeader encodeDataMessageHeader(size_t count);

class MessageDecoder {
public:
    enum class Status {
        Message,  // out holds a message
        Ignored,  // a well-formed value that is not a message
        NeedMore, // all input consumed
        BadInput, // not MessagePack, too large or too deep: the connection must end
    };

    MessageDecoder();
    ~MessageDecoder();
    MessageDecoder(const MessageDecoder &) = delete;
    MessageDecoder &operator=(const MessageDecoder &) = delete;

    // Room for at least size bytes of input; commit says how many were written there.
    char *reserve(size_t size);
    // Room for input of a size this decoder chooses: while the payload of a data message is
    // arriving, the rest of that payload, so a read lands where the message keeps it.
    std::span<char> readSpace(size_t preferred);
    void commit(size_t size);
    void feed(const void *bytes, size_t size);

    Status next(Message &out);

private:
    struct State;
    std::unique_ptr<State> state_;
};

} // namespace local_debugger
