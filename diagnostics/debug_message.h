#pragma once
// The diagnostic log: off until the host's "log" command, never switched off again.

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "diagnostics/child_line.h"

extern std::atomic<bool> loggingEnabled;

// Chooses where entries go; main calls it once at start. With TORVEX_DEBUGGER_LOG=stderr
// the entries go to the saved standard error instead of syslog.
void initDiagnosticLog();

// The "log" command: a fresh handle replaces the old one, logging goes on.
void startMessageLogger();

// Writes "[TORVEX_DEBUGGER(XPC)] " + message while logging is on; an absent message is dropped.
void debugMessage(std::optional<std::string_view> message);

// The same for label followed by the bytes' hexDump, composed once into storage this thread
// keeps: the relay logs every chunk it carries this way.
void debugHexMessage(std::string_view label, const uint8_t *bytes, size_t count);

// In-process tests: entries (the whole text, prefix included) go to sink instead; an empty
// function restores the normal outlet.
void captureDiagnosticsForTesting(std::function<void(const std::string &)> sink);

// A diagnostic entry for a forked child to write; not prepared while logging is off.
ChildLine prepareChildDiagnostic(std::string_view message);
