// The process that hosts LLDB: reads command lines, runs them, and reports on the debuggee.
#pragma once

#include <sys/types.h>

namespace lldb_helper {

// Runs the session until end of input, SIGTERM, "quit" or the loss of the supervisor, and
// returns the exit status. Expects SIGINT and SIGTERM to be blocked already.
int run_worker(int command_fd, int event_fd, pid_t supervisor);

}  // namespace lldb_helper
