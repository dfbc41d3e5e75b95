#include "host/console/gdb_console_text.h"

#include <algorithm>
#include <iterator>

namespace local_debugger::console {

std::string trimmed(std::string_view text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string_view::npos)
        return "";
    const size_t last = text.find_last_not_of(" \t");
    return std::string(text.substr(first, last - first + 1));
}

std::optional<GdbQuestion> gdbQuestionFor(const std::string &line, const std::optional<std::string> &livePid,
                                          const std::set<std::string> &breakpoints)
{
    const std::string text = trimmed(line);
    const size_t space = text.find_first_of(" \t");
    const std::string word = text.substr(0, space);
    const std::string rest = space == std::string::npos ? "" : trimmed(text.substr(space));
    auto is = [&](std::string_view full, size_t shortest) { return word.size() >= shortest && full.starts_with(word); };
    const std::string inferior = "Inferior 1 [process " + livePid.value_or("?") + "]";
    if (livePid && (is("run", 1) || word == "start" || word == "starti"))
        return GdbQuestion{
            "The program being debugged has been started already.\nStart it from the beginning? (y or n) ",
            "Program not restarted.\n", true};
    if (livePid && is("kill", 1) && rest.empty())
        return GdbQuestion{"Kill the program being debugged? (y or n) ", "Not confirmed.\n", true};
    if ((word == "d" || is("delete", 3)) && (rest.empty() || rest == "breakpoints") && !breakpoints.empty())
        return GdbQuestion{"Delete all breakpoints? (y or n) ", "", false};
    if (livePid && is("quit", 1) && rest.empty())
        return GdbQuestion{"A debugging session is active.\n\n\t" + inferior +
                               " will be killed.\n\nQuit anyway? (y or n) ",
                           "Not confirmed.\n", true};
    return std::nullopt;
}

bool describesStop(std::string_view text)
{
    size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9')
        ++digits;
    const std::string_view after = text.substr(digits);
    return text.starts_with('\n') || text.starts_with("0x") || text.find(") at ") != std::string_view::npos ||
           (digits > 0 && (after.starts_with('\t') || after.starts_with(": ")));
}

size_t resumeWords(std::string_view text)
{
    static constexpr std::string_view starts[] = {"Starting program: ", "Continuing", "Will ignore next ",
                                                  "Run till exit from ", "warning: Error disabling address"};
    size_t at = 0;
    bool frame = false; // a frame that goes on in the next line, indented
    for (size_t end; (end = text.find('\n', at)) != std::string_view::npos; at = end + 1) {
        const std::string_view line = text.substr(at, end - at);
        const bool resumes = std::any_of(std::begin(starts), std::end(starts),
                                         [&](std::string_view start) { return line.starts_with(start); });
        if (!resumes && !(frame && line.starts_with("    ")))
            break;
        frame = line.starts_with("Run till exit from ");
    }
    return at;
}

} // namespace local_debugger::console
