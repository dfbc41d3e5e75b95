#pragma once
// Ends the run when the debugger child exits. The SIGCHLD handler only wakes a thread; that
// thread reaps the debugger alone, so tool runs and stops of the child never end the run.

// main: starts the thread that waits for wake-ups. SIGCHLD must be blocked in the caller.
void startChildExitWatcher();

// Each launch attempt installs the SIGCHLD record before it creates pipes and forks.
void installChildExitHandling();

// The child is recorded, its relay started and the launch answered: from now on its exit,
// even one that happened before this call, ends the run. So the launch reply always comes
// before the end of the run.
void debuggerRecorded();

void childExitHandler(int signo);
