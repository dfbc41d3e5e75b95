// The wire format: shapes, dictionary rules, framing across reads, and the limits that end
// a connection before anything large is allocated.

#include <gtest/gtest.h>
#include <msgpack.hpp>

#include "platform/message_codec.h"

namespace {

std::string pack(const std::function<void(msgpack::packer<msgpack::sbuffer> &)> &build)
{
    msgpack::sbuffer buffer;
    msgpack::packer<msgpack::sbuffer> packer(buffer);
    build(packer);
    return std::string(buffer.data(), buffer.size());
}

void packString(msgpack::packer<msgpack::sbuffer> &packer, const std::string &text)
{
    packer.pack_str(static_cast<uint32_t>(text.size()));
    packer.pack_str_body(text.data(), static_cast<uint32_t>(text.size()));
}

std::vector<MessageDecoder::Status> decodeAll(MessageDecoder &decoder, std::vector<Message> &messages)
{
    std::vector<MessageDecoder::Status> statuses;
    for (;;) {
        Message message;
        auto status = decoder.next(message);
        statuses.push_back(status);
        if (status == MessageDecoder::Status::Message)
            messages.push_back(std::move(message));
        if (status == MessageDecoder::Status::NeedMore || status == MessageDecoder::Status::BadInput)
            return statuses;
    }
}

MessageDecoder::Status decodeOne(const std::string &bytes, Message *out = nullptr)
{
    MessageDecoder decoder;
    decoder.feed(bytes.data(), bytes.size());
    Message message;
    auto status = decoder.next(message);
    if (out != nullptr)
        *out = std::move(message);
    return status;
}

Message commandMessage(MessageKind kind, const std::string &command)
{
    Message message;
    message.kind = kind;
    message.msgid = kind == MessageKind::Plain ? 0 : 4000000000u;
    message.dictionary.setString("command", command);
    message.dictionary.setData("data", {0x00, 0xFF, 0x0A});
    message.dictionary.setBool("result", true);
    return message;
}

} // namespace

TEST(MessageShapes, EachShapeSurvivesEncodingAndDecoding)
{
    for (MessageKind kind : {MessageKind::Request, MessageKind::Reply, MessageKind::Plain}) {
        Message decoded;
        ASSERT_EQ(decodeOne(encodeMessage(commandMessage(kind, "send")), &decoded), MessageDecoder::Status::Message);
        EXPECT_EQ(decoded.kind, kind);
        EXPECT_EQ(decoded.msgid, kind == MessageKind::Plain ? 0u : 4000000000u);
        EXPECT_EQ(decoded.dictionary.getString("command"), "send");
        ASSERT_NE(decoded.dictionary.getData("data"), nullptr);
        EXPECT_EQ(*decoded.dictionary.getData("data"), (MessageBytes{0x00, 0xFF, 0x0A}));
        EXPECT_EQ(decoded.dictionary.getBool("result"), true);
    }
}

TEST(MessageShapes, DataMessageHeaderFollowedByBytesDecodesAsDataAlone)
{
    std::string payload("\x00\x01\xFE\xFF partial line", 17);
    std::string wire = encodeDataMessageHeader(payload.size()) + payload;
    Message decoded;
    ASSERT_EQ(decodeOne(wire, &decoded), MessageDecoder::Status::Message);
    EXPECT_EQ(decoded.kind, MessageKind::Plain);
    ASSERT_EQ(decoded.dictionary.entries().size(), 1u);
    const MessageBytes *data = decoded.dictionary.getData("data");
    ASSERT_NE(data, nullptr);
    EXPECT_EQ(std::string(data->begin(), data->end()), payload);
}

