#pragma once
// The service blocks and ignores signals for its own reasons; children must not inherit that.

#include <signal.h>

// Records the signal mask the service was started with; main calls it first.
void recordStartupSignalMask();

// The mask the service was started with (what a child should start from).
const sigset_t &startupSignalMask();
