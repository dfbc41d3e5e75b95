#pragma once
// The service blocks and ignores signals for its own reasons; children must not inherit that,
// yet keep what the service's starter gave them.

#include <cstdint>
#include <signal.h>

// Records the signal mask and the ignored signals the service was started with; main calls it
// before it changes any disposition.
void recordStartupSignals();

// The mask the service was started with (what a child should start from).
const sigset_t &startupSignalMask();

// Records which signals the service itself has given another disposition than it was started
// with (ignored or caught where the default was); main calls it once its own dispositions are
// set. A child resets exactly these: what the starter ignored stays ignored.
void recordChangedDispositions();

// Those signals, bit n-1 for signal n.
uint64_t changedDispositions();
