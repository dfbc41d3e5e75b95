#pragma once
// The frame decoder and the declared-size guard against an independent reading of the stream.
// Input: byte 0 steers how the stream is cut into reads, byte 1 picks a small limit for a
// guard run on its own, the rest is the byte stream a connection would receive.

#include <algorithm>
#include <cstring>
#include <msgpack.hpp>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/declared_size_guard.h"
#include "platform/message_codec.h"
#include "tests/fuzz/check_support.h"
#include "tests/fuzz/reference_message.h"
#include "tests/fuzz/stream_walk.h"

namespace fuzzcheck {

namespace frame {

// The codec keeps its limits to itself; these must follow it.
constexpr size_t codecMaxDepth = 3;
constexpr size_t codecMaxArray = 64;
constexpr size_t codecMaxMap = 4096;
constexpr size_t codecMaxValue = maxMessageSize - 22;

struct ReferenceValue {
    size_t end = 0;
    std::optional<ReferenceMessage> message;
};

struct ReferenceStream {
    std::vector<ReferenceValue> values;
    bool refused = false; // the value after the last one is not valid MessagePack within the limits
};

inline ReferenceStream referenceStream(const uint8_t *data, size_t size)
{
    const msgpack::unpack_limit limits(codecMaxArray, codecMaxMap, codecMaxValue, codecMaxValue, codecMaxValue,
                                       codecMaxDepth);
    ReferenceStream stream;
    msgpack::zone zone;
    auto inPlace = [](msgpack::type::object_type, size_t, void *) { return true; };
    size_t offset = 0;
    while (offset < size) {
        msgpack::object value;
        try {
            value = msgpack::unpack(zone, reinterpret_cast<const char *>(data), size, offset, inPlace, nullptr, limits);
        } catch (const msgpack::insufficient_bytes &) {
            break;
        } catch (const std::exception &) {
            stream.refused = true;
            break;
        }
        stream.values.push_back({offset, referenceMessage(value)});
    }
    return stream;
}

// Boundaries as msgpack's own parser finds them, without any limits.
struct BoundaryVisitor : msgpack::null_visitor {
    bool parseError = false;
    bool insufficient = false;
    void parse_error(size_t, size_t) { parseError = true; }
    void insufficient_bytes(size_t, size_t) { insufficient = true; }
};

inline void checkWalkMatchesMsgpack(const uint8_t *data, size_t size, const StreamWalk &walk)
{
    size_t offset = 0;
    size_t index = 0;
    while (offset < size) {
        BoundaryVisitor visitor;
        size_t next = offset;
        bool complete = false;
        try {
            complete = msgpack::parse(reinterpret_cast<const char *>(data), size, next, visitor);
        } catch (const std::exception &) {
            return; // a length msgpack refuses outright: no boundary to compare
        }
        if (!complete) {
            require(walk.topLevelEnds.size() == index, "walk found a value end msgpack did not");
            if (visitor.insufficient)
                require(walk.invalidAt == nowhere, "walk found an invalid type byte in a value msgpack says is cut off");
            else
                require(visitor.parseError && walk.invalidAt != nowhere && walk.invalidAt >= offset,
                        "msgpack failed where the walk found no invalid type byte");
            return;
        }
        require(index < walk.topLevelEnds.size() && walk.topLevelEnds[index] == next,
                "walk and msgpack disagree on where a top-level value ends");
        offset = next;
        ++index;
    }
    require(walk.topLevelEnds.size() == index, "walk found more values than msgpack");
}

// Where a guard refuses when given the stream one byte at a time; nowhere if it never does.
inline size_t guardRefusalAt(const uint8_t *data, size_t size, size_t limit)
{
    DeclaredSizeGuard guard(limit);
    for (size_t i = 0; i < size; ++i) {
        if (!guard.feed(data + i, 1)) {
            require(!guard.feed(data, 0) && !guard.feed(data + i, size - i), "guard accepted bytes after refusing");
            return i;
        }
    }
    return nowhere;
}

// The guard may only refuse once the value it is in really declares more than limit, and must
// refuse once the headers seen declare more than limit; how the stream is cut must not matter.
inline size_t checkGuard(const uint8_t *data, size_t size, size_t limit, const StreamWalk &walk, Chooser &chooser)
{
    const size_t refusedAt = guardRefusalAt(data, size, limit);
    if (refusedAt != nowhere && refusedAt < walk.invalidAt)
        requireOr(walk.promisedAt(refusedAt) > limit, [&] {
            return "guard(" + std::to_string(limit) + ") refused at offset " + std::to_string(refusedAt) +
                   " though the value is promised only " + std::to_string(walk.promisedAt(refusedAt)) + " bytes";
        });
    const size_t mustRefuseBy = walk.firstOverAt(limit, size);
    if (mustRefuseBy != nowhere)
        requireOr(refusedAt <= mustRefuseBy, [&] {
            return "guard(" + std::to_string(limit) + ") had not refused by offset " + std::to_string(mustRefuseBy) +
                   " where the headers declare more";
        });

    DeclaredSizeGuard cut(limit);
    size_t at = 0;
    while (at < size) {
        size_t count = std::min(size - at, chooser.below(3) == 0 ? chooser.below(64) : chooser.below(6));
        bool accepted = cut.feed(data + at, count);
        if (!accepted) {
            require(refusedAt >= at && refusedAt < at + count, "guard refused in another read when the stream was cut");
            return refusedAt;
        }
        at += count;
        require(refusedAt == nowhere || refusedAt >= at, "guard missed a refusal when the stream was cut");
    }
    return refusedAt;
}

// One way of cutting the stream into reads, each value compared with the stream's as it comes.
class Run {
public:
    Run(const char *how, const ReferenceStream &reference, std::vector<Message> *keep = nullptr)
        : how_(how), reference_(reference), keep_(keep)
    {
    }

