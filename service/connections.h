#pragma once

#include <memory>

#include "platform/message.h"

class Connection;

// A new host connection: empties the environment block, then serves the connection's
// events one at a time, in order, on a thread of its own (or on the caller's).
void handleNewConnection(int fd, bool onThisThread);

// One event of a connection: a message, or (message == nullptr) its error.
void handleConnectionEvent(const std::shared_ptr<Connection> &connection, const Message *message);
