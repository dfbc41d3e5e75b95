#include "platform/message_codec.h"

#include <cstring>
#include <algorithm>
#include <limits>
#include <optional>
#include <msgpack.hpp>

#include "platform/declared_size_guard.h"

namespace {

// A message is at most an array holding an array holding a map of scalars.
constexpr size_t maxDepth = 3;
constexpr size_t maxArrayLength = 64;
constexpr size_t maxMapLength = 4096;
// The smallest framing around one value: a single bin or str can never need more than this.
constexpr size_t minimumFraming = 22;
constexpr size_t maxValueLength = maxMessageSize - minimumFraming;

const msgpack::unpack_limit decodeLimits(maxArrayLength, maxMapLength, maxValueLength, maxValueLength,
                                         maxValueLength, maxDepth);

// Packs straight into the string the message is returned in.
struct StringStream {
    std::string &text;
    void write(const char *data, size_t count) { text.append(data, count); }
};
using Packer = msgpack::packer<StringStream>;

void packDictionary(Packer &packer, const MessageDictionary &dictionary)
{
    size_t count = 0;
    for (const auto &entry : dictionary.entries()) {
        if (!std::holds_alternative<std::monostate>(entry.second))
            ++count;
    }
    packer.pack_map(static_cast<uint32_t>(count));
    for (const auto &[key, value] : dictionary.entries()) {
        if (std::holds_alternative<std::monostate>(value))
            continue;
        packer.pack_str(static_cast<uint32_t>(key.size()));
        packer.pack_str_body(key.data(), static_cast<uint32_t>(key.size()));
        if (const auto *text = std::get_if<std::string>(&value)) {
            packer.pack_str(static_cast<uint32_t>(text->size()));
            packer.pack_str_body(text->data(), static_cast<uint32_t>(text->size()));
        } else if (const auto *bytes = std::get_if<MessageBytes>(&value)) {
            packer.pack_bin(static_cast<uint32_t>(bytes->size()));
            packer.pack_bin_body(reinterpret_cast<const char *>(bytes->data()), static_cast<uint32_t>(bytes->size()));
        } else {
            packer.pack(std::get<bool>(value));
        }
    }
}

bool readDictionary(const msgpack::object &object, MessageDictionary &out)
{
    if (object.type != msgpack::type::MAP)
        return false;
    const msgpack::object_map &map = object.via.map;
    for (uint32_t i = 0; i < map.size; ++i) {
        const msgpack::object &key = map.ptr[i].key;
        const msgpack::object &value = map.ptr[i].val;
        if (key.type != msgpack::type::STR)
            continue;
        std::string name(key.via.str.ptr, key.via.str.size);
        switch (value.type) {
        case msgpack::type::STR:
            out.add(std::move(name), std::string(value.via.str.ptr, value.via.str.size));
            break;
        case msgpack::type::BIN: {
            const auto *begin = reinterpret_cast<const uint8_t *>(value.via.bin.ptr);
            out.add(std::move(name), MessageBytes(begin, begin + value.via.bin.size));
            break;
        }
        case msgpack::type::BOOLEAN:
            out.add(std::move(name), value.via.boolean);
            break;
        default:
            out.add(std::move(name), std::monostate{});
            break;
        }
    }
    return true;
}

bool readMsgid(const msgpack::object &object, uint32_t &msgid)
{
    if (object.type != msgpack::type::POSITIVE_INTEGER || object.via.u64 > std::numeric_limits<uint32_t>::max())
        return false;
    msgid = static_cast<uint32_t>(object.via.u64);
    return true;
}

bool readParams(const msgpack::object &object, MessageDictionary &out)
{
    return object.type == msgpack::type::ARRAY && object.via.array.size == 1 &&
           readDictionary(object.via.array.ptr[0], out);
}

bool readMessage(const msgpack::object &object, Message &out)
{
    if (object.type != msgpack::type::ARRAY || object.via.array.size < 3)
        return false;
    const msgpack::object *items = object.via.array.ptr;
    const uint32_t size = object.via.array.size;
    if (items[0].type != msgpack::type::POSITIVE_INTEGER)
        return false;
    Message message;
    switch (items[0].via.u64) {
    case 0:
        message.kind = MessageKind::Request;
        if (size != 4 || !readMsgid(items[1], message.msgid) || !readParams(items[3], message.dictionary))
            return false;
        break;
    case 1:
        message.kind = MessageKind::Reply;
        if (size != 4 || !readMsgid(items[1], message.msgid) || !readDictionary(items[3], message.dictionary))
            return false;
        break;
    case 2:
        message.kind = MessageKind::Plain;
        if (size != 3 || !readParams(items[2], message.dictionary))
            return false;
        break;
    default:
        return false;
    }
    out = std::move(message);
    return true;
}

} // namespace

