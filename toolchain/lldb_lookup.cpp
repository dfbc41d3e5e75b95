#include "toolchain/lldb_lookup.h"

#include "diagnostics/debug_message.h"
#include "platform/paths.h"
#include "platform/system_root.h"
#include "toolchain/tool_run_outcome.h"
#include "toolchain/toolchain_messages.h"

namespace {

std::optional<std::string> pythonFallbackPath(const std::string &lldbPath)
{
    std::string base = lldbPath;
    for (int level = 0; level < pythonFallbackLevels; ++level)
        base = parentPath(base);
    std::string candidate = joinPath(base, std::string(pythonFallbackSuffix));
    if (!pathExists(candidate))
        return std::nullopt;
    return candidate;
}

} // namespace

std::optional<std::string> findLldbPath()
{
    const std::string finder = rootedPath(toolFinderPath);
    if (!pathExists(finder)) {
        debugMessage(xcrunMissingMessage);
    } else {
        ToolRunOutcome outcome = runToolForPath(finder, {"-find", std::string(lldbToolName)});
        if (outcome.kind == ToolRunOutcomeKind::Found) {
            debugMessage(formatMessage(toolFoundFormat, {lldbToolName, outcome.path}));
            return std::move(outcome.path);
        }
    }

    debugMessage(formatMessage(toolNotFoundTryingDefaultsFormat, {lldbToolName}));
    for (std::string_view fixedPath : defaultLldbPaths) {
        std::string candidate = rootedPath(fixedPath);
        if (pathExists(candidate))
            return candidate;
    }
    debugMessage(formatMessage(toolNotFoundFormat, {lldbToolName}));
    return std::nullopt;
}

std::optional<std::string> lldbPythonPath(const std::optional<std::string> &lldbPath)
{
    std::optional<std::string> pythonDirectory;
    if (lldbPath && pathExists(*lldbPath)) {
        ToolRunOutcome outcome = runToolForPath(*lldbPath, {std::string(pythonDirectoryArgument)});
        switch (outcome.kind) {
        case ToolRunOutcomeKind::Found:
            pythonDirectory = std::move(outcome.path);
            break;
        case ToolRunOutcomeKind::Missing:
            pythonDirectory = pythonFallbackPath(*lldbPath);
            break;
        case ToolRunOutcomeKind::Failed:
            break;
        }
    }
    std::optional<std::string_view> shown;
    if (pythonDirectory)
        shown = *pythonDirectory;
    debugMessage(formatMessage(pythonFrameworkFoundFormat, {shown}));
    return pythonDirectory;
}
