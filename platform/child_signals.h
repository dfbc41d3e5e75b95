#pragma once
// The service blocks and ignores signals for its own reasons; children must not inherit that.

#include <cstdint>
#include <signal.h>

// Records the signal mask the service was started with; main calls it first.
void recordStartupSignalMask();

// The mask the service was started with (what a child should start from).
const sigset_t &startupSignalMask();

// Records which signals have a disposition other than the default (ignored or caught); main
// calls it once its own dispositions are set. A child resets exactly these.
void recordChangedDispositions();

// Those signals, bit n-1 for signal n.
uint64_t changedDispositions();
