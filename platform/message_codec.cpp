#include "platform/message_codec.h"

#include <cstring>
#include <limits>
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

void packDictionary(msgpack::packer<msgpack::sbuffer> &packer, const MessageDictionary &dictionary)
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
    msgpack::sbuffer buffer;
    msgpack::packer<msgpack::sbuffer> packer(buffer);
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
    return std::string(buffer.data(), buffer.size());
}

std::string encodeDataMessageHeader(size_t count)
{
    msgpack::sbuffer buffer(64);
    msgpack::packer<msgpack::sbuffer> packer(buffer);
    packer.pack_array(3);
    packer.pack(2);
    packer.pack(std::string_view("message"));
    packer.pack_array(1);
    packer.pack_map(1);
    packer.pack(std::string_view("data"));
    packer.pack_bin(static_cast<uint32_t>(count));
    return std::string(buffer.data(), buffer.size());
}

// Values reference the read buffer instead of being copied twice.
bool referenceValues(msgpack::type::object_type, std::size_t, void *)
{
    return true;
}

struct MessageDecoder::State {
    msgpack::unpacker unpacker{&referenceValues, nullptr,
                               MSGPACK_UNPACKER_INIT_BUFFER_SIZE, decodeLimits};
    DeclaredSizeGuard guard{maxMessageSize};
    size_t pending = 0; // bytes fed since the last complete value began
    bool broken = false;
};

MessageDecoder::MessageDecoder() : state_(std::make_unique<State>()) {}

MessageDecoder::~MessageDecoder() = default;

char *MessageDecoder::reserve(size_t size)
{
    state_->unpacker.reserve_buffer(size);
    return state_->unpacker.buffer();
}

void MessageDecoder::commit(size_t size)
{
    // Values that end before an oversized one are still delivered; the rest is never buffered.
    state_->guard.feed(reinterpret_cast<const uint8_t *>(state_->unpacker.buffer()), size);
    size_t accepted = state_->guard.lastAccepted();
    state_->unpacker.buffer_consumed(accepted);
    state_->pending += accepted;
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
    msgpack::object_handle handle;
    bool complete = false;
    try {
        complete = state.unpacker.next(handle);
    } catch (const std::exception &) {
        // Malformed bytes, or a header declaring more than a message may hold.
        state.broken = true;
        return Status::BadInput;
    }
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
