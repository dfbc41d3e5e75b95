#pragma once

#include <memory>
#include <optional>
#include <string_view>

class Connection;

// Starts the GDB back end; true when a child was forked.
bool launchGdb(const std::shared_ptr<Connection> &connection, std::optional<std::string_view> arch);
