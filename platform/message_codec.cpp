#include "platform/message_codec.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>
#include <new>
#include <optional>
#include <string_view>
#include <msgpack.hpp>

#include "platform/declared_size_guard.h"

namespace local_debugger {

namespace {

// The smallest framing around one value: a single bin or str can never need more than this.
constexpr size_t minimumFraming = 22;
constexpr size_t maxValueLength = maxMessageSize - minimumFraming;

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

namespace {

// What every data message the service sends starts with: [2, "message", [{"data": bin...
constexpr uint8_t dataMessagePrefix[] = {0x93, 0x02, 0xa7, 'm',  'e', 's', 's', 'a', 'g',
                                         'e',  0x91, 0x81, 0xa4, 'd', 'a', 't', 'a'};

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

// Nesting a connection accepts; the outermost value is the first level.
constexpr uint32_t maxDepth = 32;

// The keys that readers of a decoded dictionary look up, on the service's side and the hosts'.
// Every other key is skipped while parsing, and so is a repeat (the first counts), so however
// wide a map arrives, its dictionary holds at most one value for each of these.
constexpr std::array<std::string_view, 4> knownKeys = {"command", "data", "arch", "result"};
constexpr size_t noKey = knownKeys.size();

// Builds the message while the parser walks one value, keeping only what a message reads: the
// kind, the msgid and the known keys' values. Everything else is passed over as it streams by.
class MessageVisitor : public msgpack::v2::null_visitor {
public:
    void init() { *this = MessageVisitor(); }
    bool failed() const { return failed_; }
    bool take(Message &out)
    {
        if (rejected_ || !kindSeen_)
            return false;
        out = std::move(message_);
        return true;
    }

    bool visit_nil() { return other(); }
    bool visit_boolean(bool value)
    {
        return role_ == Role::Value ? keep([value] { return value; }) : other();
    }
    bool visit_positive_integer(uint64_t value)
    {
        if (role_ == Role::Kind) {
            if (value > 2 || topSize_ != (value == 2 ? 3u : 4u))
                return reject();
            constexpr MessageKind kinds[] = {MessageKind::Request, MessageKind::Reply, MessageKind::Plain};
            message_.kind = kinds[value];
            kindSeen_ = true;
            return true;
        }
        if (role_ == Role::Msgid) {
            if (value > std::numeric_limits<uint32_t>::max())
                return reject();
            message_.msgid = static_cast<uint32_t>(value);
            return true;
        }
        return other();
    }
    // The signed encodings may carry non-negative numbers too.
    bool visit_negative_integer(int64_t value)
    {
        return value >= 0 ? visit_positive_integer(static_cast<uint64_t>(value)) : other();
    }
    bool visit_float32(float) { return other(); }
    bool visit_float64(double) { return other(); }
    bool visit_ext(const char *, uint32_t) { return other(); }
    bool visit_str(const char *bytes, uint32_t size)
    {
        std::string_view text(bytes, size);
        if (role_ == Role::Key) {
            key_ = static_cast<size_t>(std::find(knownKeys.begin(), knownKeys.end(), text) - knownKeys.begin());
            return true;
        }
        return role_ == Role::Value ? keep([text] { return std::string(text); }) : other();
    }
    bool visit_bin(const char *bytes, uint32_t size)
    {
        if (role_ != Role::Value)
            return other();
        const auto *begin = reinterpret_cast<const uint8_t *>(bytes);
        return keep([begin, size] { return size == 0 ? MessageBytes() : MessageBytes(begin, begin + size); });
    }

    bool start_array(uint32_t size)
    {
        if (!enter())
            return false;
        if (role_ == Role::Top) {
            topSize_ = size;
            return open(Frame::Top);
        }
        if (role_ == Role::Params && size == 1)
            return open(Frame::Params);
        other();
        return open(Frame::Skipped);
    }
    bool start_array_item()
    {
        const Frame frame = frames_[depth_ - 1];
        if (rejected_ || frame == Frame::Skipped)
            role_ = Role::Skipped;
        else if (frame == Frame::Top)
            role_ = topRole(topIndex_++);
        else
            role_ = Role::Dictionary;
        return true;
    }
    bool end_array() { return leave(); }

    bool start_map(uint32_t)
    {
        if (!enter())
            return false;
        if (role_ == Role::Dictionary)
            return open(Frame::Dictionary);
        other();
        return open(Frame::Skipped);
    }
    bool start_map_key()
    {
        role_ = frames_[depth_ - 1] == Frame::Dictionary ? Role::Key : Role::Skipped;
        key_ = noKey;
        return true;
    }
    bool start_map_value()
    {
        role_ = Role::Skipped;
        if (!rejected_ && key_ != noKey && !seen_[key_]) {
            seen_[key_] = true;
            role_ = Role::Value;
        }
        return true;
    }
    bool end_map() { return leave(); }

    void parse_error(size_t, size_t) { failed_ = true; }

private:
    // What the value about to be visited, or the container now open, is to the message.
    enum class Role : uint8_t { Skipped, Top, Kind, Msgid, Params, Dictionary, Key, Value };
    enum class Frame : uint8_t { Skipped, Top, Params, Dictionary };

