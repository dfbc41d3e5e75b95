// The process the service sees: it passes the service's signals on to the worker, and once the
// worker has ended it kills and reaps every process left below it before exiting itself.
//
// It is a child subreaper, so a debuggee whose debug server died is re-parented here rather
// than to init, and cannot escape the clean-up. The worker, for its part, gets SIGTERM when this
// process dies, even by SIGKILL.
#pragma once

#include <signal.h>
#include <sys/types.h>

namespace lldb_helper {

// Signals the supervisor waits for; block them before forking the worker.
sigset_t supervisor_signals();

// Makes the calling process a subreaper. Call before forking the worker.
bool become_subreaper();

// Runs until the worker ends; returns the exit status to end with.
int run_supervisor(pid_t worker);

}  // namespace lldb_helper
