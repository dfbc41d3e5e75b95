// Requests: input lines that hold a JSON object instead of an LLDB command.
//
// Parsing is kept apart from LLDB so that every refusal is decided here, with texts that the
// script back end reproduces exactly.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>

namespace lldb_helper::requests {

// A line is a request when its first character other than a space or a tab is '{'.
bool is_request(std::string_view line);

// {"request":"input","data":...}: bytes for the debuggee's terminal.
struct Input {
    std::string data;
};

// {"request":"complete","line":...,"cursor":...}, the cursor already turned from characters
// into a byte offset into line.
struct Complete {
    std::string line;
    std::size_t cursor = 0;
};

using Request = std::variant<Input, Complete>;

// The request a line holds, or the error text (one line ending in "\n") that answers it.
std::variant<Request, std::string> parse(std::string_view line);

}  // namespace lldb_helper::requests
