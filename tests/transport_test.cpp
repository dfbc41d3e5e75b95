// The wire codec's judgement of what arrives: ignored, waiting for more, or the end of the
// connection, decided from headers before anything large is allocated.

#include <gtest/gtest.h>

#include "platform/message_codec.h"

using namespace local_debugger;

namespace {

using Status = MessageDecoder::Status;
using namespace std::string_literals;

// [2, "m", [dictionary]] for the encoded dictionary given.
std::string plain(const std::string &dictionary)
{
    return "\x93\x02\xA1m\x91" + dictionary;
}

// Headers in their 32-bit forms, so any count or length fits.
std::string be32(uint32_t n)
{
    return {static_cast<char>(n >> 24), static_cast<char>(n >> 16), static_cast<char>(n >> 8), static_cast<char>(n)};
}
// A marker byte, then a big-endian 32-bit count.
std::string counted(char marker, uint32_t count)
{
    std::string bytes(1, marker);
    bytes.append(be32(count));
    return bytes;
}
std::string array(uint32_t items)
{
    return counted('\xDD', items);
}
std::string map(uint32_t entries)
{
    return counted('\xDF', entries);
}
std::string str(const std::string &text)
{
    return counted('\xDB', static_cast<uint32_t>(text.size())).append(text);
}
// The value inside that many arrays of one item each.
std::string nested(size_t levels, const std::string &value)
{
    return std::string(levels, '\x91') + value;
}

Message plainMessage(std::vector<std::pair<std::string, std::string>> strings)
{
    Message message;
    for (auto &[key, value] : strings)
        message.dictionary.setString(key, value);
    return message;
}

// Every status, and the encoding of every message, that bytes give when fed split at the cuts.
std::vector<std::string> decodeSplit(const std::string &bytes, const std::vector<size_t> &cuts)
{
    MessageDecoder decoder;
    std::vector<std::string> seen;
    size_t from = 0;
    for (size_t cut : cuts) {
        decoder.feed(bytes.data() + from, cut - from);
        from = cut;
        Message message;
        for (Status status; (status = decoder.next(message)) != Status::NeedMore && status != Status::BadInput;)
            seen.push_back(status == Status::Message ? encodeMessage(message) : "ignored");
    }
    return seen;
}

} // namespace

TEST(Codec, InputIsJudgedIgnoredIncompleteOrFatal)
{
    Message request{MessageKind::Request, 4000000000u, {}};
    request.dictionary.setString("command", "stop");
    std::string stop = encodeMessage(request);
    const std::vector<std::tuple<const char *, std::string, Status>> cases = {
        {"a request", stop, Status::Message},
        {"a bare integer", "\x2A", Status::Ignored},
        {"msgid beyond 32 bits", "\x94\x00\xCF\x00\x00\x00\x01\x00\x00\x00\x00\xA1m\x91\x80"s, Status::Ignored},
        {"params of two maps", "\x93\x02\xA1m\x92\x80\x80", Status::Ignored},
        {"unknown type tag", "\x93\x03\xA1m\x91\x80", Status::Ignored},
        {"truncated request", stop.substr(0, stop.size() - 1), Status::NeedMore},
        {"value just under the limit",
         plain("\x81\xA4"
               "data\xC6\x03\xFF\xFF\xEA"),
         Status::NeedMore},
        {"reserved byte", "\xC1", Status::BadInput},
        {"bin of 4 GiB",
         plain("\x81\xA4"
               "data\xC6\xFF\xFF\xFF\xFF"),
         Status::BadInput},
        {"str of 2 GiB", "\xDB\x7F\xFF\xFF\xFF", Status::BadInput},
        {"bin of exactly the limit", "\xC6\x04\x00\x00\x00"s, Status::BadInput},
        {"array of billions", "\xDD\xFF\xFF\xFF\xFF", Status::BadInput},
        {"map of billions", "\xDF\xFF\xFF\xFF\xFF", Status::BadInput},
        {"deep nesting", std::string(100000, '\x91') + '\0', Status::BadInput},
        {"two values of 40 MiB, each allowed alone",
         plain("\x82\xA1"
               "a\xC6\x02\x80\x00\x00"s +
               std::string(40 << 20, 'x') +
               "\xA1"
               "b\xC6\x02\x80\x00\x00"s),
         Status::BadInput},
    };
    for (const auto &[name, bytes, expected] : cases) {
        MessageDecoder decoder;
        decoder.feed(bytes.data(), bytes.size());
        Message message;
        EXPECT_EQ(decoder.next(message), expected) << name;
    }
}

