#pragma once
// A debuggee's output as the text of an editor's output events. A read may end inside a UTF-8
// character, or between the "\r" and "\n" a terminal makes of a newline: those bytes wait for the
// next read, so that no character turns into U+FFFD and such a pair still reads as one "\n".
// Bytes that can never be UTF-8 go on as they came.

#include <string>
#include <string_view>

namespace local_debugger {

class OutputText {
public:
    // terminalLineEnds: the output came through a terminal that writes "\r\n" for "\n".
    explicit OutputText(bool terminalLineEnds) : terminalLineEnds_(terminalLineEnds) {}

    // The text of one read, after what the last one left waiting; without what this one leaves.
    std::string take(std::string_view bytes);
    // What still waits, once the output has ended.
    std::string rest();

private:
    bool terminalLineEnds_;
    std::string waiting_;
};

} // namespace local_debugger
