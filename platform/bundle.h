#pragma once
// The bundle: the directory that holds the running service, its back ends and its script.

#include <optional>
#include <string>

// Paths handed to a child must fit a 1024-byte buffer with its NUL.
constexpr size_t maxChildPathLength = 1023;

std::optional<std::string> bundleDirectory();
// A regular, executable file of that name in the bundle.
std::optional<std::string> auxiliaryExecutablePath(const std::string &name);
// A regular file named name + "." + type in the bundle.
std::optional<std::string> resourcePath(const std::string &name, const std::string &type);
