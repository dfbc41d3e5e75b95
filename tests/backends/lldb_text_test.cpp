// The helper's UTF-8 handling against Python's, which the script back end uses: both back ends
// must turn the same debuggee bytes into the same text, however the bytes are split up.
#include "backends/lldb_helper/utf8.h"
#include "tests/backends/lldb_backend_harness.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace lldb_backend_test {
namespace {

using Chunks = std::vector<std::string>;

std::string hex(const std::string& bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

std::string decode_in_pieces(const Chunks& chunks)
{
    lldb_helper::Utf8Decoder decoder;
    std::string text;
    for (const std::string& chunk : chunks)
        text += decoder.decode(chunk, false);
    text += decoder.decode({}, true);
    return text;
}

// Python's incremental decoder with the "replace" handler, for every case at once; the second
// list says whether strict decoding of the joined bytes succeeds.
std::pair<std::vector<std::string>, std::vector<bool>> python_decode(const std::vector<Chunks>& cases)
{
    Json input = Json::array();
    for (const Chunks& chunks : cases) {
        Json pieces = Json::array();
        for (const std::string& chunk : chunks)
            pieces.push_back(hex(chunk));
        input.push_back(pieces);
    }
    char path[] = "/tmp/lldb-text-test-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0)
        return {};
    const std::string data = input.dump();
    EXPECT_EQ(::write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    ::close(fd);
    const std::string program = R"(
import codecs, json, sys
out = []
for pieces in json.load(open(sys.argv[1])):
    decoder = codecs.getincrementaldecoder("utf-8")("replace")
    text = "".join(decoder.decode(bytes.fromhex(p), False) for p in pieces) + decoder.decode(b"", True)
    joined = b"".join(bytes.fromhex(p) for p in pieces)
    try:
        joined.decode("utf-8")
        valid = True
    except UnicodeDecodeError:
        valid = False
    out.append([text.encode("utf-8").hex(), valid])
print(json.dumps(out))
)";
    const std::string printed = capture({"/usr/bin/python3", "-c", program, path});
    ::unlink(path);
    std::vector<std::string> texts;
    std::vector<bool> valid;
    const Json answer = Json::parse(printed, nullptr, false);
    if (!answer.is_array())
        return {};
    for (const Json& item : answer) {
        const std::string hexed = item[0].get<std::string>();
        std::string bytes;
        for (std::size_t i = 0; i + 1 < hexed.size(); i += 2)
            bytes.push_back(static_cast<char>(std::stoi(hexed.substr(i, 2), nullptr, 16)));
        texts.push_back(bytes);
        valid.push_back(item[1].get<bool>());
    }
    return {texts, valid};
}

TEST(LldbBackendText, HelperDecodesLikePythonWhereverTheBytesAreSplit)
{
    const std::vector<std::string> samples = {
        "plain text",
        "\xC3\xA9t\xC3\xA9",                // two-byte characters
        "\xE2\x82\xAC and \xF0\x9F\x98\x80",  // three and four bytes
        "\xEF\xBF\xBD",                     // the replacement character itself
        "a\xFF" "b",                        // a byte that never appears in UTF-8
        "\xC0\xAF\xC1\xBF",                 // overlong two-byte forms
        "\xE0\x80\xAF",                     // overlong three-byte form
        "\xED\xA0\x80",                     // an encoded surrogate
        "\xF4\x90\x80\x80",                 // beyond U+10FFFF
        "\xF5\x80\x80\x80",                 // lead byte beyond any range
        "\x80\xBF",                         // lone continuation bytes
        "\xE2\x28\xA1",                     // broken after the lead byte
        "\xF0\x9F\x98",                     // cut short at the end
        "x\xE2\x82",                        // cut short after text
        "\xC3",                             // a lone lead byte
        "\xF0\x9F\x98\x80\xF0\x9F",         // whole, then cut short
        "\r\n\x01\x1b[0m\x7f",              // control characters pass through
    };
    std::vector<Chunks> cases;
    for (const std::string& sample : samples) {
        cases.push_back({sample});
        for (std::size_t cut = 1; cut < sample.size(); ++cut)
            cases.push_back({sample.substr(0, cut), sample.substr(cut)});
        for (std::size_t first = 1; first < sample.size() && sample.size() <= 8; ++first) {
            for (std::size_t second = first + 1; second < sample.size(); ++second)
                cases.push_back({sample.substr(0, first), sample.substr(first, second - first), sample.substr(second)});
        }
    }
    // And byte soup from the bytes that matter, split at random.
    std::mt19937 random(20240611);
    const std::string alphabet = "a\x80\x8F\x90\x9F\xA0\xBF\xC0\xC2\xDF\xE0\xE1\xED\xEF\xF0\xF4\xF5\xFF";
    for (int round = 0; round < 400; ++round) {
        std::string soup;
        const std::size_t length = 1 + random() % 12;
        for (std::size_t i = 0; i < length; ++i)
            soup += alphabet[random() % alphabet.size()];
        Chunks chunks;
        std::size_t at = 0;
        while (at < soup.size()) {
            const std::size_t size = 1 + random() % (soup.size() - at);
            chunks.push_back(soup.substr(at, size));
            at += size;
        }
        cases.push_back(chunks);
    }

    const auto [expected, valid] = python_decode(cases);
    ASSERT_EQ(expected.size(), cases.size()) << "the Python side did not answer";
    for (std::size_t i = 0; i < cases.size(); ++i) {
        std::string joined;
        for (const std::string& chunk : cases[i])
            joined += chunk;
        EXPECT_EQ(hex(decode_in_pieces(cases[i])), hex(expected[i])) << "bytes " << hex(joined) << " in "
                                                                     << cases[i].size() << " pieces";
        EXPECT_EQ(lldb_helper::is_valid_utf8(joined), valid[i]) << "bytes " << hex(joined);
    }
}

}  // namespace
}  // namespace lldb_backend_test
