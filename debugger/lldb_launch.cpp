#include "debugger/lldb_launch.h"

#include <string>

#include "diagnostics/console.h"
#include "diagnostics/debug_message.h"
#include "environment/environment_block.h"
#include "platform/bundle.h"
#include "platform/system_root.h"
#include "toolchain/developer_directory.h"
#include "toolchain/lldb_lookup.h"

namespace {

bool fitsChild(const std::optional<std::string> &path)
{
    return path && path->size() <= maxChildPathLength;
}

// Both LLDB back ends: the standard pipes on 0, 1 and 2 (standard input held open, unwritten;
// the other two drained), the command pipe's read end and the event pipe's write end under
// their own numbers, which the last two arguments name.
bool placeLldbPipes(LaunchPlan &plan, PipeStock &pipes, std::vector<std::string> leadingArguments)
{
    Pipe input = pipes.take();
    Pipe output, error;
    Pipe command = pipes.takeCommand();
    Pipe event = pipes.take();
    if (!placeStandardPipes(plan, pipes, input, output, error) || !command.read || !event.read)
        return false;
    leadingArguments.push_back(std::to_string(command.read.get()));
    leadingArguments.push_back(std::to_string(event.write.get()));
    plan.arguments = std::move(leadingArguments);
    const int commandNumber = command.read.get();
    const int eventNumber = event.write.get();
    plan.descriptors.push_back({std::move(command.read), commandNumber});
    plan.descriptors.push_back({std::move(event.write), eventNumber});
    plan.command = std::move(command.write);
    plan.output = std::move(event.read);
    plan.drained.push_back(std::move(output.read));
    plan.drained.push_back(std::move(error.read));
    plan.held.push_back(std::move(input.write));
    return true;
}

} // namespace

std::optional<LaunchPlan> planLldbHelperLaunch(PipeStock &pipes)
{
    consoleLine("Launching LLDB (C++)\u2026");
    std::optional<std::string> helper = auxiliaryExecutablePath("lldb-helper");
    std::optional<std::string> frameworks = sharedFrameworksPath();
    if (!fitsChild(frameworks) || !fitsChild(helper))
        return std::nullopt;

    LaunchPlan plan;
    if (!placeLldbPipes(plan, pipes, {*helper}))
        return std::nullopt;
    plan.backend = DebuggerBackend::LldbHelper;
    plan.executable = *helper;
    plan.environment = environmentForChild([&](EnvironBlock &block) {
        const char *existing = getEnvironValue(block, "DYLD_FRAMEWORK_PATH");
        std::string value = existing != nullptr ? std::string(existing) + ":" + *frameworks : *frameworks;
        setEnvironVariable(block, "DYLD_FRAMEWORK_PATH", value.c_str());
    });
    plan.linesBeforeExec.push_back(prepareChildDiagnostic("LLDB helper thread launched"));
    plan.linesBeforeExec.push_back(prepareChildConsoleLine("LLDB helper thread alive"));
    plan.failureDiagnostic = "Cannot launch LLDB helper";
    plan.failureConsoleLine = "CANNOT LAUNCH LLDB!!!";
    return plan;
}

std::optional<LaunchPlan> planLldbPythonLaunch(PipeStock &pipes)
{
    consoleLine("Launching LLDB (Python)\u2026");
    std::optional<std::string> pythonDirectory = lldbPythonPath(findLldbPath());
    if (!fitsChild(pythonDirectory))
        return std::nullopt;
    // Looked up before anything is made, so a missing script changes nothing.
    std::optional<std::string> script = resourcePath("lldb_server", "py");
    std::optional<std::string> python = rootedPath("/usr/bin/python");
    if (!fitsChild(script) || !fitsChild(python))
        return std::nullopt;

    LaunchPlan plan;
    if (!placeLldbPipes(plan, pipes, {*python, *script}))
        return std::nullopt;
    debugMessage("Python script found at " + *script);
    plan.backend = DebuggerBackend::LldbPython;
    plan.executable = *python;
    plan.environment = environmentForChild(
        [&](EnvironBlock &block) { setEnvironVariable(block, "PYTHONPATH", pythonDirectory->c_str()); });
    plan.linesBeforeExec.push_back(prepareChildDiagnostic("Python thread launched"));
    plan.failureDiagnostic = "Cannot launch Python";
    return plan;
}
