#pragma once

#include <memory>

class Connection;

// Each starts its LLDB back end over the command and event pipes; true when a child was forked.
bool launchLldbHelper(const std::shared_ptr<Connection> &connection);
bool launchLldbPython(const std::shared_ptr<Connection> &connection);