    // reads: the length of each read in turn; with slack, reserve() is asked for more than is written.
    void feed(const uint8_t *data, const std::vector<size_t> &reads, Chooser *slack)
    {
        MessageDecoder decoder;
        size_t at = 0;
        for (size_t count : reads) {
            if (slack != nullptr) {
                char *space = decoder.reserve(count + slack->below(40));
                if (count > 0)
                    memcpy(space, data + at, count);
                decoder.commit(count);
            } else {
                decoder.feed(data + at, count);
            }
            drain(decoder);
            at += count;
            if (bad_)
                return;
        }
        Message message;
        require(decoder.next(message) == MessageDecoder::Status::NeedMore, "decoder changed its answer without input");
    }

    void checkEnd(size_t guardAt) const
    {
        const bool expectBad = reference_.refused || guardAt != nowhere;
        size_t expected = reference_.values.size();
        if (guardAt != nowhere)
            expected = std::min(expected, valuesEndedBy(guardAt));
        auto describeEnd = [&](const char *what) {
            return std::string(how_) + ": " + what + " (decoded " + std::to_string(count_) +
                   (bad_ ? " values, then bad input" : " values") + "; due: " + std::to_string(expected) +
                   (expectBad ? " values, then bad input" : " values") + ")";
        };
        requireOr(bad_ == expectBad, [&] { return describeEnd("bad input where none is due, or none where due"); });
        requireOr(count_ == expected, [&] { return describeEnd("values lost or added before bad input"); });
    }

private:
    void drain(MessageDecoder &decoder)
    {
        for (;;) {
            Message message;
            const MessageDecoder::Status status = decoder.next(message);
            if (status == MessageDecoder::Status::NeedMore)
                return;
            if (status == MessageDecoder::Status::BadInput) {
                bad_ = true;
                require(decoder.next(message) == MessageDecoder::Status::BadInput, "decoder recovered after bad input");
                return;
            }
            requireOr(count_ < reference_.values.size(),
                      [&] { return describe("decoded a value the stream does not hold", count_); });
            const std::optional<ReferenceMessage> &expected = reference_.values[count_].message;
            if (!expected) {
                requireOr(status == MessageDecoder::Status::Ignored,
                          [&] { return describe("a value that is no message was not ignored", count_); });
            } else {
                requireOr(status == MessageDecoder::Status::Message,
                          [&] { return describe("a message was not decoded", count_); });
                requireOr(message.kind == expected->kind && message.msgid == expected->msgid,
                          [&] { return describe("message kind or msgid differs", count_); });
                requireOr(message.dictionary.entries() == expected->entries,
                          [&] { return describe("message dictionary differs", count_); });
                if (keep_ != nullptr)
                    keep_->push_back(std::move(message));
            }
            ++count_;
        }
    }

    size_t valuesEndedBy(size_t offset) const
    {
        size_t count = 0;
        while (count < reference_.values.size() && reference_.values[count].end <= offset)
            ++count;
        return count;
    }

    std::string describe(const char *what, size_t value) const
    {
        return std::string(how_) + ": " + what + " (at value " + std::to_string(value) + "; decoded " +
               std::to_string(count_) + (bad_ ? ", then bad input" : "") + "; the stream holds " +
               std::to_string(reference_.values.size()) + (reference_.refused ? ", then bad input" : "") + ")";
    }

