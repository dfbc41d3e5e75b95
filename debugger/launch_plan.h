#pragma once
// A back end's launch as data, built before any child exists: what to execute, its arguments
// and environment, the descriptors it gets and where, its signal mask, and what the service
// keeps of the pipes. The three back ends differ only in the plan they build.

#include <csignal>
#include <functional>
#include <string>
#include <vector>

#include "debugger/launch_scheduling.h"
#include "debugger/pipe_stock.h"
#include "diagnostics/child_line.h"
#include "platform/unique_fd.h"
#include "toolchain/debugger_backend.h"

// The most pipes a plan leaves to be drained (an LLDB back end's standard output and error).
constexpr size_t maxDrainedPipes = 2;

struct LaunchPlan {
    struct Placement {
        UniqueFd source; // the service's copy, closed once the child has started
        int target;      // the child's number for it; the source's own number keeps it there
    };

    DebuggerBackend backend = DebuggerBackend::Gdb;
    std::string executable;
    std::vector<std::string> arguments; // from argument 0
    std::vector<std::string> environment;
    // Exactly the descriptors the child holds; everything else is close-on-exec.
    std::vector<Placement> descriptors;
    sigset_t unblocked; // taken out of the mask the service started with
    // The launch's CPU and short slice, which the started child inherits; null: none taken.
    LaunchScheduling *scheduling = nullptr;
    std::vector<ChildLine> linesBeforeExec;
    // Written by the service when the executable cannot be executed (empty: none).
    std::string failureDiagnostic;
    std::string failureConsoleLine;

    // The service's ends: send's bytes go to command, the relay reads output, drained pipes
    // are read and discarded, held ones are kept open unwritten.
    UniqueFd command;
    UniqueFd output;
    std::vector<UniqueFd> drained; // at most maxDrainedPipes
    std::vector<UniqueFd> held;

    LaunchPlan() { sigemptyset(&unblocked); }
};

// The child's copy of the environment block, edited by edit ("NAME=value" entries, none when
// the host sent none); the service's own block stays as the host sent it.
std::vector<std::string> environmentForChild(const std::function<void(char **&)> &edit = {});

// The child's standard pipes: input as given, output and error from the stock; the child's
// ends placed on 0, 1 and 2. false when a pipe could not be made.
bool placeStandardPipes(LaunchPlan &plan, PipeStock &stock, Pipe &input, Pipe &output, Pipe &error);
