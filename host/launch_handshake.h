#pragma once
// The start of every debugger-host run, whatever the front end: reach the service (start it, or
// connect to its socket), hand it the debugger's environment, and ask it to launch the debugger.

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/service_client.h"

namespace local_debugger {

// Where the service is: listening at socket, or else to be started as start says.
struct ServicePlace {
    std::optional<std::string> socket;
    ServiceStartOptions start;
    // Our standard input and output carry another protocol: a started service gets /dev/null
    // and our standard error instead.
    bool keepOffStandardStreams = false;
};

// The connected client; or none, with why (its text starts "cannot ...").
struct OpenedService {
    std::unique_ptr<ServiceClient> client;
    std::string problem;
};

OpenedService openService(const ServicePlace &place, ServiceClient::Callbacks callbacks);

struct LaunchRequest {
    bool gdb = true; // else LLDB
    std::optional<std::string> arch;
    std::vector<uint8_t> environment; // the set_env payload
    bool log = false;                 // the service's diagnostic log on
};

enum class LaunchOutcome { Launched, Refused, NoAnswer };

LaunchOutcome requestLaunch(ServiceClient &client, const LaunchRequest &request);

} // namespace local_debugger
