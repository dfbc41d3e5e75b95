#pragma once
// debugger-host --dap: a Debug Adapter Protocol adapter on standard input and output that starts
// the service (or reaches it through its socket) when the editor launches or attaches.

#include <functional>
#include <memory>
#include <string>

#include "host/launch_handshake.h"

namespace local_debugger::dap {

struct ServiceAccess {
    // Where the service for this back end ("gdb", "lldb") is. One reached through a socket may
    // not see this process's terminals.
    std::function<ServicePlace(const std::string &backend)> place;
    // The environment block the debugger gets, before the launch request's env is applied.
    std::vector<std::string> environment;
    bool log = false;
};

// Serves one editor session; the exit status.
int runAdapter(ServiceAccess access);

} // namespace local_debugger::dap
