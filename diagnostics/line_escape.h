#pragma once
// Diagnostic entries and console lines are one line each, whatever a path or a tool's answer
// holds: control characters are written as visible escapes.

#include <string>
#include <string_view>

// Appends text to out with each C0 control character and DEL escaped: \n, \r and \t by name,
// the others as \xHH. Every other byte, a backslash included, is kept as it is.
void appendEscaped(std::string &out, std::string_view text);