    const char *how_;
    const ReferenceStream &reference_;
    std::vector<Message> *keep_;
    size_t count_ = 0;
    bool bad_ = false;
};

inline Entries carriedEntries(const Entries &entries)
{
    Entries carried;
    for (const auto &entry : entries) {
        if (!std::holds_alternative<std::monostate>(entry.second))
            carried.push_back(entry);
    }
    return carried;
}

inline void checkReadsAlike(const Message &original, const Message &again)
{
    std::set<std::string_view> seen;
    for (const auto &[key, value] : original.dictionary.entries()) {
        if (!seen.insert(key).second)
            continue;
        if (std::holds_alternative<std::monostate>(value))
            continue; // dropping it may uncover a later entry of the same key
        require(again.dictionary.getString(key) == original.dictionary.getString(key) &&
                    again.dictionary.getBool(key) == original.dictionary.getBool(key),
                "re-encoded dictionary reads differently");
        const MessageBytes *before = original.dictionary.getData(key);
        const MessageBytes *after = again.dictionary.getData(key);
        require((before == nullptr) == (after == nullptr) && (before == nullptr || *before == *after),
                "re-encoded dictionary reads data differently");
    }
}

// Every decoded message encoded again, and each "data" value sent the way output is relayed, all
// in one stream: encoding leaves out entries of types it cannot carry, everything else must
// come back.
inline void checkReencoding(std::vector<Message> &decoded)
{
    std::vector<Message> sent;
    std::string wire;
    for (Message &original : decoded) {
        wire += encodeMessage(original);
        Message relayed;
        if (const MessageBytes *data = original.dictionary.getData("data")) {
            wire += encodeDataMessageHeader(data->size());
            wire.append(reinterpret_cast<const char *>(data->data()), data->size());
            relayed.dictionary.setData("data", *data);
        }
        sent.push_back(std::move(original));
        if (!relayed.dictionary.entries().empty())
            sent.push_back(std::move(relayed));
    }
    if (sent.empty())
        return;

    MessageDecoder decoder;
    decoder.feed(wire.data(), wire.size());
    for (const Message &original : sent) {
        Message again;
        require(decoder.next(again) == MessageDecoder::Status::Message, "an encoded message does not decode");
        require(again.kind == original.kind && again.msgid == original.msgid, "re-encoded message changed kind or msgid");
        require(again.dictionary.entries() == carriedEntries(original.dictionary.entries()),
                "re-encoded dictionary differs");
        checkReadsAlike(original, again);
    }
    Message after;
    require(decoder.next(after) == MessageDecoder::Status::NeedMore, "encoding left more values than messages");
}

inline std::vector<size_t> readsOf(size_t size, size_t length)
{
    std::vector<size_t> reads;
    for (size_t at = 0; at < size; at += length)
        reads.push_back(std::min(length, size - at));
    return reads;
}

inline std::vector<size_t> randomReads(size_t size, Chooser &chooser)
{
    std::vector<size_t> reads;
    size_t left = size;
    while (left > 0) {
        size_t count = chooser.below(4) == 0 ? chooser.below(left + 1) : chooser.below(8);
        count = std::min(count, left);
        reads.push_back(count);
        left -= count;
    }
    return reads;
}

} // namespace frame

inline std::optional<std::string> checkFrameDecoder(const uint8_t *input, size_t inputSize)
{
    return runCheck([&] {
        using namespace frame;
        if (inputSize < 2)
            return;
        const uint8_t steer = input[0];
        const size_t smallLimit = static_cast<size_t>(input[1]) * 4;
        const uint8_t *data = input + 2;
        const size_t size = inputSize - 2;
        Chooser chooser(steer | static_cast<uint32_t>(size) << 8);

        const StreamWalk walk = walkStream(data, size);
        checkWalkMatchesMsgpack(data, size, walk);
        checkGuard(data, size, smallLimit, walk, chooser);
        const size_t guardAt = checkGuard(data, size, maxMessageSize, walk, chooser);

        const ReferenceStream reference = referenceStream(data, size);
        std::vector<Message> decoded;
        Run bytewise("byte by byte", reference, &decoded);
        bytewise.feed(data, readsOf(size, 1), nullptr);
        bytewise.checkEnd(guardAt);
        Run whole("all at once", reference);
        whole.feed(data, {size}, &chooser);
        whole.checkEnd(guardAt);
        const size_t cut = size == 0 ? 0 : steer % (size + 1);
        Run two("in two reads", reference);
        two.feed(data, {cut, size - cut}, &chooser);
        two.checkEnd(guardAt);
        Run random("in random reads", reference);
        random.feed(data, randomReads(size, chooser), nullptr);
        random.checkEnd(guardAt);
        checkReencoding(decoded);
    });
}

} // namespace fuzzcheck
