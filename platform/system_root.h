#pragma once
// The fixed toolchain paths are looked up under a system root, so that a machine (or a test)
// can lay out a toolchain of its own without touching the real "/usr/bin".

#include <string>
#include <string_view>

// Reads TORVEX_DEBUGGER_ROOT once; "/" when it is unset or empty. main calls it at start.
void initSystemRoot();

// Replaces the root. A relative root is taken relative to the current directory.
void setSystemRoot(std::string root);

// The root itself, without a trailing slash unless it is "/".
std::string systemRoot();

// fixedAbsolutePath under the root, joined with exactly one "/"; unchanged under "/".
std::string rootedPath(std::string_view fixedAbsolutePath);
