// The diagnostic log's hex dump of relayed bytes, against a plain formatting of each byte.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "diagnostics/hex_dump.h"

namespace {

std::string reference(const uint8_t *bytes, size_t count)
{
    std::string text;
    char pair[3];
    for (size_t i = 0; i < count; ++i) {
        snprintf(pair, sizeof pair, "%02X", bytes[i]);
        text += pair;
    }
    return text;
}

TEST(HexDump, GivesTwoUpperCaseDigitsPerByteAtEveryLengthAndAlignmentAndWritesNothingPast)
{
    std::vector<uint8_t> bytes(256 + 80);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i < 256 ? i : i * 37 + 11);
    for (size_t offset = 0; offset < 16; ++offset) {
        for (size_t count = 0; offset + count <= bytes.size(); count += count < 70 ? 1 : 61) {
            SCOPED_TRACE("offset " + std::to_string(offset) + ", count " + std::to_string(count));
            std::string out(2 * count + 8, '#');
            hexDumpInto(out.data() + 4, bytes.data() + offset, count);
            EXPECT_EQ(out.substr(0, 4), "####");
            EXPECT_EQ(out.substr(4, 2 * count), reference(bytes.data() + offset, count));
            EXPECT_EQ(out.substr(4 + 2 * count), "####");
        }
    }
    EXPECT_EQ(hexDump(bytes.data(), 256), reference(bytes.data(), 256));
}

} // namespace
