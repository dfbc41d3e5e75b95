#pragma once
// What the words GDB writes on its console terminal mean to the console: its prompts, the
// questions it would ask, the lines that describe a stop and those before it resumes the program.

#include <cstddef>
#include <optional>
#include <set>
#include <string>
#include <string_view>

namespace local_debugger::console {

// GDB's pager waits on the terminal like a prompt does.
constexpr std::string_view pagerPrompt = "--Type <RET> for more, q to quit, c to continue without paging--";

// text without its leading and trailing blanks and tabs.
std::string trimmed(std::string_view text);

struct GdbQuestion {
    std::string text; // the question, lines before its prompt included
    std::string no;   // what GDB says when the answer is no
    bool aboutLiveProgram;
};
// The irreversible question GDB would ask before line, given the live program's pid (none when
// no program runs) and the breakpoints set; none when it asks nothing.
std::optional<GdbQuestion> gdbQuestionFor(const std::string &line, const std::optional<std::string> &livePid,
                                          const std::set<std::string> &breakpoints);

// What may be part of a stop's description: its leading empty line, a frame, a source line or a
// display (a number, then a tab or a colon).
bool describesStop(std::string_view text);

// How many bytes at the start of text are GDB's words before it resumes the program (whole lines).
size_t resumeWords(std::string_view text);

} // namespace local_debugger::console
