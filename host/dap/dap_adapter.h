#pragma once
// debugger-host --dap: a Debug Adapter Protocol adapter on standard input and output that starts
// the service (or reaches it through its socket) when the editor launches or attaches.

#include <functional>
#include <memory>
#include <string>

#include "host/service_client.h"

namespace local_debugger::dap {

struct ServiceAccess {
    // Starts or connects to the service for this back end ("gdb", "lldb"); nullptr with a reason.
    std::function<std::unique_ptr<ServiceClient>(const std::string &backend, ServiceClient::Callbacks,
                                                 std::string &reason)>
        open;
    // The environment block the debugger gets, before the launch request's env is applied.
    std::vector<std::string> environment;
    bool socket = false; // reached through a socket: it may not see this process's terminals
    bool log = false;
};

// Serves one editor session; the exit status.
int runAdapter(ServiceAccess access);

} // namespace local_debugger::dap
