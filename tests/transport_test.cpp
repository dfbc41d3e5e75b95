// The wire codec's judgement of what arrives: ignored, waiting for more, or the end of the
// connection, decided from headers before anything large is allocated.

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
         plain("\x82\xA1" "a\xC6\x02\x80\x00\x00"s + std::string(40 << 20, 'x') + "\xA1" "b\xC6\x02\x80\x00\x00"s),
         Status::BadInput},
    };
    for (const auto &[name, bytes, expected] : cases) {
        MessageDecoder decoder;
        decoder.feed(bytes.data(), bytes.size());
        Message message;
        EXPECT_EQ(decoder.next(message), expected) << name;
    }
}
