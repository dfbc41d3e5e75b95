#pragma once
// An independent reading of MessagePack value boundaries and declared sizes, for checking the
// declared-size guard: what a prefix of a stream already promises about the top-level value it
// is in, and where each top-level value ends.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace fuzzcheck {

constexpr size_t nowhere = std::numeric_limits<size_t>::max();

struct ValueForm {
    enum Kind : uint8_t { Invalid, Scalar, Bytes, Array, Map };
    Kind kind = Invalid;
    uint8_t lengthBytes = 0; // after the type byte, holding a length or a count
    uint8_t fixedBytes = 0;  // after those, always present: number bytes, an ext's type byte
    uint32_t immediate = 0;  // length or count carried by the type byte itself
};

inline ValueForm formOf(uint8_t type)
{
    if (type <= 0x7F || type >= 0xE0)
        return {ValueForm::Scalar, 0, 0, 0};
    if (type <= 0x8F)
        return {ValueForm::Map, 0, 0, type & 0x0Fu};
    if (type <= 0x9F)
        return {ValueForm::Array, 0, 0, type & 0x0Fu};
    if (type <= 0xBF)
        return {ValueForm::Bytes, 0, 0, type & 0x1Fu};
    // 0xC0 to 0xDF, in order.
    static const ValueForm table[32] = {
        {ValueForm::Scalar, 0, 0, 0},  // nil
        {ValueForm::Invalid, 0, 0, 0}, // never used
        {ValueForm::Scalar, 0, 0, 0},  // false
        {ValueForm::Scalar, 0, 0, 0},  // true
        {ValueForm::Bytes, 1, 0, 0},   // bin 8
        {ValueForm::Bytes, 2, 0, 0},   // bin 16
        {ValueForm::Bytes, 4, 0, 0},   // bin 32
        {ValueForm::Bytes, 1, 1, 0},   // ext 8
        {ValueForm::Bytes, 2, 1, 0},   // ext 16
        {ValueForm::Bytes, 4, 1, 0},   // ext 32
        {ValueForm::Scalar, 0, 4, 0},  // float 32
        {ValueForm::Scalar, 0, 8, 0},  // float 64
        {ValueForm::Scalar, 0, 1, 0},  // uint 8
        {ValueForm::Scalar, 0, 2, 0},  // uint 16
        {ValueForm::Scalar, 0, 4, 0},  // uint 32
        {ValueForm::Scalar, 0, 8, 0},  // uint 64
        {ValueForm::Scalar, 0, 1, 0},  // int 8
        {ValueForm::Scalar, 0, 2, 0},  // int 16
        {ValueForm::Scalar, 0, 4, 0},  // int 32
        {ValueForm::Scalar, 0, 8, 0},  // int 64
        {ValueForm::Scalar, 0, 2, 0},  // fixext 1
        {ValueForm::Scalar, 0, 3, 0},  // fixext 2
        {ValueForm::Scalar, 0, 5, 0},  // fixext 4
        {ValueForm::Scalar, 0, 9, 0},  // fixext 8
        {ValueForm::Scalar, 0, 17, 0}, // fixext 16
        {ValueForm::Bytes, 1, 0, 0},   // str 8
        {ValueForm::Bytes, 2, 0, 0},   // str 16
        {ValueForm::Bytes, 4, 0, 0},   // str 32
        {ValueForm::Array, 2, 0, 0},   // array 16
        {ValueForm::Array, 4, 0, 0},   // array 32
        {ValueForm::Map, 2, 0, 0},     // map 16
        {ValueForm::Map, 4, 0, 0},     // map 32
    };
    return table[type - 0xC0];
}

struct WalkedValue {
    size_t start = 0;        // offset of its type byte
    size_t sizeKnownAt = 0;  // offset of the last byte that fixes its own size; nowhere if cut off
    size_t headerEnd = 0;    // just past everything but a str, bin or ext payload
    uint64_t minimum = 0;    // its own size as the type byte alone tells it
    uint64_t ownSize = 0;    // its own bytes, children not included
    uint64_t children = 0;   // values it holds; a map's keys and values both count
    uint64_t sumBefore = 0;  // own sizes of the earlier values of the same top-level value
    uint64_t openBefore = 0; // unstarted children of the open containers, its own slot taken
};

struct StreamWalk {
    std::vector<WalkedValue> values;
    std::vector<size_t> topLevelEnds; // one per complete top-level value
    size_t invalidAt = nowhere;       // a type byte no value starts with; the walk stops there

    // What the bytes up to and including offset at promise, at least, about the size of the
    // top-level value that offset falls in.
    uint64_t promisedAt(size_t at) const
    {
        const WalkedValue *last = nullptr;
        for (const WalkedValue &value : values) {
            if (value.start > at)
                break;
            last = &value;
        }
        if (last == nullptr)
            return 0;
        bool known = last->sizeKnownAt != nowhere && last->sizeKnownAt <= at;
        return last->sumBefore + last->openBefore + (known ? last->ownSize + last->children : last->minimum);
    }

    // The first offset by which the headers alone declare more than limit for one top-level
    // value, counting one byte for each child the latest header announces; nowhere if none does
    // within the bytes given.
    size_t firstOverAt(uint64_t limit, size_t size) const
    {
        for (const WalkedValue &value : values) {
            if (value.sizeKnownAt == nowhere || value.headerEnd > size)
                return nowhere;
            if (value.sumBefore + value.ownSize + value.children > limit)
                return value.headerEnd - 1;
        }
        return nowhere;
    }
};

inline uint64_t readBigEndian(const uint8_t *bytes, size_t count)
{
    uint64_t value = 0;
    for (size_t i = 0; i < count; ++i)
        value = value << 8 | bytes[i];
    return value;
}

inline StreamWalk walkStream(const uint8_t *data, size_t size)
{
    StreamWalk walk;
    std::vector<uint64_t> open; // unstarted children of each open container
    uint64_t openTotal = 0;
    uint64_t sum = 0;
    size_t at = 0;
    while (at < size) {
        const ValueForm form = formOf(data[at]);
        if (form.kind == ValueForm::Invalid) {
            walk.invalidAt = at;
            break;
        }
        if (open.empty()) {
            sum = 0;
        } else {
            --open.back();
            --openTotal;
        }
        WalkedValue value;
        value.start = at;
        value.sumBefore = sum;
        value.openBefore = openTotal;
        value.minimum = 1u + form.lengthBytes + form.fixedBytes;
        value.headerEnd = at + value.minimum;
        const size_t lengthEnd = at + 1 + form.lengthBytes;
        if (lengthEnd > size) {
            value.sizeKnownAt = nowhere;
            walk.values.push_back(value);
            break;
        }
        const uint64_t length = form.lengthBytes == 0 ? form.immediate : readBigEndian(data + at + 1, form.lengthBytes);
        value.sizeKnownAt = lengthEnd - 1;
        value.ownSize = value.minimum + (form.kind == ValueForm::Bytes ? length : 0);
        value.children = form.kind == ValueForm::Array ? length : form.kind == ValueForm::Map ? 2 * length : 0;
        walk.values.push_back(value);
        sum += value.ownSize;
        if (value.children > 0) {
            open.push_back(value.children);
            openTotal += value.children;
            at += value.minimum;
            continue;
        }
        if (value.ownSize > size - at)
            break;
        at += value.ownSize;
        while (!open.empty() && open.back() == 0)
            open.pop_back();
        if (open.empty())
            walk.topLevelEnds.push_back(at);
    }
    return walk;
}

} // namespace fuzzcheck
