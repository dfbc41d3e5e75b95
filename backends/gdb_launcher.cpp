// A GDB back end of the bundle: runs LD_GDB (LD_GDB_PREFERRED instead, where that one is
// executable) with the arguments it was given, less a data directory that is not GDB's. It needs
// nothing from the environment and nothing but libc.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "backends/gdb_arguments.h"

int main(int argc, char *argv[])
{
    const char *gdb = LD_GDB;
#ifdef LD_GDB_PREFERRED
    if (access(LD_GDB_PREFERRED, X_OK) == 0)
        gdb = LD_GDB_PREFERRED;
#endif
    char *alone[] = {nullptr, nullptr};
    char **arguments = argc > 0 ? argv : alone;
    const char *self = argc > 0 ? argv[0] : "gdb launcher";
    if (const char *slash = strrchr(self, '/'))
        self = slash + 1;
    // Filtered in place: argv has room for every argument and its terminating null.
    int count = argc > 0 ? argc - 1 : 0;
    arguments[1 + gdb_launcher::keptArguments(count, arguments + 1, arguments + 1)] = nullptr;
    // GDB finds its own files from its own name, so it gets that one, not the launcher's.
    arguments[0] = const_cast<char *>(gdb);
    execv(gdb, arguments);
    int error = errno;
    dprintf(STDERR_FILENO, "%s: cannot run %s: %s\n", self, gdb, strerror(error));
    return 127;
}
