#pragma once
// Pipes made while the service waits for its launch, so that the launch itself, which a host
// waits on, makes none. A launch takes what its plan needs; what it finds gone it makes then.

#include <array>

#include "platform/unique_fd.h"

class PipeStock {
public:
    // Makes what is missing: enough for any back end. One that cannot be made now is made
    // when taken.
    void fill();

    Pipe take();
    // The pipe send's bytes go through: its write end does not block, its read end (the
    // child's) does.
    Pipe takeCommand();

private:
    static Pipe makeCommand();

    std::array<Pipe, 4> plain_;
    Pipe command_;
};
