#pragma once
// Lines a started child writes before it executes its program: formatted by the service,
// completed by the child with its own pid.

#include <string>

struct ChildLine {
    std::string head;      // text before the first pid
    std::string middle;    // text between the first and the second pid
    std::string tail;      // text after the last pid
    int pidCount = 0;      // 0, 1 or 2 copies of the child's pid
    int fd = -1;           // where it goes: the saved standard error, or a log datagram socket
    bool prepared = false; // false: the child writes nothing
};
