#pragma once
// How the launching thread and its child are scheduled from before the child is made until the
// launch has been answered: on the launching thread's CPU, with a short time slice. The
// scheduler runs the waiting task with the earliest deadline, and a task's deadline is its slice
// away: on a busy CPU a new task, and the thread it wakes by its exec, would otherwise each wait
// for the running task's slice to end. Held on that CPU, the exec cannot move the child to
// another CPU (where it waited behind the task running there) nor the launching thread's wake-up
// follow it.

#include <cstdint>
#include <optional>
#include <sched.h>
#include <sys/types.h>

// The kernel's sched_attr as sched_getattr and sched_setattr take it (its first published size).
struct SchedulingAttributes {
    uint32_t size;
    uint32_t policy;
    uint64_t flags;
    int32_t nice;
    uint32_t priority;
    uint64_t runtime; // a normal task's time slice in ns
    uint64_t deadline;
    uint64_t period;
};
static_assert(sizeof(SchedulingAttributes) == 48);

// Lives on the launching thread's stack, across the child's start and the reply.
class LaunchScheduling {
public:
    // Holds the calling thread on its CPU with the short slice; leaves either as it is when
    // the thread is not a normal task, resets its children's scheduling, or the kernel refuses.
    LaunchScheduling();
    ~LaunchScheduling() { end(); }
    LaunchScheduling(const LaunchScheduling &) = delete;
    LaunchScheduling &operator=(const LaunchScheduling &) = delete;

    // The thread's own attributes, which the child sets itself back to before its exec (a
    // task's deadline follows from its slice when it is set: with the short one the child would
    // come before the host the reply wakes); null when they were not changed.
    const SchedulingAttributes *own() const { return own_ ? &*own_ : nullptr; }
    // The started child inherited the CPU: end() gives it the thread's CPUs back too.
    void adopt(pid_t child) { child_ = child; }
    // Gives the child and then the calling thread the thread's own CPUs back, and the thread its
    // own slice. Before the child can be reaped, so that its pid is still its own; once only.
    void end();

private:
    std::optional<SchedulingAttributes> own_;
    std::optional<cpu_set_t> cpus_;
    pid_t child_ = -1;
};
