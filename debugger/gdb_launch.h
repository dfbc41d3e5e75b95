#pragma once

#include <optional>
#include <string_view>

#include "debugger/launch_plan.h"

// Looks for both GDB launchers in the bundle, before the service says it is launching: a launch
// then spends no lookups. One missing then is looked for again at its launch; one gone since
// fails at its exec, with the reason.
void findGdbLaunchers();

// The GDB back end's plan: gdb-aarch64 for "aarch64", gdb-x86_64 otherwise. None when its
// executable is not in the bundle or a pipe cannot be made.
std::optional<LaunchPlan> planGdbLaunch(std::optional<std::string_view> arch, PipeStock &pipes);
