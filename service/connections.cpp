#include "service/connections.h"

#include <thread>

#include "environment/environment_block.h"
#include "platform/connection.h"
#include "service/dispatch.h"
#include "service/termination.h"

namespace {

void serveConnection(const std::shared_ptr<Connection> &connection)
{
    connection->receive([&](Message &message) { handleConnectionEvent(connection, &message); });
    handleConnectionEvent(connection, nullptr);
}

} // namespace

void handleNewConnection(int fd, bool onThisThread)
{
    freeSetEnvironment();
    auto connection = std::make_shared<Connection>(fd);
    if (onThisThread)
        serveConnection(connection);
    else
        std::thread(serveConnection, connection).detach();
}

void handleConnectionEvent(const std::shared_ptr<Connection> &connection, const Message *message)
{
    if (message == nullptr)
        endOnConnectionError();
    dispatchMessage(*message, connection);
}
