#pragma once
// The one way a back end is started: a vfork-class child (it shares the service's memory and
// the launching thread waits until it has executed), so no page tables are copied.

#include <sys/types.h>

#include "debugger/launch_plan.h"
#include "platform/unique_fd.h"

struct ChildStart {
    enum class Outcome { Started, NotCreated, NotExecuted } outcome = Outcome::NotCreated;
    pid_t pid = -1;
    UniqueFd pidfd;
    int error = 0; // errno of the failed clone or exec
};

// Starts the plan's executable. A child whose exec failed is reaped before this returns. The
// parent-death signal follows the calling thread: call it from a thread that lasts the run.
ChildStart startChild(const LaunchPlan &plan);

// Waits for the child behind pidfd to end and collects it.
void reapChild(int pidfd);
