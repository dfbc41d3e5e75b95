#pragma once
// The debug console's completions: the line up to the cursor a request names, the word before
// the cursor, and the targets that replace that word with each candidate. Positions in DAP are
// UTF-16 units, from 0 or from 1 as the client said at initialize.

#include <string>
#include <string_view>
#include <vector>

#include "host/dap/dap_channel.h"

namespace local_debugger::dap {

// The request's text up to its column (the whole text when it has none).
std::string textBeforeCursor(const Json &arguments, bool columnsFrom1);

// Where the word that ends the text starts: a byte offset just past the last of breaks.
size_t wordStart(std::string_view text, std::string_view breaks);

// One target for each distinct word, in order, each replacing text from the byte offset from to
// its end.
Json completionTargets(const std::vector<std::string> &words, std::string_view text, size_t from, bool columnsFrom1);

} // namespace local_debugger::dap
