#pragma once

#include <optional>

#include "debugger/launch_plan.h"

// Each LLDB back end's plan, over the command and event pipes kept under their own numbers.
// None when what it needs cannot be found, a path does not fit a child's 1024-byte buffer,
// or a pipe cannot be made.
std::optional<LaunchPlan> planLldbHelperLaunch(PipeStock &pipes);
std::optional<LaunchPlan> planLldbPythonLaunch(PipeStock &pipes);