    Role topRole(uint32_t index) const
    {
        if (index == 0)
            return Role::Kind;
        switch (message_.kind) {
        case MessageKind::Request:
            return index == 1 ? Role::Msgid : index == 3 ? Role::Params : Role::Skipped;
        case MessageKind::Reply:
            return index == 1 ? Role::Msgid : index == 3 ? Role::Dictionary : Role::Skipped;
        case MessageKind::Plain:
            return index == 2 ? Role::Params : Role::Skipped;
        }
        return Role::Skipped;
    }
    bool reject()
    {
        rejected_ = true;
        return true;
    }
    // A value of a type the message does not carry: wrong where the shape wants something,
    // missing as a dictionary value, nothing at all where nobody looks.
    bool other()
    {
        if (role_ != Role::Skipped && role_ != Role::Key && role_ != Role::Value)
            rejected_ = true;
        return true;
    }
    // A value that cannot be copied for lack of memory is left out and the message marked;
    // the bytes are parsed on, so the stream stays whole.
    template <typename Make> bool keep(Make make)
    {
        try {
            message_.dictionary.add(std::string(knownKeys[key_]), MessageValue(make()));
        } catch (const std::bad_alloc &) {
            message_.incomplete = true;
        }
        return true;
    }
    // Returning false stops the parser: past the limit the input is refused, not skipped.
    bool enter()
    {
        if (depth_ == maxDepth) {
            failed_ = true;
            return false;
        }
        ++depth_;
        return true;
    }
    bool open(Frame frame)
    {
        frames_[depth_ - 1] = frame;
        return true;
    }
    bool leave()
    {
        --depth_;
        return true;
    }

    Message message_;
    Role role_ = Role::Top;
    std::array<Frame, maxDepth> frames_{};
    uint32_t depth_ = 0;
    uint32_t topSize_ = 0;
    uint32_t topIndex_ = 0;
    size_t key_ = noKey;
    std::array<bool, knownKeys.size()> seen_{};
    bool kindSeen_ = false;
    bool rejected_ = false; // well formed so far, but not a message
    bool failed_ = false;
};

// The visitor copies what it keeps, so the parser's buffer is never referenced and the hook that
// would keep such a buffer alive is never called.
struct UnreferencedBuffer {
    void operator()(char *) const {}
};
UnreferencedBuffer unreferencedBuffer;

// The library's stream parser over its own buffer, resuming where the last input ended.
class MessageParser : public msgpack::v2::parser<MessageParser, UnreferencedBuffer> {
public:
    MessageParser() : parser(unreferencedBuffer) {}
    MessageVisitor &visitor() { return visitor_; }
    bool referenced() const { return false; }
    void set_referenced(bool) {}

private:
    MessageVisitor visitor_;
};

} // namespace

struct MessageDecoder::State {
    MessageParser parser;
    DeclaredSizeGuard guard{maxMessageSize};
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
        memcpy(payload().data() + filled, parser.nonparsed_buffer(), taken);
        parser.skip_nonparsed_buffer(taken);
        filled += taken;
    }

    // At a value boundary, a data message is taken apart without the general parser: its
    // payload goes straight into the message, and the rest of it straight from the reads.
    bool startDataMessage()
    {
        size_t headerLength = 0;
        size_t payloadSize = 0;
        if (!dataMessageHeader(reinterpret_cast<const uint8_t *>(parser.nonparsed_buffer()), parser.nonparsed_size(),
                               headerLength, payloadSize))
            return false;
        Message message;
        message.kind = MessageKind::Plain;
        MessageBytes bytes;
        bytes.reserve(std::min(payloadSize, size_t{1} << 20));
        message.dictionary.add("data", std::move(bytes));
        filling = std::move(message);
        declared = payloadSize;
        filled = 0;
        parser.skip_nonparsed_buffer(headerLength);
        fillFromUnparsed(parser.nonparsed_size());
        return true;
    }
};

MessageDecoder::MessageDecoder() : state_(std::make_unique<State>()) {}

MessageDecoder::~MessageDecoder() = default;

char *MessageDecoder::reserve(size_t size)
{
    state_->lastSpaceWasPayload = false;
    state_->parser.reserve_buffer(size);
    return state_->parser.buffer();
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
    state.guard.feed(reinterpret_cast<const uint8_t *>(state.parser.buffer()), size);
    size_t accepted = state.guard.lastAccepted();
    state.parser.buffer_consumed(accepted);
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
        if (state.parser.nonparsed_size() == 0) {
            if (state.guard.refused()) {
                state.broken = true;
                return Status::BadInput;
            }
            return Status::NeedMore;
        }
        if (state.startDataMessage())
            return next(out);
    }
    MessageParser &parser = state.parser;
    bool complete = false;
    try {
        complete = parser.next();
    } catch (const std::exception &) {
        state.broken = true;
        return Status::BadInput;
    }
    state.atBoundary = complete;
    // Only what the guard let through was buffered; message_size() is what came of this value.
    if (parser.visitor().failed() || (!complete && (state.guard.refused() || parser.message_size() > maxMessageSize)) ||
        (complete && parser.parsed_size() > maxMessageSize)) {
        state.broken = true;
        return Status::BadInput;
    }
    if (!complete)
        return Status::NeedMore;
    const bool isMessage = parser.visitor().take(out);
    // Readies the parser and its visitor for the next value.
    parser.reset();
    return isMessage ? Status::Message : Status::Ignored;
}

} // namespace local_debugger
