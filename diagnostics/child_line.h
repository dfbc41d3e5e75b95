#pragma once
// Lines a forked child writes between fork and exec: formatted before the fork, completed
// with the child's own pid and written with async-signal-safe calls only.

#include <string>

struct ChildLine {
    std::string head;      // text before the first pid
    std::string middle;    // text between the first and the second pid
    std::string tail;      // text after the last pid
    int pidCount = 0;      // 0, 1 or 2 copies of the child's pid
    int fd = -1;           // where it goes: the saved standard error, or a log datagram socket
    bool prepared = false; // false: the child writes nothing
};

// Async-signal-safe: assembles head, pid(s) and tail in a stack buffer and writes them at once.
void writeChildLine(const ChildLine &line);

// Async-signal-safe decimal formatting; returns the number of characters written.
size_t formatDecimal(char *out, long value);
