#pragma once
// What every launch shares: the pipes, the fork, and recording the started child.

#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "debugger/debugger_backend.h"
#include "environment/environment_block.h"

// An argument vector built before the fork, so the child only reads it.
class ChildArguments {
public:
    explicit ChildArguments(std::vector<std::string> arguments);
    char *const *argv() { return pointers_.data(); }

private:
    std::vector<std::string> strings_;
    std::vector<char *> pointers_;
};

// The child's environment, a copy of the block taken before the fork; freed with the object.
class ChildEnvironment {
public:
    ChildEnvironment() : block_(snapshotEnvironment()) {}
    ~ChildEnvironment() { freeSetEnvironment(block_); }
    ChildEnvironment(const ChildEnvironment &) = delete;
    ChildEnvironment &operator=(const ChildEnvironment &) = delete;
    EnvironBlock &block() { return block_; }
    char *const *envp() const { return block_; }

private:
    EnvironBlock block_;
};

// Creates the pipes in order, inheritable on purpose; on failure closes what it made.
bool createPipes(std::initializer_list<int *> pipes);
void closePipes(std::initializer_list<int *> pipes);

// A larger pipe for the back end's output lets the relay move more per read; best effort.
void enlargeOutputPipe(int readFd);

// Forks and stores the result in debuggerPid before testing it. The child runs childBody,
// which must only make async-signal-safe calls and must not return.
pid_t forkDebugger(const std::function<void()> &childBody);

// Console line for a failed fork; the attempt then returns false.
void reportFailedFork(int error);

// In the service after a successful fork: send's bytes go to commandFd, the relay reads
// outputFd, the discard pipes are drained, and the run is marked launched. The caller then
// replies, and only after that lets the child's exit end the run (debuggerRecorded).
void recordLaunchedDebugger(DebuggerBackend backend, int commandFd, int outputFd,
                            std::initializer_list<int> discardFds);

// Async-signal-safe: write all bytes to fd, ignoring failures.
void writeChildText(int fd, const char *text, size_t length);
