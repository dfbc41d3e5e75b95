#include "debugger/gdb_launch.h"

#include <iterator>

#include "diagnostics/console.h"
#include "platform/bundle.h"

namespace {

constexpr const char *launcherNames[] = {"gdb-x86_64", "gdb-aarch64"};
// Written before any connection is served, only read after.
std::optional<std::string> launchersFound[std::size(launcherNames)];

} // namespace

void findGdbLaunchers()
{
    for (size_t i = 0; i < std::size(launcherNames); ++i)
        launchersFound[i] = auxiliaryExecutablePath(launcherNames[i]);
}

std::optional<LaunchPlan> planGdbLaunch(std::optional<std::string_view> arch, PipeStock &pipes)
{
    consoleLine("Launching GDB\u2026");
    const size_t which = arch && *arch == "aarch64" ? 1 : 0;
    std::optional<std::string> path = launchersFound[which];
    if (!path)
        path = auxiliaryExecutablePath(launcherNames[which]);
    if (!path)
        return std::nullopt;

    LaunchPlan plan;
    // GDB reads its commands on standard input.
    Pipe input = pipes.takeCommand();
    Pipe output, error;
    if (!placeStandardPipes(plan, pipes, input, output, error))
        return std::nullopt;
    plan.backend = DebuggerBackend::Gdb;
    plan.executable = *path;
    plan.arguments = {*path, "--quiet", "--interpreter=mi2", "--nx", "-D", "."};
    plan.environment = environmentForChild();
    sigaddset(&plan.unblocked, SIGINT);
    plan.command = std::move(input.write);
    plan.output = std::move(output.read);
    plan.drained.push_back(std::move(error.read));
    return plan;
}
