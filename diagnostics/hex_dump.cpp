#include "diagnostics/hex_dump.h"

#include <array>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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
    size_t i = 0;
#if defined(__SSE2__)
    // A logged relay dumps every byte it passes on: sixteen at a time, each nibble n becoming
    // '0' + n, and 7 more when it is over 9.
    const __m128i nibble = _mm_set1_epi8(0x0F);
    const __m128i zero = _mm_set1_epi8('0');
    const __m128i nine = _mm_set1_epi8(9);
    const __m128i letters = _mm_set1_epi8('A' - '0' - 10);
    const auto digits = [&](__m128i n) {
        return _mm_add_epi8(_mm_add_epi8(n, zero), _mm_and_si128(_mm_cmpgt_epi8(n, nine), letters));
    };
    for (; i + 16 <= count; i += 16, out += 32) {
        const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i *>(bytes + i));
        const __m128i high = digits(_mm_and_si128(_mm_srli_epi16(in, 4), nibble));
        const __m128i low = digits(_mm_and_si128(in, nibble));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out), _mm_unpacklo_epi8(high, low));
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + 16), _mm_unpackhi_epi8(high, low));
    }
#endif
    for (; i < count; ++i, out += 2)
        memcpy(out, digitPairs[bytes[i]].data(), 2);
}

std::string hexDump(const uint8_t *bytes, size_t count)
{
    std::string text(count * 2, '\0');
    hexDumpInto(text.data(), bytes, count);
    return text;
}
