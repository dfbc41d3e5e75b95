#pragma once

#include <memory>

#include "platform/message.h"

class Connection;

// Maps one message to its command; replies only to requests of the three replying commands.
void dispatchMessage(const Message &message, const std::shared_ptr<Connection> &connection);
