#pragma once
// send's bytes wait here, in order, for the back end to read them, so that a back end that
// does not read never holds up break, stop or a connection error.

#include <cstddef>
#include <cstdint>
#include <vector>

constexpr size_t commandQueueLimit = 64u << 20;

// main: starts the writer thread.
void startCommandWriter();

// Queues the bytes for the back end's command descriptor; drops them while no back end was
// started. Waits only while the queue already holds commandQueueLimit bytes.
void enqueueCommandBytes(std::vector<uint8_t> bytes);
