#include "toolchain/developer_directory.h"

#include "diagnostics/debug_message.h"
#include "platform/paths.h"
#include "platform/system_root.h"
#include "toolchain/tool_run_outcome.h"
#include "toolchain/toolchain_messages.h"

std::optional<std::string> developerDirectoryPath()
{
    std::optional<std::string> candidate;
    const std::string tool = rootedPath(developerDirectoryTool);
    if (!pathExists(tool)) {
        debugMessage(xcodeSelectMissingMessage);
    } else {
        ToolRunOutcome outcome = runToolForPath(tool, {"-p"});
        if (outcome.kind == ToolRunOutcomeKind::Found)
            candidate = std::move(outcome.path);
    }

    if (candidate && candidate->find(commandLineToolsMarker) == std::string::npos)
        return candidate;
    std::string fallback = rootedPath(defaultDeveloperDirectory);
    if (pathExists(fallback))
        return fallback;
    return candidate;
}

std::optional<std::string> sharedFrameworksPath()
{
    std::optional<std::string> developerDirectory = developerDirectoryPath();
    if (!developerDirectory)
        return std::nullopt;
    return joinPath(parentPath(*developerDirectory), std::string(sharedFrameworksDirectoryName));
}
