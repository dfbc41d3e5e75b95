#include "backends/lldb_helper/supervisor.h"

#include "backends/lldb_helper/process_tree.h"

#include <cerrno>
#include <optional>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace lldb_helper {

namespace {

int exit_code(int status)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return 1;
}

// Everything still below this process is a leftover of the session (the debug server, or a
// debuggee it left behind): kill it and wait until nothing is left.
void clear_leftovers()
{
    for (;;) {
        while (::waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        const std::optional<std::vector<pid_t>> pids = own_children();
        if (!pids)
            return;
        for (const pid_t pid : *pids)
            ::kill(pid, SIGKILL);
        pid_t reaped = 0;
        while ((reaped = ::waitpid(-1, nullptr, 0)) < 0 && errno == EINTR) {
        }
        if (reaped < 0)
            return;  // ECHILD: nothing is left
    }
}

}  // namespace

sigset_t supervisor_signals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGCHLD);
    return set;
}

bool become_subreaper()
{
    return ::prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0;
}

int run_supervisor(pid_t worker)
{
    const sigset_t set = supervisor_signals();
    for (;;) {
        siginfo_t info;
        const int signo = ::sigwaitinfo(&set, &info);
        if (signo < 0)
            continue;  // EINTR
        if (signo == SIGINT || signo == SIGTERM) {
            ::kill(worker, signo);
            continue;
        }
        int status = 0;
        pid_t pid = 0;
        while ((pid = ::waitpid(-1, &status, WNOHANG)) > 0) {
            if (pid == worker) {
                clear_leftovers();
                return exit_code(status);
            }
        }
    }
}

}  // namespace lldb_helper