TEST(Codec, WellFormedValuesWithinTheLimitsAreReadOrSkippedAndOnlyDepthOrSizeEndsTheStream)
{
    const std::string extras[] = {"\x07",         "\xC0",         "\xCB\x40\x09\x21\xFB\x54\x44\x2D\x18",
                                  str("text"),    "\xC4\x02xy",   "\xC3",
                                  "\xD4\x01\x02", "\x92\x01\x80", "\x81\xA1k\x90"};
    std::string wide = map(10002) + str("command") + str("log");
    for (int i = 0; i < 10000; ++i)
        wide += str("key" + std::to_string(i)) + extras[i % std::size(extras)];
    wide += str("arch") + str("aarch64");
    Message reply{MessageKind::Reply, 7, {}};
    reply.dictionary.setBool("result", true);

    const std::vector<std::tuple<const char *, std::string, Status, Message>> cases = {
        {"10 000 extra keys of every type", plain(wide), Status::Message,
         plainMessage({{"command", "log"}, {"arch", "aarch64"}})},
        {"extra keys nested to 32 levels",
         plain(map(3) + str("a") + nested(29, "\x01") + str("b") + "\x81\xA1z" + nested(27, "\x80") + str("command") +
               str("break")),
         Status::Message, plainMessage({{"command", "break"}})},
        {"known keys of other types, and repeats",
         plain(map(6) + str("command") + "\x05" + str("command") + str("stop") + str("data") + "\x91\xC4\x01x" +
               str("arch") + str("x") + str("arch") + str("y") + str("result") + "\xC0"),
         Status::Message, plainMessage({{"arch", "x"}})},
        {"a reply with an extra map", "\x94\x01\x07\xC0" + map(2) + str("x") + "\x81\x01\x02" + str("result") + "\xC3",
         Status::Message, reply},
        {"an array of 100 numbers", array(100) + std::string(100, '\x07'), Status::Ignored, {}},
        {"arrays 32 deep", nested(32, "\x01"), Status::Ignored, {}},
        {"a map holding arrays", "\x82\xA1k" + array(3) + "\x01\x02\x03\x01\x90", Status::Ignored, {}},
        {"a plain message of four items", "\x94\x02\xA1m\x91\x80\x00"s, Status::Ignored, {}},
        {"a reply whose dictionary is an array", "\x94\x01\x07\xC0\x91\x80", Status::Ignored, {}},
        {"a request whose params are a map", "\x94\x00\x07\xA1m\x80"s, Status::Ignored, {}},
        {"arrays 33 deep", nested(33, "\x01"), Status::BadInput, {}},
        {"an extra key 33 levels deep", plain(map(1) + str("a") + nested(30, "\x01")), Status::BadInput, {}},
        {"an extra key declaring 64 MiB", plain(map(1) + str("a") + "\xDB" + be32(64u << 20)), Status::BadInput, {}},
        {"an extra key of 64 Mi items", plain(map(1) + str("a") + array(64u << 20)), Status::BadInput, {}},
    };
    Message stop{MessageKind::Request, 9, {}};
    stop.dictionary.setString("command", "stop");
    for (const auto &[name, bytes, expected, message] : cases) {
        MessageDecoder decoder;
        const std::string stream = bytes + encodeMessage(stop);
        decoder.feed(stream.data(), stream.size());
        Message first;
        ASSERT_EQ(decoder.next(first), expected) << name;
        if (expected == Status::Message) {
            EXPECT_EQ(encodeMessage(first), encodeMessage(message)) << name;
        }
        // What follows is read as usual, unless the stream has ended.
        Message second;
        if (expected == Status::BadInput) {
            EXPECT_EQ(decoder.next(second), Status::BadInput) << name;
            continue;
        }
        EXPECT_EQ(decoder.next(second), Status::Message) << name;
        EXPECT_EQ(encodeMessage(second), encodeMessage(stop)) << name;
    }
}

TEST(Codec, StreamSplitAtAnyByteDecodesAsInOneRead)
{
    Message launch{MessageKind::Request, 3, {}};
    launch.dictionary.setString("command", "launch_gdb");
    launch.dictionary.setString("arch", "aarch64");
    Message send;
    send.dictionary.setString("command", "send");
    send.dictionary.setData("data", MessageBytes(300, 0xAB));
    Message reply{MessageKind::Reply, 3, {}};
    reply.dictionary.setBool("result", false);
    const DataMessageHeader header = encodeDataMessageHeader(5);
    Message output;
    output.dictionary.setData("data", MessageBytes{'h', 'e', 'l', 'l', 'o'});

    const std::string stream = "\x94\x00\x03\xA7message\x91"s + map(3) + str("command") + str("launch_gdb") +
                               str("extra") + nested(20, "\x81\xA1k\xC0") + str("arch") + str("aarch64") +
                               std::string(header.bytes, header.size) + "hello" + array(100) +
                               std::string(100, '\x01') + encodeMessage(reply) + encodeMessage(send);
    const std::vector<std::string> expected = {encodeMessage(launch), encodeMessage(output), "ignored",
                                               encodeMessage(reply), encodeMessage(send)};
    ASSERT_EQ(decodeSplit(stream, {stream.size()}), expected);
    std::vector<size_t> everyByte;
    for (size_t cut = 1; cut <= stream.size(); ++cut) {
        EXPECT_EQ(decodeSplit(stream, {cut, stream.size()}), expected) << "split at " << cut;
        everyByte.push_back(cut);
    }
    EXPECT_EQ(decodeSplit(stream, everyByte), expected);
}