TEST(MessageShapes, ValuesOfOtherShapesAreIgnoredNotFatal)
{
    std::vector<std::string> notMessages = {
        pack([](auto &p) { p.pack(42); }),
        pack([](auto &p) { packString(p, "command"); }),
        // msgid beyond 32 bits, negative msgid
        pack([](auto &p) { p.pack_array(4); p.pack(0); p.pack(uint64_t(1) << 32); packString(p, "m"); p.pack_array(1); p.pack_map(0); }),
        pack([](auto &p) { p.pack_array(4); p.pack(0); p.pack(-1); packString(p, "m"); p.pack_array(1); p.pack_map(0); }),
        // params with two maps, with no map, not an array
        pack([](auto &p) { p.pack_array(3); p.pack(2); packString(p, "m"); p.pack_array(2); p.pack_map(0); p.pack_map(0); }),
        pack([](auto &p) { p.pack_array(3); p.pack(2); packString(p, "m"); p.pack_array(1); p.pack(1); }),
        pack([](auto &p) { p.pack_array(3); p.pack(2); packString(p, "m"); p.pack_map(0); }),
        // unknown type tag, wrong lengths
        pack([](auto &p) { p.pack_array(3); p.pack(3); packString(p, "m"); p.pack_array(1); p.pack_map(0); }),
        pack([](auto &p) { p.pack_array(4); p.pack(2); packString(p, "m"); p.pack_array(1); p.pack_map(0); p.pack(0); }),
    };
    for (const auto &bytes : notMessages)
        EXPECT_EQ(decodeOne(bytes), MessageDecoder::Status::Ignored);

    // And the connection goes on: a message after an ignored value still decodes.
    MessageDecoder decoder;
    for (const auto &bytes : notMessages)
        decoder.feed(bytes.data(), bytes.size());
    std::string good = encodeMessage(commandMessage(MessageKind::Plain, "break"));
    decoder.feed(good.data(), good.size());
    std::vector<Message> messages;
    decodeAll(decoder, messages);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].dictionary.getString("command"), "break");
}

TEST(MessageShapes, EveryKindOfValueBeforeAMessageKeepsTheStreamInStep)
{
    // Scalars and containers of every encoding width, each ignored, then one real message:
    // the size check that follows headers must find the same value boundaries as the decoder.
    std::string stream = pack([](auto &p) {
        p.pack_nil(); p.pack(true); p.pack(-1); p.pack(-100); p.pack(-40000); p.pack(-3000000000LL);
        p.pack(200u); p.pack(60000u); p.pack(4000000000u); p.pack(uint64_t(1) << 40);
        p.pack(1.5f); p.pack(2.5);
        for (uint32_t size : {1u, 2u, 4u, 8u, 16u, 3u, 300u, 70000u}) {
            std::string body(size, 'e');
            p.pack_ext(size, 7);
            p.pack_ext_body(body.data(), size);
        }
        for (uint32_t size : {5u, 40u, 300u, 70000u}) {
            std::string body(size, 's');
            packString(p, body);
            p.pack_bin(size);
            p.pack_bin_body(body.data(), size);
        }
        p.pack_array(20);
        for (int i = 0; i < 20; ++i)
            p.pack(i);
        p.pack_map(17);
        for (int i = 0; i < 17; ++i) {
            p.pack(i);
            p.pack_array(0);
        }
    });
    stream += encodeMessage(commandMessage(MessageKind::Plain, "break"));
    MessageDecoder decoder;
    std::vector<Message> messages;
    for (size_t offset = 0; offset < stream.size(); offset += 7) {
        decoder.feed(stream.data() + offset, std::min<size_t>(7, stream.size() - offset));
        ASSERT_NE(decodeAll(decoder, messages).back(), MessageDecoder::Status::BadInput) << offset;
    }
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].dictionary.getString("command"), "break");
}

