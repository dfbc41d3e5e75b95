#pragma once

#include <optional>
#include <string_view>

#include "debugger/launch_plan.h"

// The GDB back end's plan: gdb-aarch64 for "aarch64", gdb-x86_64 otherwise. None when its
// executable is not in the bundle or a pipe cannot be made.
std::optional<LaunchPlan> planGdbLaunch(std::optional<std::string_view> arch, PipeStock &pipes);
