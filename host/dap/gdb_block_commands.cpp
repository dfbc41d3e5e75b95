#include "host/dap/gdb_block_commands.h"

#include <cctype>

namespace local_debugger::dap {

namespace {

struct BlockCommand {
    std::string_view name;
    size_t shortest; // GDB takes any prefix this long or longer
    bool always;     // a block whatever follows; else only with nothing after the name
};

constexpr BlockCommand blockCommands[] = {
    {"commands", 4, true}, {"define", 6, true},   {"document", 3, true},    {"while", 5, true},
    {"if", 2, true},       {"actions", 2, true},  {"python", 2, false},     {"python-interactive", 7, false},
    {"pi", 2, false},      {"guile", 2, false},   {"guile-repl", 6, false}, {"gr", 2, false},
    {"shell", 3, false},   {"compile", 5, false}, {"expression", 4, false},
};

std::string_view trimmed(std::string_view text)
{
    while (!text.empty() && isspace(static_cast<unsigned char>(text.front())))
        text.remove_prefix(1);
    while (!text.empty() && isspace(static_cast<unsigned char>(text.back())))
        text.remove_suffix(1);
    return text;
}

// The command word GDB looks up, taken off the front of text.
std::string_view takeWord(std::string_view &text)
{
    size_t length = 0;
    while (length < text.size() && (isalnum(static_cast<unsigned char>(text[length])) || text[length] == '-' ||
                                    text[length] == '_' || text[length] == '.'))
        ++length;
    const std::string_view word = text.substr(0, length);
    text = trimmed(text.substr(length));
    return word;
}

// compile (alias expression) reads its source from the following lines when none follows its
// optional "code" and its options.
bool compilesFromFollowingLines(std::string_view rest)
{
    std::string_view sub = rest;
    if (const std::string_view word = takeWord(sub); !word.empty() && std::string_view("code").starts_with(word))
        rest = sub;
    while (!rest.empty() && rest.front() == '-') {
        const size_t space = rest.find_first_of(" \t");
        rest = trimmed(space == std::string_view::npos ? std::string_view() : rest.substr(space));
    }
    return rest.empty();
}

} // namespace

bool startsGdbBlock(std::string_view line)
{
    line = trimmed(line);
    if (line.starts_with('!'))
        return trimmed(line.substr(1)).empty(); // an interactive shell on GDB's input
    const std::string_view word = takeWord(line);
    for (const BlockCommand &command : blockCommands) {
        if (word.size() < command.shortest || !command.name.starts_with(word))
            continue;
        if (command.always)
            return true;
        if (command.name == "compile" || command.name == "expression")
            return compilesFromFollowingLines(line);
        return line.empty();
    }
    return false;
}

} // namespace local_debugger::dap
