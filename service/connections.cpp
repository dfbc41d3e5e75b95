#include <algorithm>
#include <chrono>

#include "environment/environment_block.h"
#include "platform/connection.h"
#include "service/service.h"

void Service::serveConnection(int fd)
{
    freeSetEnvironment();
    auto connection = std::make_shared<Connection>(fd);
    {
        std::lock_guard<std::mutex> guard(connectionsLock_);
        connections_.push_back(connection);
    }
    connection->receive([&](Message &message) { dispatch(message, connection); });
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
