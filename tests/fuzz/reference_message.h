#pragma once
// The connection rules read straight off a MessagePack value, written apart from the codec so
// that the fuzz checks can hold the two against each other.

#include <msgpack.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/message.h"

namespace fuzzcheck {

using Entries = std::vector<std::pair<std::string, MessageValue>>;

struct ReferenceMessage {
    MessageKind kind = MessageKind::Plain;
    uint32_t msgid = 0;
    Entries entries;
};

inline std::string_view textOf(const msgpack::object &object)
{
    return std::string_view(object.via.str.ptr, object.via.str.size);
}

// Keys that are not strings are never seen; values of a type the dictionary does not carry
// stay as entries that read as missing.
inline Entries referenceEntries(const msgpack::object &map)
{
    Entries entries;
    for (uint32_t i = 0; i < map.via.map.size; ++i) {
        const msgpack::object_kv &pair = map.via.map.ptr[i];
        if (pair.key.type != msgpack::type::STR)
            continue;
        std::string key(textOf(pair.key));
        const msgpack::object &value = pair.val;
        if (value.type == msgpack::type::STR) {
            entries.emplace_back(std::move(key), std::string(textOf(value)));
        } else if (value.type == msgpack::type::BIN) {
            const auto *bytes = reinterpret_cast<const uint8_t *>(value.via.bin.ptr);
            entries.emplace_back(std::move(key), MessageBytes(bytes, bytes + value.via.bin.size));
        } else if (value.type == msgpack::type::BOOLEAN) {
            entries.emplace_back(std::move(key), value.via.boolean);
        } else {
            entries.emplace_back(std::move(key), std::monostate{});
        }
    }
    return entries;
}

inline bool isUnsigned32(const msgpack::object &object)
{
    return object.type == msgpack::type::POSITIVE_INTEGER && object.via.u64 <= 0xFFFFFFFFu;
}

inline bool isOneMapArray(const msgpack::object &object)
{
    return object.type == msgpack::type::ARRAY && object.via.array.size == 1 &&
           object.via.array.ptr[0].type == msgpack::type::MAP;
}

// The three shapes; anything else is a value that is not a message. The method of a request or
// plain message and the error slot of a reply are not looked at: the service ignores them.
inline std::optional<ReferenceMessage> referenceMessage(const msgpack::object &value)
{
    if (value.type != msgpack::type::ARRAY || value.via.array.size == 0)
        return std::nullopt;
    const msgpack::object *items = value.via.array.ptr;
    const uint32_t count = value.via.array.size;
    if (items[0].type != msgpack::type::POSITIVE_INTEGER)
        return std::nullopt;
    ReferenceMessage message;
    const uint64_t type = items[0].via.u64;
    if (type == 0 && count == 4 && isUnsigned32(items[1]) && isOneMapArray(items[3])) {
        message.kind = MessageKind::Request;
        message.msgid = static_cast<uint32_t>(items[1].via.u64);
        message.entries = referenceEntries(items[3].via.array.ptr[0]);
    } else if (type == 1 && count == 4 && isUnsigned32(items[1]) && items[3].type == msgpack::type::MAP) {
        message.kind = MessageKind::Reply;
        message.msgid = static_cast<uint32_t>(items[1].via.u64);
        message.entries = referenceEntries(items[3]);
    } else if (type == 2 && count == 3 && isOneMapArray(items[2])) {
        message.kind = MessageKind::Plain;
        message.entries = referenceEntries(items[2].via.array.ptr[0]);
    } else {
        return std::nullopt;
    }
    return message;
}

inline const char *kindName(MessageKind kind)
{
    switch (kind) {
    case MessageKind::Request:
        return "request";
    case MessageKind::Reply:
        return "reply";
    case MessageKind::Plain:
        return "plain";
    }
    return "?";
}

} // namespace fuzzcheck
