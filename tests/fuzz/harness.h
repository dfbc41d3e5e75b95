#pragma once
// The checks the fuzz targets and the corpus replay run on one input: cheap properties of the
// parser under test, each check naming the first one the input breaks.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "environment/environment_block.h"
#include "platform/message_codec.h"

using namespace local_debugger;

namespace fuzzharness {

using Broken = std::optional<std::string>;

// Each status and re-encoded message of a stream fed in reads of chunk bytes, up to BadInput.
inline std::vector<std::string> decodeInReads(const uint8_t *data, size_t size, size_t chunk)
{
    MessageDecoder decoder;
    std::vector<std::string> seen;
    for (size_t offset = 0; offset == 0 || offset < size; offset += chunk) {
        decoder.feed(data + offset, std::min(chunk, size - offset));
        Message message;
        for (auto status = decoder.next(message); status != MessageDecoder::Status::NeedMore;
             status = decoder.next(message)) {
            bool isMessage = status == MessageDecoder::Status::Message;
            seen.push_back(isMessage ? encodeMessage(message) : std::to_string(static_cast<int>(status)));
            if (status == MessageDecoder::Status::BadInput)
                return decoder.next(message) == status ? seen : std::vector<std::string>{"broken stream recovered"};
        }
    }
    return seen;
}

// The frame decoder: one read and single bytes give the same messages and statuses, a broken
// stream stays broken, and a decoded message's encoding decodes to the same message again.
inline Broken checkFrameDecoder(const uint8_t *data, size_t size)
{
    std::vector<std::string> whole = decodeInReads(data, size, std::max<size_t>(size, 1));
    if (whole != decodeInReads(data, size, 1))
        return "one read and single bytes decode differently";
    for (const std::string &value : whole) {
        auto bytes = reinterpret_cast<const uint8_t *>(value.data());
        if (value.size() > 1 && decodeInReads(bytes, value.size(), value.size()) != std::vector<std::string>{value})
            return "a decoded message does not survive encoding and decoding again";
    }
    return std::nullopt;
}

// The input as a dictionary in a plain message: a reader finds a value only of its own type in
// the first entry of a key.
inline Broken checkDictionary(const uint8_t *data, size_t size)
{
    std::string bytes = "\x93\x02\xA1m\x91" + std::string(reinterpret_cast<const char *>(data), size);
    MessageDecoder decoder;
    decoder.feed(bytes.data(), bytes.size());
    Message message;
    if (decoder.next(message) != MessageDecoder::Status::Message)
        return std::nullopt;
    const MessageDictionary &dictionary = message.dictionary;
    for (const auto &entry : dictionary.entries()) {
        const std::string &key = entry.first;
        auto first = std::find_if(dictionary.entries().begin(), dictionary.entries().end(),
                                  [&](const auto &other) { return other.first == key; });
        if (dictionary.getString(key).has_value() != std::holds_alternative<std::string>(first->second) ||
            (dictionary.getData(key) != nullptr) != std::holds_alternative<MessageBytes>(first->second) ||
            dictionary.getBool(key).has_value() != std::holds_alternative<bool>(first->second))
            return "a reader disagrees with the first entry of key " + key;
    }
    return std::nullopt;
}

// The set_env payload, on the heap at exactly its size so a sanitizer sees any read past it: the
// block's entries, each ended by NUL, begin the payload, none is empty, a snapshot equals it.
inline Broken checkSetEnv(const uint8_t *data, size_t size)
{
    std::unique_ptr<char[]> payload(new char[std::max<size_t>(size, 1)]);
    memcpy(payload.get(), data, size);
    replaceEnvironment(payload.get(), size);
    EnvironBlock copy = snapshotEnvironment();
    Broken broken = childEnvironment == nullptr || copy == nullptr ? Broken("a payload gave no block") : std::nullopt;
    std::string joined;
    for (size_t i = 0; !broken && childEnvironment[i] != nullptr; ++i) {
        joined += std::string(childEnvironment[i]) + '\0';
        if (childEnvironment[i][0] == '\0' || copy[i] == nullptr || strcmp(copy[i], childEnvironment[i]) != 0)
            broken = "an entry is empty or differs in the snapshot";
    }
    // The last string may lack its NUL in the payload.
    if (!broken && (joined.size() > size + 1 || memcmp(joined.data(), data, std::min(joined.size(), size)) != 0))
        broken = "the entries are not the payload's strings";
    freeSetEnvironment(copy);
    freeSetEnvironment();
    return broken;
}

} // namespace fuzzharness