std::string encodeMessage(const Message &message)
{
    std::string encoded;
    StringStream stream{encoded};
    Packer packer(stream);
    switch (message.kind) {
    case MessageKind::Request:
        packer.pack_array(4);
        packer.pack(0);
        packer.pack(message.msgid);
        packer.pack(std::string_view("message"));
        packer.pack_array(1);
        packDictionary(packer, message.dictionary);
        break;
    case MessageKind::Reply:
        packer.pack_array(4);
        packer.pack(1);
        packer.pack(message.msgid);
        packer.pack_nil();
        packDictionary(packer, message.dictionary);
        break;
    case MessageKind::Plain:
        packer.pack_array(3);
        packer.pack(2);
        packer.pack(std::string_view("message"));
        packer.pack_array(1);
        packDictionary(packer, message.dictionary);
        break;
    }
    return encoded;
}

namespace {

// Room enough for a data message header, so that encoding one allocates nothing.
struct HeaderBuffer {
    char bytes[32];
    size_t size = 0;
    void write(const char *data, size_t count)
    {
        memcpy(bytes + size, data, count);
        size += count;
    }
};

} // namespace

DataMessageHeader encodeDataMessageHeader(size_t count)
{
    HeaderBuffer buffer;
    msgpack::packer<HeaderBuffer> packer(buffer);
    packer.pack_array(3);
    packer.pack(2);
    packer.pack(std::string_view("message"));
    packer.pack_array(1);
    packer.pack_map(1);
    packer.pack(std::string_view("data"));
    packer.pack_bin(static_cast<uint32_t>(count));
    DataMessageHeader header;
    memcpy(header.bytes, buffer.bytes, buffer.size);
    header.size = buffer.size;
    return header;
}

// Values reference the read buffer instead of being copied twice.
bool referenceValues(msgpack::type::object_type, std::size_t, void *)
{
    return true;
}

namespace {

// What every data message the service sends starts with: [2, "message", [{"data": bin...
constexpr uint8_t dataMessagePrefix[] = {0x93, 0x02, 0xa7, 'm', 'e', 's', 's', 'a', 'g', 'e',
                                         0x91, 0x81, 0xa4, 'd', 'a', 't', 'a'};

// The payload size and header length of a data message at the start of bytes; false when the
// bytes hold something else or not yet the whole header.
bool dataMessageHeader(const uint8_t *bytes, size_t count, size_t &headerLength, size_t &payloadSize)
{
    constexpr size_t prefix = sizeof dataMessagePrefix;
    if (count < prefix + 2 || memcmp(bytes, dataMessagePrefix, prefix) != 0)
        return false;
    const uint8_t *header = bytes + prefix;
    const size_t lengthBytes = header[0] == 0xc4 ? 1 : header[0] == 0xc5 ? 2 : header[0] == 0xc6 ? 4 : 0;
    if (lengthBytes == 0 || count < prefix + 1 + lengthBytes)
        return false;
    payloadSize = 0;
    for (size_t i = 1; i <= lengthBytes; ++i)
        payloadSize = payloadSize << 8 | header[i];
    headerLength = prefix + 1 + lengthBytes;
    return payloadSize <= maxValueLength;
}

} // namespace

struct MessageDecoder::State {
    msgpack::unpacker unpacker{&referenceValues, nullptr,
                               MSGPACK_UNPACKER_INIT_BUFFER_SIZE, decodeLimits};
    DeclaredSizeGuard guard{maxMessageSize};
    size_t pending = 0; // bytes fed since the last complete value began
    bool broken = false;
    // No value is partly parsed: the unparsed bytes, if any, start a new value.
    bool atBoundary = true;
    // A data message whose payload is being filled in place: its declared size, and how much
    // of it has come. The payload grows with what arrives, never to what a header promises.
    std::optional<Message> filling;
    size_t declared = 0;
    size_t filled = 0;
    bool lastSpaceWasPayload = false;

    MessageBytes &payload() { return *const_cast<MessageBytes *>(filling->dictionary.getData("data")); }
    size_t payloadLeft() const { return declared - filled; }

    // Room for at least wanted more bytes of payload, in steps, so that memory follows what
    // arrives and not what the header promised.
    void growPayload(size_t wanted)
    {
        constexpr size_t step = 256 * 1024;
        MessageBytes &bytes = payload();
        if (bytes.size() < filled + wanted)
            bytes.resize(std::min(declared, filled + std::max(wanted, step)));
    }

