#pragma once
// The arguments a GDB launcher hands on to GDB. Only libc: the launchers run before every GDB,
// and whatever they load adds to the time to GDB's first prompt.

#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace gdb_launcher {

// Whether directory holds GDB's Python package, as GDB's own data directory does.
inline bool holdsGdbPython(const char *directory)
{
    int fd = open(directory, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool held = faccessat(fd, "python/gdb/__init__.py", F_OK, 0) == 0;
    close(fd);
    return held;
}

// Whether an option name (length characters, past the dashes and before any "=") is option or
// an abbreviation of it at least shortest long: GDB takes both, after one dash or two.
inline bool names(const char *name, size_t length, const char *option, size_t shortest)
{
    return length >= shortest && strncmp(name, option, length) == 0;
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
        size_t length = strcspn(name, "=");
        if (strcmp(argument, "--") == 0 || names(name, length, "args", 2))
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
