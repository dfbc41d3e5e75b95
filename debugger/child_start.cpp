#include "debugger/child_start.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <mutex>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include "debugger/child_image.h"
#include "platform/child_signals.h"

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

namespace {

// The child's stack: only its top pages are ever touched. One start at a time uses it.
constexpr size_t childStackSize = 64 * 1024;
std::mutex stackLock;
alignas(64) char childStack[childStackSize];

std::vector<char *> pointersTo(const std::vector<std::string> &strings)
{
    std::vector<char *> pointers;
    pointers.reserve(strings.size() + 1);
    for (const std::string &text : strings)
        pointers.push_back(const_cast<char *>(text.c_str()));
    pointers.push_back(nullptr);
    return pointers;
}

uint64_t kernelMask(const LaunchPlan &plan)
{
    sigset_t mask = startupSignalMask();
    for (int signo = 1; signo < NSIG; ++signo) {
        if (sigismember(&plan.unblocked, signo) == 1)
            sigdelset(&mask, signo);
    }
    uint64_t bits = 0;
    for (int signo = 1; signo <= 64; ++signo) {
        if (sigismember(&mask, signo) == 1)
            bits |= uint64_t{1} << (signo - 1);
    }
    return bits;
}

ChildText textOf(const ChildLine &line)
{
    return {{line.head.data(), line.middle.data(), line.tail.data()},
            {line.head.size(), line.middle.size(), line.tail.size()},
            line.pidCount,
            line.fd};
}

pid_t servicePid()
{
    static const pid_t pid = getpid();
    return pid;
}

} // namespace

ChildStart startChild(const LaunchPlan &plan)
{
    std::vector<char *> argv = pointersTo(plan.arguments);
    std::vector<char *> envp = pointersTo(plan.environment);
    std::vector<ChildPlacement> placements;
    for (const LaunchPlan::Placement &placement : plan.descriptors)
        placements.push_back({placement.source.get(), placement.target});
    std::vector<ChildText> texts;
    for (const ChildLine &line : plan.linesBeforeExec) {
        if (line.prepared && line.fd >= 0)
            texts.push_back(textOf(line));
    }
    ChildImage image{plan.executable.c_str(),
                     argv.data(),
                     envp.data(),
                     placements.data(),
                     placements.size(),
                     texts.data(),
                     texts.size(),
                     kernelMask(plan),
                     changedDispositions(),
                     plan.scheduling != nullptr ? plan.scheduling->own() : nullptr,
                     servicePid(),
                     0};

    ChildStart start;
    std::lock_guard<std::mutex> guard(stackLock);
    // No handler of the service may run on the child's stack before it has reset them all.
    sigset_t all;
    sigset_t previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    int pidfd = -1;
    const long cloned =
        cloneChild(CLONE_VM | CLONE_VFORK | CLONE_PIDFD | SIGCHLD, childStack + childStackSize, &pidfd, &image);
    const pid_t pid = cloned < 0 ? -1 : static_cast<pid_t>(cloned);
    const int cloneError = cloned < 0 ? static_cast<int>(-cloned) : 0;
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);

    if (pid < 0) {
        start.error = cloneError;
        return start;
    }
    start.pid = pid;
    start.pidfd.reset(pidfd);
    if (image.execError != 0) {
        reapChild(pidfd);
        start.outcome = ChildStart::Outcome::NotExecuted;
        start.error = image.execError;
        start.pid = -1;
        start.pidfd.reset();
        return start;
    }
    if (plan.scheduling != nullptr)
        plan.scheduling->adopt(pid);
    start.outcome = ChildStart::Outcome::Started;
    return start;
}

void reapChild(int pidfd)
{
    siginfo_t info{};
    while (waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(pidfd), &info, WEXITED) != 0 && errno == EINTR) {
    }
}
