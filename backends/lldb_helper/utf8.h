// UTF-8 checking and lossy decoding for text that crosses the event descriptor.
//
// The decoder replaces every maximal ill-formed subpart with one U+FFFD, which is what
// Python's "replace" error handler does; the script back end relies on that handler, and
// both back ends must turn the same bytes into the same text. Header-only so the tests can
// check it against Python directly.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace lldb_helper {

namespace utf8_detail {

inline constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Continuation bytes a lead byte needs, and the range its first continuation byte must fall in
// (Unicode's table of well-formed byte sequences). need == 0 marks a byte that cannot start one.
struct Lead {
    int need;
    unsigned char low;
    unsigned char high;
};

inline Lead classify(unsigned char b)
{
    if (b >= 0xC2 && b <= 0xDF)
        return {1, 0x80, 0xBF};
    if (b == 0xE0)
        return {2, 0xA0, 0xBF};
    if ((b >= 0xE1 && b <= 0xEC) || b == 0xEE || b == 0xEF)
        return {2, 0x80, 0xBF};
    if (b == 0xED)
        return {2, 0x80, 0x9F};
    if (b == 0xF0)
        return {3, 0x90, 0xBF};
    if (b >= 0xF1 && b <= 0xF3)
        return {3, 0x80, 0xBF};
    if (b == 0xF4)
        return {3, 0x80, 0x8F};
    return {0, 0, 0};
}

}  // namespace utf8_detail

// Decodes a byte stream that may arrive in pieces: a sequence cut at the end of one piece is
// held back and completed by the next, so a split character is not turned into replacements.
class Utf8Decoder {
public:
    std::string decode(std::string_view bytes, bool final)
    {
        std::string input = pending_;
        input.append(bytes);
        pending_.clear();

        std::string out;
        out.reserve(input.size());
        const std::size_t n = input.size();
        std::size_t i = 0;
        while (i < n) {
            const auto b = static_cast<unsigned char>(input[i]);
            if (b < 0x80) {
                out.push_back(static_cast<char>(b));
                ++i;
                continue;
            }
            const utf8_detail::Lead lead = utf8_detail::classify(b);
            if (lead.need == 0) {
                out.append(utf8_detail::kReplacement);
                ++i;
                continue;
            }
            std::size_t valid = 1;  // bytes of this sequence that are well-formed so far
            bool broken = false;
            while (valid <= static_cast<std::size_t>(lead.need)) {
                if (i + valid >= n)
                    break;
                const auto c = static_cast<unsigned char>(input[i + valid]);
                const unsigned char low = valid == 1 ? lead.low : 0x80;
                const unsigned char high = valid == 1 ? lead.high : 0xBF;
                if (c < low || c > high) {
                    broken = true;
                    break;
                }
                ++valid;
            }
            if (broken) {
                out.append(utf8_detail::kReplacement);
                i += valid;
                continue;
            }
            if (valid <= static_cast<std::size_t>(lead.need)) {
                // Input ended inside a sequence that could still be completed.
                if (final)
                    out.append(utf8_detail::kReplacement);
                else
                    pending_.assign(input, i, std::string::npos);
                i = n;
                continue;
            }
            out.append(input, i, valid);
            i += valid;
        }
        return out;
    }

    bool holding() const { return !pending_.empty(); }

private:
    std::string pending_;
};

inline std::string to_utf8_lossy(std::string_view bytes)
{
    Utf8Decoder decoder;
    return decoder.decode(bytes, true);
}

inline bool is_valid_utf8(std::string_view bytes)
{
    return to_utf8_lossy(bytes) == bytes;
}

}  // namespace lldb_helper
