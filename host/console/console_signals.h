#pragma once
// A console's signals, read from a descriptor in its loop instead of handled: SIGINT, SIGTERM
// and SIGHUP, and SIGWINCH for a console that passes the window's size on. The caller has
// blocked them.

#include "platform/unique_fd.h"

namespace local_debugger::console {

class ConsoleSignals {
public:
    explicit ConsoleSignals(bool resizes);
    int fd() const { return fd_.get(); }
    // The signal that made the descriptor readable; 0 when none could be read.
    int take() const;

private:
    UniqueFd fd_;
};

} // namespace local_debugger::console