    // Moves up to count unparsed bytes into the payload being filled.
    void fillFromUnparsed(size_t count)
    {
        const size_t taken = std::min(count, payloadLeft());
        if (taken == 0)
            return;
        growPayload(taken);
        memcpy(payload().data() + filled, unpacker.nonparsed_buffer(), taken);
        unpacker.skip_nonparsed_buffer(taken);
        filled += taken;
        pending -= taken;
    }

    // At a value boundary, a data message is taken apart without the general parser: its
    // payload goes straight into the message, and the rest of it straight from the reads.
    bool startDataMessage()
    {
        size_t headerLength = 0;
        size_t payloadSize = 0;
        if (!dataMessageHeader(reinterpret_cast<const uint8_t *>(unpacker.nonparsed_buffer()),
                               unpacker.nonparsed_size(), headerLength, payloadSize))
            return false;
        Message message;
        message.kind = MessageKind::Plain;
        MessageBytes bytes;
        bytes.reserve(std::min(payloadSize, size_t{1} << 20));
        message.dictionary.add("data", std::move(bytes));
        filling = std::move(message);
        declared = payloadSize;
        filled = 0;
        unpacker.skip_nonparsed_buffer(headerLength);
        pending -= headerLength;
        fillFromUnparsed(unpacker.nonparsed_size());
        return true;
    }
};

MessageDecoder::MessageDecoder() : state_(std::make_unique<State>()) {}

MessageDecoder::~MessageDecoder() = default;

char *MessageDecoder::reserve(size_t size)
{
    state_->lastSpaceWasPayload = false;
    state_->unpacker.reserve_buffer(size);
    return state_->unpacker.buffer();
}

std::span<char> MessageDecoder::readSpace(size_t preferred)
{
    State &state = *state_;
    if (state.filling && state.payloadLeft() > 0) {
        state.lastSpaceWasPayload = true;
        state.growPayload(std::min(preferred, state.payloadLeft()));
        return {reinterpret_cast<char *>(state.payload().data() + state.filled), state.payload().size() - state.filled};
    }
    return {reserve(preferred), preferred};
}

void MessageDecoder::commit(size_t size)
{
    State &state = *state_;
    if (state.lastSpaceWasPayload) {
        // Payload bytes: the guard still follows the stream, and never refuses inside a payload.
        state.guard.feed(state.payload().data() + state.filled, size);
        state.filled += size;
        return;
    }
    // Values that end before an oversized one are still delivered; the rest is never buffered.
    state.guard.feed(reinterpret_cast<const uint8_t *>(state.unpacker.buffer()), size);
    size_t accepted = state.guard.lastAccepted();
    state.unpacker.buffer_consumed(accepted);
    state.pending += accepted;
    if (state.filling)
        state.fillFromUnparsed(accepted);
}

void MessageDecoder::feed(const void *bytes, size_t size)
{
    memcpy(reserve(size), bytes, size);
    commit(size);
}

MessageDecoder::Status MessageDecoder::next(Message &out)
{
    State &state = *state_;
    if (state.broken)
        return Status::BadInput;
    if (state.filling) {
        if (state.payloadLeft() > 0)
            return Status::NeedMore;
        out = std::move(*state.filling);
        state.filling.reset();
        return Status::Message;
    }
    if (state.atBoundary) {
        if (state.unpacker.nonparsed_size() == 0) {
            if (state.guard.refused()) {
                state.broken = true;
                return Status::BadInput;
            }
            return Status::NeedMore;
        }
        if (state.startDataMessage())
            return next(out);
    }
    msgpack::object_handle handle;
    bool complete = false;
    try {
        complete = state.unpacker.next(handle);
    } catch (const std::exception &) {
        // Malformed bytes, or a header declaring more than a message may hold.
        state.broken = true;
        return Status::BadInput;
    }
    state.atBoundary = complete;
    if (!complete) {
        if (state.guard.refused() || state.pending > maxMessageSize) {
            state.broken = true;
            return Status::BadInput;
        }
        return Status::NeedMore;
    }
    size_t remaining = state.unpacker.nonparsed_size();
    size_t encodedSize = state.pending - remaining;
    state.pending = remaining;
    if (encodedSize > maxMessageSize) {
        state.broken = true;
        return Status::BadInput;
    }
    return readMessage(handle.get(), out) ? Status::Message : Status::Ignored;
}
