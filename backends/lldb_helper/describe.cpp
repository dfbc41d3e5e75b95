#include "backends/lldb_helper/describe.h"

#include "backends/lldb_helper/utf8.h"

#include <sstream>

namespace lldb_helper::describe {

std::optional<std::string> text(const char* bytes)
{
    if (bytes == nullptr || *bytes == '\0')
        return std::nullopt;
    return to_utf8_lossy(bytes);
}

std::optional<std::string> path(const lldb::SBFileSpec& file)
{
    if (!file.IsValid())
        return std::nullopt;
    const std::optional<std::string> directory = text(file.GetDirectory());
    const std::optional<std::string> name = text(file.GetFilename());
    if (directory && name)
        return *directory + (directory->back() == '/' ? "" : "/") + *name;
    return name ? name : directory;
}

bool is_live(lldb::SBProcess& process)
{
    if (!process.IsValid() || process.GetProcessID() == LLDB_INVALID_PROCESS_ID)
        return false;
    const lldb::StateType state = process.GetState();
    return state != lldb::eStateExited && state != lldb::eStateDetached && state != lldb::eStateInvalid &&
           state != lldb::eStateUnloaded;
}

std::string error_line(const char* text_bytes, const std::string& fallback)
{
    const std::optional<std::string> whole = text(text_bytes);
    if (!whole)
        return fallback;
    std::optional<std::string> first;
    std::istringstream lines(*whole);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("error: ", 0) == 0)
            return line + "\n";
        if (!first && !line.empty())
            first = line;
    }
    return first ? "error: " + *first + "\n" : fallback;
}

}  // namespace lldb_helper::describe
