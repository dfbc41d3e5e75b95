// The terminal a debuggee launched while LLDB's interpreter runs on a console writes to. Its
// output comes here rather than through LLDB, which would hand bytes that arrive late to its
// own console instead of the records; the back end reads it and gives every byte to both.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace lldb_helper {

class ProgramTerminal {
public:
    ProgramTerminal() = default;
    ProgramTerminal(const ProgramTerminal&) = delete;
    ProgramTerminal& operator=(const ProgramTerminal&) = delete;
    ~ProgramTerminal();

    // A new pseudo-terminal, sized as size_from; an error text when it cannot be made.
    std::string open(int size_from);
    bool is_open() const { return master_ >= 0; }
    int master() const { return master_; }
    const std::string& path() const { return path_; }
    void take_size(int from);
    // What the debuggee wrote and can be read now. settled: everything it wrote before the
    // call, which the system may still be carrying to this end (for a debuggee stopped or gone).
    std::string read(bool settled);
    // Writes kInputMark to the debuggee's input terminal when that is one of LLDB's: it comes
    // back to LLDB after the echo of every key typed to the debuggee before it. Should LLDB's
    // own console take it first, it shows nothing: it only resets the colours, twice.
    bool mark_input(std::uint64_t pid) const;
    static constexpr std::string_view kInputMark = "\x1b[0m\x1b[0m";

private:
    int master_ = -1;
    int slave_ = -1;  // held, so that a debuggee's end does not turn the master into errors
    std::string path_;
};

}  // namespace lldb_helper
