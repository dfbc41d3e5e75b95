// What LLDB's objects say, in the protocol's terms: shared by the records of process events and
// the answers to requests, so that both give the same facts the same way.
#pragma once

#include <lldb/API/LLDB.h>

#include <optional>
#include <string>

namespace lldb_helper::describe {

// LLDB's text as valid UTF-8; nothing for a null or empty string.
std::optional<std::string> text(const char* bytes);

// A file's full path from its directory and name, as far as LLDB knows them.
std::optional<std::string> path(const lldb::SBFileSpec& file);

// Whether the process has a pid and has not exited or been detached.
bool is_live(lldb::SBProcess& process);

// LLDB's error text as the one line a result's "error" holds: its first line that starts with
// "error: ", else its first line that is not empty after "error: ", else the fallback.
std::string error_line(const char* text, const std::string& fallback);

}  // namespace lldb_helper::describe
