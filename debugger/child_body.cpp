// The body of a started child. It runs on its own stack inside the service's memory while the
// launching thread waits, so it makes raw system calls only: no libc function (errno lives in
// the launching thread's storage), no allocation, no sanitizer hooks (built without them).

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include "debugger/child_image.h"
#include "platform/raw_system_call.h"

namespace {

using raw_system_call::call;

[[noreturn]] void leave()
{
    for (;;)
        call(SYS_exit_group, 255);
}

size_t putDecimal(char *out, long value)
{
    char reversed[24];
    size_t n = 0;
    do {
        reversed[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    for (size_t i = 0; i < n; ++i)
        out[i] = reversed[n - 1 - i];
    return n;
}

void append(char *buffer, size_t &used, size_t capacity, const char *bytes, size_t count)
{
    for (size_t i = 0; i < count && used < capacity; ++i)
        buffer[used++] = bytes[i];
}

// One write keeps the line whole; a datagram socket takes it as one record.
void writeText(const ChildText &text, long pid)
{
    char buffer[4096];
    char pidText[24];
    const size_t pidLength = putDecimal(pidText, pid);
    size_t used = 0;
    append(buffer, used, sizeof buffer, text.parts[0], text.lengths[0]);
    if (text.pidCount >= 1)
        append(buffer, used, sizeof buffer, pidText, pidLength);
    if (text.pidCount >= 2) {
        append(buffer, used, sizeof buffer, text.parts[1], text.lengths[1]);
        append(buffer, used, sizeof buffer, pidText, pidLength);
    }
    append(buffer, used, sizeof buffer, text.parts[2], text.lengths[2]);
    long written;
    do {
        written = call(SYS_write, text.fd, reinterpret_cast<long>(buffer), static_cast<long>(used));
    } while (written == -EINTR);
}

void resetDispositions(uint64_t signals)
{
    // The kernel's sigaction with every field zero: SIG_DFL, no flags, nothing masked.
    unsigned long defaults[4] = {0, 0, 0, 0};
    for (int signo = 1; signo <= 64; ++signo) {
        if ((signals >> (signo - 1)) & 1)
            call(SYS_rt_sigaction, signo, reinterpret_cast<long>(defaults), 0, 8);
    }
}

bool place(const ChildPlacement &placement)
{
    if (placement.source == placement.target)
        return call(SYS_fcntl, placement.target, F_SETFD, 0) == 0;
    return call(SYS_dup3, placement.source, placement.target, 0) == placement.target;
}

} // namespace

#if defined(__x86_64__)
extern "C" long cloneChild(unsigned long flags, void *stackTop, int *pidfd, ChildImage *image)
{
    register long childTid asm("r10") = 0;
    register long tls asm("r8") = 0;
    long result;
    // The child comes back from the call on its own stack and goes straight into its body.
    asm volatile("syscall\n\t"
                 "test %%rax, %%rax\n\t"
                 "jnz 1f\n\t"
                 "xor %%ebp, %%ebp\n\t"
                 "mov %[image], %%rdi\n\t"
                 "and $-16, %%rsp\n\t"
                 "call runChildBody\n\t"
                 "hlt\n"
                 "1:"
                 : "=a"(result)
                 : "a"(SYS_clone), "D"(flags), "S"(stackTop), "d"(pidfd), "r"(childTid), "r"(tls), [image] "r"(image)
                 : "rcx", "r11", "memory");
    return result;
}
#elif defined(__aarch64__)
extern "C" long cloneChild(unsigned long flags, void *stackTop, int *pidfd, ChildImage *image)
{
    register long x8 asm("x8") = SYS_clone;
    register long x0 asm("x0") = static_cast<long>(flags);
    register long x1 asm("x1") = reinterpret_cast<long>(stackTop);
    register long x2 asm("x2") = reinterpret_cast<long>(pidfd);
    register long x3 asm("x3") = 0;
    register long x4 asm("x4") = 0;
    asm volatile("svc 0\n\t"
                 "cbnz x0, 1f\n\t"
                 "mov x0, %[image]\n\t"
                 "bl runChildBody\n\t"
                 "brk #0\n"
                 "1:"
                 : "+r"(x0)
                 : "r"(x8), "r"(x1), "r"(x2), "r"(x3), "r"(x4), [image] "r"(image)
                 : "x30", "memory");
    return x0;
}
#endif

extern "C" int runChildBody(void *argument)
{
    ChildImage &image = *static_cast<ChildImage *>(argument);
    resetDispositions(image.resetSignals);
    // Never outlive the service, even one killed with SIGKILL; a service gone already means
    // this child would start orphaned.
    call(SYS_prctl, PR_SET_PDEATHSIG, SIGKILL);
    if (call(SYS_getppid) != image.service)
        leave();
    const long pid = image.textCount > 0 ? call(SYS_getpid) : 0;
    for (size_t i = 0; i < image.textCount; ++i)
        writeText(image.texts[i], pid);
    for (size_t i = 0; i < image.placementCount; ++i) {
        if (!place(image.placements[i])) {
            image.execError = EBADF;
            leave();
        }
    }
    call(SYS_rt_sigprocmask, SIG_SETMASK, reinterpret_cast<long>(&image.signalMask), 0, 8);
    if (image.scheduling != nullptr)
        call(SYS_sched_setattr, 0, reinterpret_cast<long>(image.scheduling), 0);
    long result = call(SYS_execve, reinterpret_cast<long>(image.path), reinterpret_cast<long>(image.argv),
                       reinterpret_cast<long>(image.envp));
    image.execError = static_cast<int>(-result);
    leave();
}
