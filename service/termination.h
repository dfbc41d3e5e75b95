#pragma once
class Connection;

// The three ways a run ends. Each ends the process with status 0; whichever comes first wins.

// stop: marks that stop is being handled, so only stop's own exit (after its reply) ends the process.
void beginStop();
[[noreturn]] void finishStop(Connection &stopConnection);

// A connection's error: SIGKILL to the debugger, then exit.
[[noreturn]] void endOnConnectionError();

// The debugger child has exited: relay what it left, then exit (unless stop is ending the run).
void endOnDebuggerExit();
