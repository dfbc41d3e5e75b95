#include "host/launch_handshake.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#include "platform/unique_fd.h"

namespace local_debugger {

using namespace std::chrono_literals;

OpenedService openService(const ServicePlace &place, ServiceClient::Callbacks callbacks)
{
    OpenedService opened;
    ServiceStartOptions start = place.start;
    UniqueFd nothing; // closed once the service holds its copy, after errno has been read
    if (place.keepOffStandardStreams && !place.socket) {
        nothing.reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
        start.stdinFd = nothing.get();
        start.stdoutFd = STDERR_FILENO;
    }
    opened.client = place.socket ? ServiceClient::connectTo(*place.socket, std::move(callbacks))
                                 : ServiceClient::start(start, std::move(callbacks));
    if (!opened.client)
        opened.problem = (place.socket ? "cannot connect to " + *place.socket : "cannot start " + start.executable) +
                         ": " + strerror(errno);
    return opened;
}

LaunchOutcome requestLaunch(ServiceClient &client, const LaunchRequest &request)
{
    client.sendData("set_env", request.environment);
    if (request.log)
        client.sendCommand("log");
    MessageDictionary launch;
    launch.setString("command", request.gdb ? "launch_gdb" : "launch_lldb");
    if (request.arch)
        launch.setString("arch", *request.arch);
    const std::optional<MessageDictionary> reply = client.request(launch, 60s);
    if (!reply)
        return LaunchOutcome::NoAnswer;
    return reply->getBool("result") == true ? LaunchOutcome::Launched : LaunchOutcome::Refused;
}

} // namespace local_debugger
