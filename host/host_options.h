#pragma once
// debugger-host's command line: what it asks for, checked, or the exit status it ends with.

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace local_debugger {

// Exit statuses of debugger-host, as its --help states them.
constexpr int exitUsage = 2;
constexpr int exitNoService = 3;
constexpr int exitRefused = 4;
constexpr int exitServiceFailed = 5;
constexpr int exitDebuggerSilent = 6;
constexpr int exitDebuggerDied = 7;

struct HostOptions {
    bool gdb = false;
    bool lldb = false;
    std::optional<std::string> lldbLayout; // "lldb" (helper) or "lldb-python" (script)
    std::optional<std::string> arch;
    std::optional<std::string> root;
    bool clearEnvironment = false;
    std::vector<std::string> extraEnvironment;
    bool log = false;
    std::optional<std::string> service;
    std::optional<std::string> socket; // a listening service's socket, instead of starting one
    std::chrono::milliseconds answerTimeout{10000};
    bool raw = false;
    bool noInitFiles = false;
    bool dap = false;
    std::optional<std::string> program; // by absolute path
    std::vector<std::string> arguments;
};

// The options to run with; or none, with the exit status to end with once --help, --version or
// a usage problem has been written.
struct CommandLine {
    std::optional<HostOptions> options;
    int exitStatus = 0;
};

CommandLine parseOptions(int argc, char **argv);

} // namespace local_debugger
