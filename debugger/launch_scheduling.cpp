#include "debugger/launch_scheduling.h"

#include <linux/sched.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// The shortest slice a normal task may ask for.
constexpr uint64_t shortSlice = 100'000;

} // namespace

// A thread that resets its children's scheduling is left alone: its child could not be given
// back what that reset gives it. The kernel reports the slice a thread runs with whether or not
// one was asked for, so what is set back has the same length either way.
LaunchScheduling::LaunchScheduling()
{
    SchedulingAttributes own{};
    if (syscall(SYS_sched_getattr, 0, &own, sizeof own, 0) != 0 ||
        (own.policy != SCHED_OTHER && own.policy != SCHED_BATCH) || (own.flags & SCHED_FLAG_RESET_ON_FORK) != 0)
        return;
    own.size = sizeof own;
    SchedulingAttributes brief = own;
    brief.runtime = shortSlice;
    if (syscall(SYS_sched_setattr, 0, &brief, 0) == 0)
        own_ = own;
    cpu_set_t allowed;
    const int cpu = sched_getcpu();
    if (cpu < 0 || sched_getaffinity(0, sizeof allowed, &allowed) != 0)
        return;
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    if (sched_setaffinity(0, sizeof one, &one) == 0)
        cpus_ = allowed;
}

void LaunchScheduling::end()
{
    if (cpus_) {
        if (child_ > 0)
            sched_setaffinity(child_, sizeof *cpus_, &*cpus_);
        sched_setaffinity(0, sizeof *cpus_, &*cpus_);
    }
    if (own_)
        syscall(SYS_sched_setattr, 0, &*own_, 0);
    own_.reset();
    cpus_.reset();
    child_ = -1;
}