TEST(MessageDictionaryRules, FirstKeyCountsWrongTypesAndNonStringKeysReadAsMissing)
{
    std::string bytes = pack([](auto &p) {
        p.pack_array(3);
        p.pack(2);
        packString(p, "message");
        p.pack_array(1);
        p.pack_map(6);
        packString(p, "command"); p.pack(7);          // wrong type, and it is the first
        packString(p, "command"); packString(p, "log");
        p.pack(5); packString(p, "five");             // non-string key
        packString(p, "data"); packString(p, "text"); // a string where bytes belong
        packString(p, "arch"); packString(p, "aarch64");
        packString(p, "arch"); packString(p, "x86_64");
    });
    Message decoded;
    ASSERT_EQ(decodeOne(bytes, &decoded), MessageDecoder::Status::Message);
    EXPECT_FALSE(decoded.dictionary.getString("command").has_value());
    EXPECT_EQ(decoded.dictionary.getData("data"), nullptr);
    EXPECT_EQ(decoded.dictionary.getString("data"), "text");
    EXPECT_EQ(decoded.dictionary.getString("arch"), "aarch64");
    EXPECT_FALSE(decoded.dictionary.getBool("arch").has_value());
}

TEST(Framing, MessagesSplitByteByByteOrManyInOneReadAllArriveInOrder)
{
    std::string stream;
    for (int i = 0; i < 50; ++i)
        stream += encodeMessage(commandMessage(i % 2 ? MessageKind::Request : MessageKind::Plain, "cmd" + std::to_string(i)));

    MessageDecoder bytewise;
    std::vector<Message> one;
    for (char byte : stream) {
        bytewise.feed(&byte, 1);
        auto statuses = decodeAll(bytewise, one);
        ASSERT_NE(statuses.back(), MessageDecoder::Status::BadInput);
    }
    MessageDecoder whole;
    std::vector<Message> all;
    whole.feed(stream.data(), stream.size());
    decodeAll(whole, all);

    ASSERT_EQ(one.size(), 50u);
    ASSERT_EQ(all.size(), 50u);
    for (int i = 0; i < 50; ++i) {
        EXPECT_EQ(one[i].dictionary.getString("command"), "cmd" + std::to_string(i));
        EXPECT_EQ(all[i].dictionary.getString("command"), "cmd" + std::to_string(i));
    }
}

TEST(Framing, TruncatedFrameWaitsForTheRest)
{
    std::string bytes = encodeMessage(commandMessage(MessageKind::Request, "stop"));
    EXPECT_EQ(decodeOne(bytes.substr(0, bytes.size() - 1)), MessageDecoder::Status::NeedMore);
}

TEST(InputLimits, UndecodableBytesEndTheConnection)
{
    EXPECT_EQ(decodeOne(std::string("\xC1", 1)), MessageDecoder::Status::BadInput);
    // Once broken, always broken: later good bytes do not resurrect the stream.
    MessageDecoder decoder;
    decoder.feed("\xC1", 1);
    Message message;
    EXPECT_EQ(decoder.next(message), MessageDecoder::Status::BadInput);
    std::string good = encodeMessage(commandMessage(MessageKind::Plain, "log"));
    decoder.feed(good.data(), good.size());
    EXPECT_EQ(decoder.next(message), MessageDecoder::Status::BadInput);
}

TEST(InputLimits, HeadersPromisingMoreThanAMessageMayHoldAreRefusedAtOnce)
{
    // bin32 / str32 of 4 GiB - 1, with none of the bytes sent.
    std::string hugeBin = pack([](auto &p) { p.pack_array(3); p.pack(2); packString(p, "m"); p.pack_array(1); p.pack_map(1); packString(p, "data"); });
    hugeBin += std::string("\xC6\xFF\xFF\xFF\xFF", 5);
    EXPECT_EQ(decodeOne(hugeBin), MessageDecoder::Status::BadInput);
    EXPECT_EQ(decodeOne(std::string("\xDB\x7F\xFF\xFF\xFF", 5)), MessageDecoder::Status::BadInput);
    EXPECT_EQ(decodeOne(std::string("\xC9\x7F\xFF\xFF\xFF\x01", 6)), MessageDecoder::Status::BadInput);

    // A value of exactly the limit cannot fit in a message with its framing; one just under it
    // inside a minimal message is accepted as far as it has come.
    EXPECT_EQ(decodeOne(pack([](auto &p) { p.pack_bin(static_cast<uint32_t>(maxMessageSize)); })),
              MessageDecoder::Status::BadInput);
    std::string fits = pack([](auto &p) {
        p.pack_array(3); p.pack(2); packString(p, "message"); p.pack_array(1); p.pack_map(1); packString(p, "data");
        p.pack_bin(static_cast<uint32_t>(maxMessageSize - 22));
    });
    EXPECT_EQ(decodeOne(fits), MessageDecoder::Status::NeedMore);
}

