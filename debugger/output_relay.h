#pragma once
// Carries everything the back end writes on its output descriptor to the host, one data
// message per read, in order, bytes unchanged.

#include <chrono>

#include "debugger/debugger_backend.h"

void startOutputRelay(int fd, DebuggerBackend backend);

// The debugger has exited: closes the service's own copy of the pipe's write end (if still
// open), lets the relay reach the end of the output, and waits for it at most limit.
void finishOutputRelay(std::chrono::milliseconds limit);

// Largest read, and so the largest data message.
constexpr size_t relayReadSize = 1 << 20;
