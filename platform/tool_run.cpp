#include "platform/tool_run.h"

#include <cerrno>
#include <fcntl.h>
#include <new>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/child_signals.h"

extern char **environ;

namespace {

// A descriptor on 0, 1 or 2 would be clobbered by the child's own standard streams.
bool moveAboveStandardStreams(int &fd)
{
    if (fd > STDERR_FILENO)
        return true;
    int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (moved < 0)
        return false;
    close(fd);
    fd = moved;
    return true;
}

struct SpawnSetup {
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    bool actionsReady = false;
    bool attributesReady = false;

    ~SpawnSetup()
    {
        if (actionsReady)
            posix_spawn_file_actions_destroy(&actions);
        if (attributesReady)
            posix_spawnattr_destroy(&attributes);
    }

    // 0 or an errno value.
    int prepare(int outputWriteFd)
    {
        int error = posix_spawn_file_actions_init(&actions);
        if (error != 0)
            return error;
        actionsReady = true;
        if ((error = posix_spawn_file_actions_adddup2(&actions, outputWriteFd, STDOUT_FILENO)) != 0)
            return error;
        // Whatever the service left inheritable (a back end's pipes) is none of the tool's business.
        if ((error = posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1)) != 0)
            return error;

        error = posix_spawnattr_init(&attributes);
        if (error != 0)
            return error;
        attributesReady = true;
        sigset_t defaults;
        sigemptyset(&defaults);
        // The service ignores or catches these for itself; ignoring survives exec, so reset them.
        for (int signo : {SIGPIPE, SIGCHLD, SIGINT, SIGTERM})
            sigaddset(&defaults, signo);
        if ((error = posix_spawnattr_setsigdefault(&attributes, &defaults)) != 0)
            return error;
        if ((error = posix_spawnattr_setsigmask(&attributes, &startupSignalMask())) != 0)
            return error;
        return posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    }
};

// Reads fd to its end; false (with errno set) when reading fails or memory runs out.
bool readToEnd(int fd, std::string &output)
{
    char buffer[16384];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            return true;
        try {
            output.append(buffer, static_cast<size_t>(n));
        } catch (const std::bad_alloc &) {
            errno = ENOMEM;
            return false;
        }
    }
}

ToolRunResult notStarted(int error)
{
    ToolRunResult result;
    result.end = ToolRunResult::End::NotStarted;
    result.code = error;
    return result;
}

} // namespace

ToolRunResult runTool(const std::string &toolPath, const std::vector<std::string> &arguments) noexcept
{
    std::vector<char *> argv;
    try {
        argv.reserve(arguments.size() + 2);
    } catch (const std::bad_alloc &) {
        return notStarted(ENOMEM);
    }
    argv.push_back(const_cast<char *>(toolPath.c_str()));
    for (const std::string &argument : arguments)
        argv.push_back(const_cast<char *>(argument.c_str()));
    argv.push_back(nullptr);

    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        return notStarted(errno);
    int readFd = pipeFds[0];
    int writeFd = pipeFds[1];
    if (!moveAboveStandardStreams(readFd) || !moveAboveStandardStreams(writeFd)) {
        int error = errno;
        close(readFd);
        close(writeFd);
        return notStarted(error);
    }

    pid_t pid = -1;
    int spawnError;
    {
        SpawnSetup setup;
        spawnError = setup.prepare(writeFd);
        if (spawnError == 0)
            spawnError = posix_spawn(&pid, toolPath.c_str(), &setup.actions, &setup.attributes,
                                     argv.data(), environ);
    }
    // Only the child keeps the write end, so end of file on the read end means it is done.
    close(writeFd);
    if (spawnError != 0) {
        close(readFd);
        return notStarted(spawnError);
    }

    ToolRunResult result;
    bool readComplete = readToEnd(readFd, result.output);
    int readError = errno;
    // Closing before the wait lets a tool still writing get EPIPE instead of blocking forever.
    close(readFd);

    int status = 0;
    pid_t waited;
    do {
        waited = waitpid(pid, &status, 0);
    } while (waited < 0 && errno == EINTR);

    if (waited != pid) {
        result.end = ToolRunResult::End::Lost;
        result.code = errno;
    } else if (WIFEXITED(status)) {
        result.end = ToolRunResult::End::Exited;
        result.code = WEXITSTATUS(status);
    } else {
        result.end = ToolRunResult::End::Signalled;
        result.code = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }
    if (!readComplete && result.end == ToolRunResult::End::Exited) {
        // A partial answer is no answer.
        result.end = ToolRunResult::End::Lost;
        result.code = readError;
    }
    return result;
}
