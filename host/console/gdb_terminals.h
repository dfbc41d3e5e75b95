#pragma once
// The two pseudo-terminals of GDB's own console: GDB's, where it reads whole lines and writes its
// words, and the program's. What both write reaches standard output in the order it was
// written; GDB's last line, until it ends, is kept, since it may be a prompt the line editor
// draws instead.

#include <cstddef>
#include <string>
#include <string_view>
#include <sys/ioctl.h>

#include "host/debuggee_terminal.h"

namespace local_debugger::console {

class GdbTerminals {
public:
    // Both made, their masters not blocking; GDB's reads whole lines, edited and shown here
    // already. False when either could not be made.
    bool open();
    const std::string &gdbPath() const { return gdb_.path; }
    const std::string &programPath() const { return program_.path; }
    int gdbFd() const { return gdb_.master(); }
    int programFd() const { return program_.master(); }
    bool gdbReadable() const { return readable(gdb_.master()); }
    bool programReadable() const { return readable(program_.master()); }

    void sendLine(const std::string &line) const;
    void toProgram(std::string_view bytes) const;
    void setSize(const winsize &size) const;
    // What was written since the last read; empty when nothing was. Valid until the next read.
    std::string_view readGdb();
    std::string_view readProgram();
    // Keys typed to the program and not read by it, line not yet ended included.
    std::string takeTypeAhead() const;

    // GDB's words while a command runs, in order with the program's output: its words before it
    // resumes the program, then what the program wrote, then the rest. Ended lines are shown;
    // the last one is kept as the tail, not shown yet.
    void relayInOrder(std::string_view text);
    const std::string &tail() const { return tail_; }
    bool tailPartlyShown() const { return tailShown_ > 0; }
    // What of the tail has not been shown yet, shown.
    void showTail();
    void clearTail();

private:
    static bool readable(int fd);

    DebuggeeTerminal gdb_;
    DebuggeeTerminal program_;
    std::string tail_;     // what GDB's terminal wrote after its last newline
    size_t tailShown_ = 0; // how much of it reached our terminal
    char gdbBytes_[65536];
    char programBytes_[65536];
};

} // namespace local_debugger::console
