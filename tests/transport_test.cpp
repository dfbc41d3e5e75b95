// The wire codec: message shapes, dictionary rules, framing across reads, and the limits that
// end a connection before anything large is allocated.

#include <gtest/gtest.h>

#include "platform/message_codec.h"

namespace {

using Status = MessageDecoder::Status;
using namespace std::string_literals;

// [2, "m", [dictionary]] for the encoded dictionary given.
std::string plain(const std::string &dictionary)
{
    return "\x93\x02\xA1m\x91" + dictionary;
}

// Every message the bytes decode to.
std::vector<Message> decode(const std::string &bytes)
{
    MessageDecoder decoder;
    decoder.feed(bytes.data(), bytes.size());
    std::vector<Message> messages;
    for (Message message; decoder.next(message) == Status::Message;)
        messages.push_back(message);
    return messages;
}

std::string encoded(MessageKind kind, const std::string &command)
{
    Message message{kind, kind == MessageKind::Plain ? 0 : 4000000000u, {}};
    message.dictionary.setString("command", command);
    message.dictionary.setData("data", {0x00, 0xFF, 0x0A});
    message.dictionary.setBool("result", true);
    return encodeMessage(message);
}

} // namespace

TEST(Codec, EachShapeAndARelayedDataMessageDecodeToWhatWasSent)
{
    const MessageKind kinds[] = {MessageKind::Request, MessageKind::Reply, MessageKind::Plain};
    std::string stream;
    for (MessageKind kind : kinds)
        stream += encoded(kind, "send");
    stream += encodeDataMessageHeader(4) + "\x00\xFE\xFF\n"s;
    std::vector<Message> messages = decode(stream);
    ASSERT_EQ(messages.size(), 4u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(messages[i].kind, kinds[i]);
        EXPECT_EQ(messages[i].msgid, i == 2 ? 0u : 4000000000u);
        EXPECT_EQ(messages[i].dictionary.getString("command"), "send");
        EXPECT_EQ(*messages[i].dictionary.getData("data"), (MessageBytes{0x00, 0xFF, 0x0A}));
        EXPECT_EQ(messages[i].dictionary.getBool("result"), true);
    }
    EXPECT_EQ(messages[3].dictionary.entries().size(), 1u);
    EXPECT_EQ(*messages[3].dictionary.getData("data"), (MessageBytes{0x00, 0xFE, 0xFF, '\n'}));

    // {"command": 7, "command": "log", 5: "five", "arch": "aarch64", "arch": "x86_64"}: the first
    // entry of a key counts, a value of the wrong type reads as missing.
    messages = decode(plain("\x85\xA7" "command\x07\xA7" "command\xA3log\x05\xA4" "five\xA4" "arch\xA7" "aarch64\xA4"
                 "arch\xA6x86_64"));
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_FALSE(messages[0].dictionary.getString("command").has_value());
    EXPECT_EQ(messages[0].dictionary.getString("arch"), "aarch64");
    EXPECT_FALSE(messages[0].dictionary.getBool("arch").has_value());
}

TEST(Codec, InputIsJudgedIgnoredIncompleteOrFatal)
{
    std::string stop = encoded(MessageKind::Request, "stop");
    const std::vector<std::tuple<const char *, std::string, Status>> cases = {
        {"a bare integer", "\x2A", Status::Ignored},
        {"msgid beyond 32 bits", "\x94\x00\xCF\x00\x00\x00\x01\x00\x00\x00\x00\xA1m\x91\x80"s, Status::Ignored},
        {"params of two maps", "\x93\x02\xA1m\x92\x80\x80", Status::Ignored},
        {"unknown type tag", "\x93\x03\xA1m\x91\x80", Status::Ignored},
        {"truncated request", stop.substr(0, stop.size() - 1), Status::NeedMore},
        {"value just under the limit", plain("\x81\xA4" "data\xC6\x03\xFF\xFF\xEA"), Status::NeedMore},
        {"reserved byte", "\xC1", Status::BadInput},
        {"bin of 4 GiB", plain("\x81\xA4" "data\xC6\xFF\xFF\xFF\xFF"), Status::BadInput},
        {"str of 2 GiB", "\xDB\x7F\xFF\xFF\xFF", Status::BadInput},
        {"bin of exactly the limit", "\xC6\x04\x00\x00\x00"s, Status::BadInput},
        {"array of billions", "\xDD\xFF\xFF\xFF\xFF", Status::BadInput},
        {"map of billions", "\xDF\xFF\xFF\xFF\xFF", Status::BadInput},
        {"deep nesting", std::string(100000, '\x91') + '\0', Status::BadInput},
        {"a map as a value", plain("\x81\xA7" "command\x80"), Status::BadInput},
        {"two values of 40 MiB, each allowed alone",
         plain("\x82\xA1" "a\xC6\x02\x80\x00\x00"s + std::string(40 << 20, 'x') + "\xA1" "b\xC6\x02\x80\x00\x00"s), Status::BadInput},
    };
    for (const auto &[name, bytes, expected] : cases) {
        MessageDecoder decoder;
        decoder.feed(bytes.data(), bytes.size());
        Message message;
        EXPECT_EQ(decoder.next(message), expected) << name;
    }
}
