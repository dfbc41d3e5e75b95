#pragma once
// The system calls a GDB launcher makes, made directly. A launcher runs before every GDB and links
// no C library: the library's start-up alone is a millisecond of the wait for GDB's first prompt.
// Each returns what the kernel does: a negative errno on failure.

#include <cerrno>
#include <fcntl.h>
#include <sys/syscall.h>

namespace launcher_calls {

inline long call(long number, long a = 0, long b = 0, long c = 0, long d = 0)
{
#if defined(__x86_64__)
    long result;
    register long r10 __asm__("r10") = d;
    __asm__ volatile("syscall" : "=a"(result) : "a"(number), "D"(a), "S"(b), "d"(c), "r"(r10) : "rcx", "r11", "memory");
    return result;
#elif defined(__aarch64__)
    register long x8 __asm__("x8") = number;
    register long x0 __asm__("x0") = a;
    register long x1 __asm__("x1") = b;
    register long x2 __asm__("x2") = c;
    register long x3 __asm__("x3") = d;
    __asm__ volatile("svc 0" : "+r"(x0) : "r"(x8), "r"(x1), "r"(x2), "r"(x3) : "memory");
    return x0;
#else
#error "the GDB launchers know the system calls of x86_64 and aarch64"
#endif
}

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
