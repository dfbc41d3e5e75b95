#include "host/output_text.h"

#include <cstddef>

namespace local_debugger {

namespace {

// How many bytes a character starting with lead has; 0 when no character starts with it.
size_t characterLength(unsigned char lead)
{
    if (lead >= 0xC2 && lead <= 0xDF)
        return 2;
    if (lead >= 0xE0 && lead <= 0xEF)
        return 3;
    if (lead >= 0xF0 && lead <= 0xF4)
        return 4;
    return 0;
}

// Whether second may follow lead in a well-formed character (no overlong form, surrogate or
// code point past U+10FFFF).
bool fitsAfter(unsigned char lead, unsigned char second)
{
    const unsigned char low = lead == 0xE0 ? 0xA0 : lead == 0xF0 ? 0x90 : 0x80;
    const unsigned char high = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : 0xBF;
    return second >= low && second <= high;
}

// Where the character that text ends inside of begins; text.size() when it ends on a boundary
// or in bytes that no later byte can make into a character.
size_t unfinishedFrom(std::string_view text)
{
    const size_t end = text.size();
    for (size_t back = 1; back <= 3 && back <= end; ++back) {
        const auto byte = static_cast<unsigned char>(text[end - back]);
        if ((byte & 0xC0) == 0x80)
            continue; // a continuation byte: its lead is further back
        const size_t length = characterLength(byte);
        const bool fits = back == 1 || fitsAfter(byte, static_cast<unsigned char>(text[end - back + 1]));
        return length > back && fits ? end - back : end;
    }
    return end;
}

} // namespace

std::string OutputText::take(std::string_view bytes)
{
    std::string text = std::move(waiting_);
    waiting_.clear();
    if (!terminalLineEnds_) {
        text.append(bytes);
    } else {
        text.reserve(text.size() + bytes.size());
        for (const char byte : bytes) {
            if (byte == '\n' && !text.empty() && text.back() == '\r')
                text.back() = '\n';
            else
                text.push_back(byte);
        }
    }
    const size_t keep =
        terminalLineEnds_ && !text.empty() && text.back() == '\r' ? text.size() - 1 : unfinishedFrom(text);
    waiting_.assign(text, keep);
    text.resize(keep);
    return text;
}

std::string OutputText::rest()
{
    std::string text = std::move(waiting_);
    waiting_.clear();
    return text;
}

} // namespace local_debugger
