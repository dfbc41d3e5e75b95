#pragma once
// A system call made directly, for code that may not call libc: a started child before its exec
// (errno lives in the launching thread's storage) and the GDB launchers (linked without libc).
// Returns what the kernel does: a negative errno on failure.

namespace raw_system_call {

inline long call(long number, long a = 0, long b = 0, long c = 0, long d = 0)
{
#if defined(__x86_64__)
    long result;
    register long r10 asm("r10") = d;
    asm volatile("syscall" : "=a"(result) : "a"(number), "D"(a), "S"(b), "d"(c), "r"(r10) : "rcx", "r11", "memory");
    return result;
#elif defined(__aarch64__)
    register long x8 asm("x8") = number;
    register long x0 asm("x0") = a;
    register long x1 asm("x1") = b;
    register long x2 asm("x2") = c;
    register long x3 asm("x3") = d;
    asm volatile("svc 0" : "+r"(x0) : "r"(x8), "r"(x1), "r"(x2), "r"(x3) : "memory");
    return x0;
#else
#error "no raw system calls for this architecture"
#endif
}

} // namespace raw_system_call
