#pragma once
// The one loop that writes a whole buffer to a descriptor.

#include <string_view>

// Writes all of bytes to fd, going on after a signal or a short write; false when a write fails
// (errno says why) or writes nothing.
bool writeAll(int fd, std::string_view bytes);
