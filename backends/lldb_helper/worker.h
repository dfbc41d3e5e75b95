// The process that hosts LLDB: reads command lines, runs them, and reports on the debuggee.
#pragma once

#include <sys/types.h>

namespace lldb_helper {

// The module that holds the worker and LLDB's library, beside lldb-helper, and its entry: runs
// the session until end of input, SIGTERM, "quit" or the loss of the supervisor, and returns
// the exit status; a fault of its own is an error record and status 1. Expects SIGINT and SIGTERM
// to be blocked already.
inline constexpr const char* kWorkerModule = "lldb-helper-worker.so";
inline constexpr const char* kWorkerEntry = "lldb_helper_worker_main";
using WorkerEntry = int (*)(int command_fd, int event_fd, pid_t supervisor);

int run_worker(int command_fd, int event_fd, pid_t supervisor);

}  // namespace lldb_helper
