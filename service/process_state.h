#pragma once
// Process-wide state of the one debugging run this process serves.

#include <atomic>
#include <memory>
#include <sys/types.h>

class Connection;

extern std::atomic<bool> alreadyLaunched;
// The result of the launch's fork: the child's pid, -1 after a failed fork, 0 before any.
extern std::atomic<pid_t> debuggerPid;
// Where send's bytes go: the back end's command pipe, or -1 while no back end was started.
extern std::atomic<int> commandWriteFd;

extern int commandPipe[2];
extern int stdinPipe[2];
extern int stdoutPipe[2];
extern int stderrPipe[2];
extern int eventPipe[2];

extern char pythonScriptPath[1024];
extern char gdbPath[1024];

// The connection that launched the debugger; relay messages go there.
void setClientConnection(std::shared_ptr<Connection> connection);
std::shared_ptr<Connection> clientConnection();

// Sends signo to the debugger only while it names a live, unreaped child of ours.
void signalDebugger(int signo);
// The child-exit path reaps the debugger; afterwards no signal goes to its pid.
bool reapDebuggerIfExited();
