#include "debugger/launch_plan.h"

#include "environment/environment_block.h"

std::vector<std::string> environmentForChild(const std::function<void(char **&)> &edit)
{
    EnvironBlock block = snapshotEnvironment();
    if (edit)
        edit(block);
    std::vector<std::string> entries;
    for (char **entry = block; entry != nullptr && *entry != nullptr; ++entry)
        entries.emplace_back(*entry);
    freeSetEnvironment(block);
    return entries;
}

bool placeStandardPipes(LaunchPlan &plan, PipeStock &stock, Pipe &input, Pipe &output, Pipe &error)
{
    output = stock.take();
    error = stock.take();
    if (!input.read || !output.read || !error.read)
        return false;
    plan.descriptors.push_back({std::move(input.read), 0});
    plan.descriptors.push_back({std::move(output.write), 1});
    plan.descriptors.push_back({std::move(error.write), 2});
    return true;
}
