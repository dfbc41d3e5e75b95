#pragma once
// Everything a started child reads between its creation and its exec, laid out beforehand as
// plain data: the child shares the service's memory and runs no code but its own body.

#include <cstddef>
#include <cstdint>
#include <sys/types.h>

#include "debugger/launch_scheduling.h"

struct ChildPlacement {
    int source;
    int target; // source == target: kept under its own number
};

// A line the child writes: parts[0], its pid, then parts[1] and its pid again when pidCount
// is 2, then parts[2].
struct ChildText {
    const char *parts[3];
    size_t lengths[3];
    int pidCount;
    int fd;
};

struct ChildImage {
    const char *path;
    char *const *argv;
    char *const *envp;
    const ChildPlacement *placements;
    size_t placementCount;
    const ChildText *texts;
    size_t textCount;
    uint64_t signalMask;                    // in the kernel's layout: bit n-1 for signal n
    uint64_t resetSignals;                  // dispositions set back to the default, the same layout
    const SchedulingAttributes *scheduling; // set before the exec; null: kept as inherited
    pid_t service;
    int execError; // written by the child when its exec fails
};

// The child's entry: never returns to the caller's code, it executes or exits with 255.
extern "C" int runChildBody(void *image);

// The clone system call itself, made here rather than through libc, whose wrapper a sanitizer
// may take over and treat as a fork. flags must hold CLONE_VM and CLONE_VFORK; the child starts
// runChildBody(image) on stackTop. Returns the child's pid or a negative errno.
extern "C" long cloneChild(unsigned long flags, void *stackTop, int *pidfd, ChildImage *image);
