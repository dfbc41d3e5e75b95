// A GDB back end of the bundle: runs LD_GDB (LD_GDB_PREFERRED instead, where that one is
// executable) with the arguments it was given, less a data directory that is not GDB's. It needs
// nothing from the environment and links no C library: it starts at _start below.

#include <cerrno>
#include <cstddef>

#include "backends/gdb_arguments.h"
#include "backends/launcher_calls.h"

#if defined(__x86_64__)
__asm__(".text\n.global _start\n_start:\n xor %ebp, %ebp\n mov %rsp, %rdi\n and $-16, %rsp\n"
        " call launcherStart\n hlt\n");
#elif defined(__aarch64__)
__asm__(".text\n.global _start\n_start:\n mov x29, #0\n mov x30, #0\n mov x0, sp\n bl launcherStart\n"
        " brk #0\n");
#endif

// What the compiler may call for a copy or a clear of its own.
extern "C" void *memset(void *to, int byte, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        static_cast<unsigned char *>(to)[i] = static_cast<unsigned char>(byte);
    return to;
}

extern "C" void *memcpy(void *to, const void *from, size_t count)
{
    for (size_t i = 0; i < count; ++i)
        static_cast<unsigned char *>(to)[i] = static_cast<const unsigned char *>(from)[i];
    return to;
}

namespace {

size_t length(const char *text)
{
    return gdb_launcher::lengthBefore(text, '\0');
}

const char *reason(long error)
{
    switch (error) {
    case ENOENT:
        return "No such file or directory";
    case EACCES:
        return "Permission denied";
    case ENOEXEC:
        return "Exec format error";
    case ENOTDIR:
        return "Not a directory";
    case ELOOP:
        return "Too many levels of symbolic links";
    case ENAMETOOLONG:
        return "File name too long";
    case ENOMEM:
        return "Cannot allocate memory";
    case E2BIG:
        return "Argument list too long";
    case ETXTBSY:
        return "Text file busy";
    case EIO:
        return "Input/output error";
    default:
        return nullptr;
    }
}

// "NAME: cannot run GDB: REASON", with the error's number where it has no text here.
[[noreturn]] void failed(const char *self, const char *gdb, long error)
{
    char number[24];
    const char *text = reason(error);
    if (text == nullptr) {
        char *end = number + sizeof number - 1;
        *end = '\0';
        do {
            *--end = static_cast<char>('0' + error % 10);
            error /= 10;
        } while (error > 0 && end > number + 6);
        end -= 6;
        memcpy(end, "error ", 6);
        text = end;
    }
    const char *const pieces[] = {self, ": cannot run ", gdb, ": ", text, "\n"};
    for (const char *piece : pieces)
        launcher_calls::write(STDERR_FILENO, piece, static_cast<long>(length(piece)));
    launcher_calls::exit(127);
}

} // namespace

extern "C" [[noreturn]] void launcherStart(long *stack)
{
    const int argc = static_cast<int>(stack[0]);
    char **argv = reinterpret_cast<char **>(stack + 1);
    char **environment = argv + argc + 1;
    const char *gdb = LD_GDB;
#ifdef LD_GDB_PREFERRED
    if (launcher_calls::accessible(AT_FDCWD, LD_GDB_PREFERRED, X_OK))
        gdb = LD_GDB_PREFERRED;
#endif
    char *alone[] = {nullptr, nullptr};
    char **arguments = argc > 0 ? argv : alone;
    const char *self = argc > 0 ? argv[0] : "gdb launcher";
    for (const char *at = self; *at != '\0'; ++at) {
        if (*at == '/')
            self = at + 1;
    }
    // Filtered in place: argv has room for every argument and its terminating null.
    int count = argc > 0 ? argc - 1 : 0;
    arguments[1 + gdb_launcher::keptArguments(count, arguments + 1, arguments + 1)] = nullptr;
    // GDB finds its own files from its own name, so it gets that one, not the launcher's.
    arguments[0] = const_cast<char *>(gdb);
    failed(self, gdb, -launcher_calls::execute(gdb, arguments, environment));
}
