#pragma once
// The arguments a GDB launcher hands on to GDB. No C library: the launchers run before every
// GDB, and whatever they load adds to the time to GDB's first prompt.

#include <cstddef>
#include <unistd.h>

#include "backends/launcher_calls.h"

namespace gdb_launcher {

// Whether directory holds GDB's Python package, as GDB's own data directory does.
inline bool holdsGdbPython(const char *directory)
{
    int fd = launcher_calls::openDirectory(directory);
    if (fd < 0)
        return false;
    bool held = launcher_calls::accessible(fd, "python/gdb/__init__.py", F_OK);
    launcher_calls::close(fd);
    return held;
}

// Whether an option name (length characters, past the dashes and before any "=") is option or
// an abbreviation of it at least shortest long: GDB takes both, after one dash or two.
inline bool names(const char *name, size_t length, const char *option, size_t shortest)
{
    if (length < shortest)
        return false;
    for (size_t i = 0; i < length; ++i) {
        if (option[i] == '\0' || option[i] != name[i])
            return false;
    }
    return true;
}

inline size_t lengthBefore(const char *text, char stop)
{
    size_t length = 0;
    while (text[length] != '\0' && text[length] != stop)
        ++length;
    return length;
}

// Writes to kept the arguments (count of them) that GDB is to get, in order, and returns how
// many; kept may be arguments itself. All are kept but a data directory option whose directory
// lacks GDB's Python package: the service names ".", its working directory, and GDB given that
// runs without its Python support (no pretty printers, an error at every stop). Left out, GDB
// keeps its own. As for GDB, options end at "--" and "--args".
inline int keptArguments(int count, char *const arguments[], char *kept[])
{
    int held = 0;
    bool options = true;
    for (int i = 0; i < count; ++i) {
        char *argument = arguments[i];
        if (!options || argument[0] != '-') {
            kept[held++] = argument;
            continue;
        }
        const char *name = argument + (argument[1] == '-' ? 2 : 1);
        size_t length = lengthBefore(name, '=');
        if ((argument[1] == '-' && argument[2] == '\0') || names(name, length, "args", 2))
            options = false;
        if (!names(name, length, "D", 1) && !names(name, length, "data-directory", 2)) {
            kept[held++] = argument;
        } else if (name[length] == '=') {
            if (holdsGdbPython(name + length + 1))
                kept[held++] = argument;
        } else if (i + 1 == count) {
            kept[held++] = argument; // no value: GDB says so itself
        } else {
            char *value = arguments[++i];
            if (holdsGdbPython(value)) {
                kept[held++] = argument;
                kept[held++] = value;
            }
        }
    }
    return held;
}

} // namespace gdb_launcher
