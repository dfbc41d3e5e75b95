#pragma once
// One run of a toolchain tool that answers with a path on its standard output.

#include <string>
#include <vector>

enum class ToolRunOutcomeKind {
    Failed,  // the tool could not run, exited with a non-zero status, or printed nothing
    Missing, // it printed something that is not UTF-8 or names nothing that exists
    Found,   // it printed the path of something that exists
};

struct ToolRunOutcome {
    ToolRunOutcomeKind kind = ToolRunOutcomeKind::Failed;
    std::string path; // set for Found only

    static ToolRunOutcome failed() { return {ToolRunOutcomeKind::Failed, {}}; }
    static ToolRunOutcome missing() { return {ToolRunOutcomeKind::Missing, {}}; }
    static ToolRunOutcome found(std::string path) { return {ToolRunOutcomeKind::Found, std::move(path)}; }

    bool operator==(const ToolRunOutcome &) const = default;
};

// Runs the tool at toolPath and takes its whole standard output, less one final newline, as
// a path. Blocks until the tool has exited.
ToolRunOutcome runToolForPath(const std::string &toolPath, const std::vector<std::string> &arguments);