TEST(InputLimits, MessagesBeforeAnOversizedValueInTheSameReadAreStillDelivered)
{
    std::string bytes = encodeMessage(commandMessage(MessageKind::Request, "stop"));
    bytes += std::string("\xC6\xFF\xFF\xFF\xFF", 5) + "more bytes that are never buffered";
    MessageDecoder decoder;
    decoder.feed(bytes.data(), bytes.size());
    std::vector<Message> messages;
    auto statuses = decodeAll(decoder, messages);
    EXPECT_EQ(statuses.back(), MessageDecoder::Status::BadInput);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].dictionary.getString("command"), "stop");
}

TEST(InputLimits, ContainersDeclaringBillionsOfEntriesAreRefusedAtOnce)
{
    EXPECT_EQ(decodeOne(std::string("\xDD\xFF\xFF\xFF\xFF", 5)), MessageDecoder::Status::BadInput);
    EXPECT_EQ(decodeOne(std::string("\xDF\xFF\xFF\xFF\xFF", 5)), MessageDecoder::Status::BadInput);
}

TEST(InputLimits, NestingDeeperThanAMessageNeedsEndsTheConnection)
{
    std::string deep;
    for (int i = 0; i < 100000; ++i)
        deep += '\x91'; // fixarray of one element, nested
    deep += '\x00';
    EXPECT_EQ(decodeOne(deep), MessageDecoder::Status::BadInput);

    // A map inside the message dictionary is one level too deep.
    std::string nested = pack([](auto &p) {
        p.pack_array(3); p.pack(2); packString(p, "m"); p.pack_array(1);
        p.pack_map(1); packString(p, "command"); p.pack_map(0);
    });
    EXPECT_EQ(decodeOne(nested), MessageDecoder::Status::BadInput);
}

TEST(InputLimits, ManyValuesAddingUpPastTheLimitEndTheConnection)
{
    // Two 40 MiB values in one dictionary: each is allowed alone, the message is not.
    std::string chunk(40u << 20, 'x');
    std::string bytes = pack([&](auto &p) {
        p.pack_array(3); p.pack(2); packString(p, "m"); p.pack_array(1); p.pack_map(2);
        packString(p, "a"); p.pack_bin(static_cast<uint32_t>(chunk.size())); p.pack_bin_body(chunk.data(), static_cast<uint32_t>(chunk.size()));
        packString(p, "b"); p.pack_bin(static_cast<uint32_t>(chunk.size())); p.pack_bin_body(chunk.data(), static_cast<uint32_t>(chunk.size()));
    });
    MessageDecoder decoder;
    std::vector<Message> messages;
    MessageDecoder::Status last = MessageDecoder::Status::NeedMore;
    for (size_t offset = 0; offset < bytes.size() && last != MessageDecoder::Status::BadInput; offset += 1 << 20) {
        decoder.feed(bytes.data() + offset, std::min<size_t>(1 << 20, bytes.size() - offset));
        last = decodeAll(decoder, messages).back();
    }
    EXPECT_EQ(last, MessageDecoder::Status::BadInput);
    EXPECT_TRUE(messages.empty());
}
