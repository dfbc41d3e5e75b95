// Parent and child links between local processes, read from /proc.
#pragma once

#include <optional>
#include <sys/types.h>
#include <vector>

namespace lldb_helper {

std::optional<pid_t> parent_of(pid_t pid);

// Direct children of the calling process; nothing when /proc cannot be read.
std::optional<std::vector<pid_t>> own_children();

// Every process below root, children before grandchildren.
std::vector<pid_t> descendants_of(pid_t root);

}  // namespace lldb_helper
