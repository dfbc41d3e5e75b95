#include "diagnostics/hex_dump.h"

std::string hexDump(const uint8_t *bytes, size_t count)
{
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text(count * 2, '\0');
    for (size_t i = 0; i < count; ++i) {
        text[2 * i] = digits[bytes[i] >> 4];
        text[2 * i + 1] = digits[bytes[i] & 0x0F];
    }
    return text;
}
