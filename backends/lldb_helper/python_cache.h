// LLDB's Python module compiled at build time, in the bundle's python-cache directory.
#pragma once

namespace lldb_helper {

// While it lives, Python starting in this process reads compiled modules from the bundle's
// python-cache (PYTHONPYCACHEPREFIX), unless the environment already names a cache of its own.
// Python reads the variable only as it starts, so it is taken back when this ends, before any
// debuggee could inherit it.
class StartupPythonCache {
public:
    StartupPythonCache();
    ~StartupPythonCache();
    StartupPythonCache(const StartupPythonCache&) = delete;
    StartupPythonCache& operator=(const StartupPythonCache&) = delete;

private:
    bool set_ = false;
};

inline constexpr const char* kPythonCacheVariable = "PYTHONPYCACHEPREFIX";
inline constexpr const char* kPythonCacheDirectory = "python-cache";

}  // namespace lldb_helper
