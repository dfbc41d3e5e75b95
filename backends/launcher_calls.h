#pragma once
// The system calls a GDB launcher makes, made directly. A launcher runs before every GDB and links
// no C library: the library's start-up alone is a millisecond of the wait for GDB's first prompt.
// Each returns what the kernel does: a negative errno on failure.

#include <cerrno>
#include <fcntl.h>
#include <sys/syscall.h>

#include "platform/raw_system_call.h"

namespace launcher_calls {

using raw_system_call::call;

inline long arg(const void *pointer)
{
    return reinterpret_cast<long>(pointer);
}

inline int openDirectory(const char *path)
{
    return static_cast<int>(call(SYS_openat, AT_FDCWD, arg(path), O_PATH | O_DIRECTORY | O_CLOEXEC));
}

inline bool accessible(int directory, const char *path, int mode)
{
    return call(SYS_faccessat, directory, arg(path), mode, 0) == 0;
}

inline void close(int fd)
{
    call(SYS_close, fd);
}

inline long execute(const char *path, char *const arguments[], char *const environment[])
{
    return call(SYS_execve, arg(path), arg(arguments), arg(environment));
}

inline void write(int fd, const char *text, long length)
{
    while (length > 0) {
        long written = call(SYS_write, fd, arg(text), length);
        if (written == -EINTR)
            continue;
        if (written <= 0)
            return;
        text += written;
        length -= written;
    }
}

[[noreturn]] inline void exit(int status)
{
    for (;;)
        call(SYS_exit_group, status);
}

} // namespace launcher_calls
