// The debuggee's output as output-event text: what one read ends inside of waits for the next.

#include <gtest/gtest.h>

#include "host/output_text.h"

using namespace local_debugger;

namespace {

struct Case {
    const char *what;
    bool terminalLineEnds;
    std::vector<std::string> reads;
    std::vector<std::string> texts; // one for each read
    std::string rest;               // what still waits after the last
};

TEST(OutputTextTest, CarriesASplitCharacterOrLineEndIntoTheNextRead)
{
    const std::vector<Case> cases = {
        {"2 bytes, split after 1", false, {"h\xC3", "\xA9llo"}, {"h", "\xC3\xA9llo"}, ""},
        {"3 bytes, split after 1", false, {"\xE2", "\x9C\x93!"}, {"", "\xE2\x9C\x93!"}, ""},
        {"3 bytes, split after 2", false, {"a\xE2\x9C", "\x93"}, {"a", "\xE2\x9C\x93"}, ""},
        {"4 bytes, split after 3", false, {"\xF0\x9F\x98", "\x80"}, {"", "\xF0\x9F\x98\x80"}, ""},
        {"4 bytes over three reads", false, {"\xF0", "\x9F", "\x98\x80."}, {"", "", "\xF0\x9F\x98\x80."}, ""},
        {"a whole character at the end", false, {"\xF0\x9F\x98\x80"}, {"\xF0\x9F\x98\x80"}, ""},
        {"the output ends inside one", false, {"x\xE2\x9C"}, {"x"}, "\xE2\x9C"},
        {"a continuation byte alone", false, {"a\x80", "b"}, {"a\x80", "b"}, ""},
        {"a lead byte no character has", false, {"a\xC0", "\x80"}, {"a\xC0", "\x80"}, ""},
        {"an overlong form's start", false, {"\xE0\x80", "\x80"}, {"\xE0\x80", "\x80"}, ""},
        {"a surrogate's start", false, {"\xED\xA0", "\x80"}, {"\xED\xA0", "\x80"}, ""},
        {"past U+10FFFF", false, {"\xF4\x90", "\x80\x80", "\xF5"}, {"\xF4\x90", "\x80\x80", "\xF5"}, ""},
        {"no terminal: \\r\\n stays", false, {"a\r", "\n"}, {"a\r", "\n"}, ""},
        {"terminal line ends", true, {"a\r\nb\r", "\nc\r\n"}, {"a\nb", "\nc\n"}, ""},
        {"a \\r alone stays", true, {"50%\r", "60%\r\r\n"}, {"50%", "\r60%\r\n"}, ""},
        {"a character, then \\r", true, {"\xC3", "\xA9\r", "\n"}, {"", "\xC3\xA9", "\n"}, ""},
        {"the output ends after \\r", true, {"bye\r"}, {"bye"}, "\r"},
    };
    for (const auto &each : cases) {
        OutputText output(each.terminalLineEnds);
        std::vector<std::string> texts;
        for (const auto &read : each.reads)
            texts.push_back(output.take(read));
        EXPECT_EQ(texts, each.texts) << each.what;
        EXPECT_EQ(output.rest(), each.rest) << each.what;
        EXPECT_EQ(output.rest(), "") << each.what;
    }
}

} // namespace
