#pragma once
// The message dictionary's readers against a plain walk over the decoded MessagePack map: of a
// key given twice the first counts, a value of the wrong type reads as missing, keys that are
// not strings are never seen. Input byte 0 picks the mode and the message shape:
//   mode 0: the rest describes map entries, packed here into a message;
//   mode 1: the rest is taken as the map's encoding as it is;
//   mode 2: the rest is a run of edits through the dictionary's own setters.

#include <msgpack.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/message.h"
#include "platform/message_codec.h"
#include "tests/fuzz/check_support.h"
#include "tests/fuzz/frame_decoder_check.h"
#include "tests/fuzz/reference_message.h"

namespace fuzzcheck {

namespace dictionary {

// Few keys, so that duplicates and near misses are common.
inline const std::vector<std::string> &commonKeys()
{
    static const std::vector<std::string> keys = {
        "command", "data", "arch", "result", "", "a", "A", std::string("a\0", 2), std::string("command\0x", 9), "commands",
    };
    return keys;
}

class Input {
public:
    Input(const uint8_t *data, size_t size) : data_(data), size_(size) {}
    bool empty() const { return at_ >= size_; }
    uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    std::string bytes(size_t count)
    {
        count = std::min(count, size_ - std::min(at_, size_));
        std::string text(reinterpret_cast<const char *>(data_ + at_), count);
        at_ += count;
        return text;
    }
    std::string key()
    {
        const uint8_t choice = byte();
        if (choice < 200)
            return commonKeys()[choice % commonKeys().size()];
        return bytes(choice % 8);
    }

private:
    const uint8_t *data_;
    size_t size_;
    size_t at_ = 0;
};

// The first entry under a string key equal to key, as msgpack decoded the map.
inline const msgpack::object *firstValue(const msgpack::object &map, std::string_view key)
{
    for (uint32_t i = 0; i < map.via.map.size; ++i) {
        const msgpack::object_kv &pair = map.via.map.ptr[i];
        if (pair.key.type == msgpack::type::STR && textOf(pair.key) == key)
            return &pair.val;
    }
    return nullptr;
}

inline void checkReaders(const MessageDictionary &dictionary, const msgpack::object &map, std::string_view key)
{
    const msgpack::object *value = firstValue(map, key);
    const std::optional<std::string_view> text = dictionary.getString(key);
    if (value != nullptr && value->type == msgpack::type::STR)
        require(text.has_value() && *text == textOf(*value), "getString differs from the first entry");
    else
        require(!text.has_value(), "getString found a value that reads as missing");

    const MessageBytes *bytes = dictionary.getData(key);
    if (value != nullptr && value->type == msgpack::type::BIN) {
        const auto *begin = reinterpret_cast<const uint8_t *>(value->via.bin.ptr);
        require(bytes != nullptr && *bytes == MessageBytes(begin, begin + value->via.bin.size),
                "getData differs from the first entry");
    } else {
        require(bytes == nullptr, "getData found a value that reads as missing");
    }

    const std::optional<bool> flag = dictionary.getBool(key);
    if (value != nullptr && value->type == msgpack::type::BOOLEAN)
        require(flag.has_value() && *flag == value->via.boolean, "getBool differs from the first entry");
    else
        require(!flag.has_value(), "getBool found a value that reads as missing");
}

inline void packText(msgpack::packer<msgpack::sbuffer> &packer, const std::string &text)
{
    packer.pack_str(static_cast<uint32_t>(text.size()));
    packer.pack_str_body(text.data(), static_cast<uint32_t>(text.size()));
}

inline void packBytes(msgpack::packer<msgpack::sbuffer> &packer, const std::string &bytes)
{
    packer.pack_bin(static_cast<uint32_t>(bytes.size()));
    packer.pack_bin_body(bytes.data(), static_cast<uint32_t>(bytes.size()));
}

// Map entries described by the input, packed the way a host might send them.
inline std::string describedMap(Input &input)
{
    msgpack::sbuffer entries;
    msgpack::packer<msgpack::sbuffer> packer(entries);
    uint32_t count = 0;
    while (!input.empty()) {
        const uint8_t form = input.byte();
        switch (form & 3) {
        case 0:
        case 1:
            packText(packer, input.key());
            break;
        case 2:
            packBytes(packer, input.key());
            break;
        default:
            if (form & 4)
                packer.pack_nil();
            else
                packer.pack(static_cast<int>(input.byte()) - 128);
            break;
        }
        switch ((form >> 3) % 10) {
        case 0:
            packText(packer, input.bytes(input.byte() % 16));
            break;
        case 1:
            packBytes(packer, input.bytes(input.byte() % 16));
            break;
        case 2:
            packer.pack((form & 4) != 0);
            break;
        case 3:
            packer.pack_nil();
            break;
        case 4: {
            const uint64_t base = input.byte();
            packer.pack(base << (input.byte() % 57));
            break;
        }
        case 5:
            packer.pack(-1 - static_cast<int64_t>(input.byte()));
            break;
        case 6:
            packer.pack(static_cast<double>(input.byte()) / 7);
            break;
        case 7: {
            const std::string body = input.bytes(input.byte() % 20);
            packer.pack_ext(body.size(), 1);
            packer.pack_ext_body(body.data(), static_cast<uint32_t>(body.size()));
            break;
        }
        case 8:
            packer.pack_array(2);
            packer.pack(1);
            packer.pack(2);
            break;
        default:
            packer.pack_map(1);
            packText(packer, "k");
            packer.pack(true);
            break;
        }
        ++count;
    }
    msgpack::sbuffer map;
    msgpack::packer<msgpack::sbuffer> head(map);
    head.pack_map(count);
    map.write(entries.data(), entries.size());
    return std::string(map.data(), map.size());
}

inline std::string framed(MessageKind kind, uint32_t msgid, const std::string &map)
{
    msgpack::sbuffer buffer;
    msgpack::packer<msgpack::sbuffer> packer(buffer);
    switch (kind) {
    case MessageKind::Request:
        packer.pack_array(4);
        packer.pack(0);
        packer.pack(msgid);
        packText(packer, "message");
        packer.pack_array(1);
        break;
    case MessageKind::Reply:
        packer.pack_array(4);
        packer.pack(1);
        packer.pack(msgid);
        packer.pack_nil();
        break;
    case MessageKind::Plain:
        packer.pack_array(3);
        packer.pack(2);
        packText(packer, "message");
        packer.pack_array(1);
        break;
    }
    return std::string(buffer.data(), buffer.size()) + map;
}

inline const msgpack::object &mapOf(const msgpack::object &message)
{
    const msgpack::object *items = message.via.array.ptr;
    if (items[0].via.u64 == 1)
        return items[3];
    return (message.via.array.size == 4 ? items[3] : items[2]).via.array.ptr[0];
}

inline void checkDecodedMap(MessageKind kind, uint32_t msgid, const std::string &map, bool described)
{
    const std::string wire = framed(kind, msgid, map);
    const auto *bytes = reinterpret_cast<const uint8_t *>(wire.data());
    const frame::ReferenceStream reference = frame::referenceStream(bytes, wire.size());

    MessageDecoder decoder;
    decoder.feed(wire.data(), wire.size());
    Message message;
    const MessageDecoder::Status status = decoder.next(message);
    if (described) {
        // Everything described fits the limits unless a value nests too deep.
        if (reference.values.empty())
            require(reference.refused && status == MessageDecoder::Status::BadInput, "nesting too deep was not refused");
        else
            require(status == MessageDecoder::Status::Message && reference.values[0].message,
                    "a described message did not decode");
    }
    if (status != MessageDecoder::Status::Message)
        return;
    require(!reference.values.empty() && reference.values[0].message, "decoded a message msgpack does not hold");
    require(message.kind == kind && message.msgid == (kind == MessageKind::Plain ? 0 : msgid),
            "message kind or msgid differs");

    size_t offset = 0;
    msgpack::object_handle handle = msgpack::unpack(wire.data(), wire.size(), offset);
    const msgpack::object &object = mapOf(handle.get());
    require(object.type == msgpack::type::MAP, "message without a map");
    size_t stringKeys = 0;
    for (uint32_t i = 0; i < object.via.map.size; ++i) {
        const msgpack::object &key = object.via.map.ptr[i].key;
        if (key.type == msgpack::type::STR)
            ++stringKeys;
        if (key.type == msgpack::type::STR || key.type == msgpack::type::BIN)
            checkReaders(message.dictionary, object, std::string_view(key.via.str.ptr, key.via.str.size));
    }
    require(message.dictionary.entries().size() == stringKeys, "dictionary keeps other than the string keys");
    for (const std::string &key : commonKeys())
        checkReaders(message.dictionary, object, key);
}

// The dictionary's setters against a list kept here: a set replaces the value of the first
// entry under its key, whatever its type, or appends; add always appends.
inline void checkEdits(Input &input)
{
    MessageDictionary dictionary;
    Entries model;
    auto set = [&](const std::string &key, MessageValue value) {
        for (auto &entry : model) {
            if (entry.first == key) {
                entry.second = std::move(value);
                return;
            }
        }
        model.emplace_back(key, std::move(value));
    };
    while (!input.empty()) {
        const uint8_t op = input.byte();
        const std::string key = input.key();
        switch (op % 6) {
        case 0: {
            std::string text = input.bytes(input.byte() % 8);
            dictionary.setString(key, text);
            set(key, text);
            break;
        }
        case 1: {
            std::string raw = input.bytes(input.byte() % 8);
            MessageBytes bytes(raw.begin(), raw.end());
            dictionary.setData(key, bytes);
            set(key, bytes);
            break;
        }
        case 2:
            dictionary.setBool(key, (op & 8) != 0);
            set(key, (op & 8) != 0);
            break;
        case 3:
            dictionary.add(key, std::monostate{});
            model.emplace_back(key, std::monostate{});
            break;
        case 4: {
            std::string text = input.bytes(input.byte() % 8);
            dictionary.add(key, text);
            model.emplace_back(key, text);
            break;
        }
        default:
            dictionary.add(key, (op & 8) != 0);
            model.emplace_back(key, (op & 8) != 0);
            break;
        }
    }
    require(dictionary.entries() == model, "setters left other entries than replace-first-or-append");

    // Read back through a map packed from the model, so the same walk judges the readers.
    msgpack::sbuffer buffer;
    msgpack::packer<msgpack::sbuffer> packer(buffer);
    packer.pack_map(static_cast<uint32_t>(model.size()));
    for (const auto &[key, value] : model) {
        packText(packer, key);
        if (const auto *text = std::get_if<std::string>(&value))
            packText(packer, *text);
        else if (const auto *bytes = std::get_if<MessageBytes>(&value))
            packBytes(packer, std::string(bytes->begin(), bytes->end()));
        else if (const auto *flag = std::get_if<bool>(&value))
            packer.pack(*flag);
        else
            packer.pack_nil();
    }
    msgpack::object_handle handle = msgpack::unpack(buffer.data(), buffer.size());
    for (const std::string &key : commonKeys())
        checkReaders(dictionary, handle.get(), key);
    for (const auto &entry : model)
        checkReaders(dictionary, handle.get(), entry.first);
}

} // namespace dictionary

inline std::optional<std::string> checkDictionary(const uint8_t *data, size_t size)
{
    return runCheck([&] {
        using namespace dictionary;
        if (size < 1)
            return;
        const uint8_t steer = data[0];
        Input input(data + 1, size - 1);
        const MessageKind kinds[] = {MessageKind::Request, MessageKind::Reply, MessageKind::Plain};
        const MessageKind kind = kinds[(steer >> 2) % 3];
        const uint32_t msgid = static_cast<uint32_t>(steer) * 16777259u;
        switch (steer % 3) {
        case 0:
            checkDecodedMap(kind, msgid, describedMap(input), true);
            break;
        case 1:
            checkDecodedMap(kind, msgid, std::string(reinterpret_cast<const char *>(data + 1), size - 1), false);
            break;
        default:
            checkEdits(input);
            break;
        }
    });
}

} // namespace fuzzcheck
