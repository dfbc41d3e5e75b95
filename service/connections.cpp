#include <algorithm>
#include <chrono>
#include <exception>
#include <unistd.h>

#include "diagnostics/console.h"
#include "environment/environment_block.h"
#include "platform/queued_connection.h"
#include "service/service.h"

using local_debugger::Message;
using local_debugger::QueuedConnection;

namespace {

void closedFor(std::string_view reason)
{
    writeToConsole("local-debugger: connection closed: ");
    writeToConsole(reason);
    writeToConsole("\n");
}

} // namespace

void Service::serveConnection(int fd)
{
    freeSetEnvironment();
    std::shared_ptr<QueuedConnection> connection;
    try {
        connection = std::make_shared<QueuedConnection>(fd);
        if (std::string problem = connection->start(); !problem.empty()) {
            closedFor(problem);
            end(EndCause::ConnectionEnded);
        }
        {
            std::lock_guard<std::mutex> guard(connectionsLock_);
            connections_.push_back(connection);
        }
        connection->connection().receive([&](Message &message) { dispatch(message, connection); });
    } catch (const std::exception &error) {
        // Memory or threads ran out while serving: the connection ends as a broken one does.
        closedFor(error.what());
        if (!connection)
            close(fd);
    }
    end(EndCause::ConnectionEnded);
}

void Service::holdConnectionsForExit()
{
    // No host is left with half a message; a host that has stopped reading is not waited for
    // past the bound.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(2000);
    std::lock_guard<std::mutex> guard(connectionsLock_);
    for (const auto &connection : connections_) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        connection->holdForExit(std::max(left, std::chrono::milliseconds(0)));
    }
}
