#pragma once
// Reading single values out of property-list files, XML or binary.

#include <optional>
#include <string>

// The string stored under key in the top-level dictionary of the property list at path.
// Absent when the file cannot be read or parsed, its top level is not a dictionary, the key is
// missing, or the value is not a string.
std::optional<std::string> readPropertyListString(const std::string &path, const std::string &key);
