#include "diagnostics/hex_dump.h"

#include <array>
#include <cstring>

namespace {

// Both digits of every byte value, so each byte costs one two-character copy.
const std::array<std::array<char, 2>, 256> digitPairs = [] {
    std::array<std::array<char, 2>, 256> pairs{};
    constexpr char digits[] = "0123456789ABCDEF";
    for (size_t i = 0; i < pairs.size(); ++i)
        pairs[i] = {digits[i >> 4], digits[i & 0x0F]};
    return pairs;
}();

} // namespace

void hexDumpInto(char *out, const uint8_t *bytes, size_t count)
{
    for (size_t i = 0; i < count; ++i, out += 2)
        memcpy(out, digitPairs[bytes[i]].data(), 2);
}

std::string hexDump(const uint8_t *bytes, size_t count)
{
    std::string text(count * 2, '\0');
    hexDumpInto(text.data(), bytes, count);
    return text;
}
