#include "platform/tool_run.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <poll.h>
#include <sys/syscall.h>
#include <fcntl.h>
#include <new>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/child_signals.h"
#include "platform/unique_fd.h"

extern char **environ;

namespace {

thread_local int watchedFd = -1;

// A descriptor on 0, 1 or 2 would be clobbered by the child's own standard streams.
bool moveAboveStandardStreams(UniqueFd &fd)
{
    if (fd.get() > STDERR_FILENO)
        return true;
    int moved = fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (moved < 0)
        return false;
    fd.reset(moved);
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
        // What the service ignores for itself; ignoring survives exec, so reset them. What its
        // starter ignored stays ignored.
        for (int signo = 1; signo <= 64; ++signo) {
            if ((changedDispositions() >> (signo - 1)) & 1)
                sigaddset(&defaults, signo);
        }
        if ((error = posix_spawnattr_setsigdefault(&attributes, &defaults)) != 0)
            return error;
        if ((error = posix_spawnattr_setsigmask(&attributes, &startupSignalMask())) != 0)
            return error;
        return posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    }
};

bool append(std::string &output, const char *bytes, size_t count)
{
    try {
        output.append(bytes, count);
        return true;
    } catch (const std::bad_alloc &) {
        errno = ENOMEM;
        return false;
    }
}

enum class Collected { Complete, Failed, TimedOut, Cancelled };

// Reads the tool's output until it has exited and the pipe is empty, within the time limit and
// while the watched peer is there. Once the tool has exited, only what is already in the pipe
// is read: something it started may hold the pipe open for ever.
Collected collect(int readFd, int pidfd, std::string &output)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(toolRunLimitSeconds);
    char buffer[16384];
    bool exited = false;
    for (;;) {
        // Once the tool has exited nothing is waited for: the pipe is read until it is empty.
        if (!exited) {
            pollfd watched[3] = {{readFd, POLLIN, 0}, {pidfd, POLLIN, 0}, {watchedFd, POLLRDHUP, 0}};
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return Collected::TimedOut;
            int ready = poll(watched, 3, static_cast<int>(std::min<long long>(left.count() + 1, 60000)));
            if (ready < 0 && errno != EINTR)
                return Collected::Failed;
            if (ready <= 0)
                continue;
            if (watched[2].revents != 0)
                return Collected::Cancelled;
            if (watched[1].revents != 0) {
                exited = true;
                fcntl(readFd, F_SETFL, fcntl(readFd, F_GETFL) | O_NONBLOCK);
            } else if (watched[0].revents == 0) {
                continue;
            }
        }
        ssize_t n = read(readFd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return Collected::Complete;
        if (n < 0)
            return Collected::Failed;
        if (n == 0 && exited)
            return Collected::Complete;
        if (n == 0) {
            // End of file before the exit: only the exit is left to wait for.
            const auto rest =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd both[2] = {{pidfd, POLLIN, 0}, {watchedFd, POLLRDHUP, 0}};
            int done = rest.count() > 0 ? poll(both, 2, static_cast<int>(rest.count()) + 1) : 0;
            if (done > 0 && both[1].revents != 0)
                return Collected::Cancelled;
            return done > 0 ? Collected::Complete : (done == 0 ? Collected::TimedOut : Collected::Failed);
        }
        if (!append(output, buffer, static_cast<size_t>(n)))
            return Collected::Failed;
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

    Pipe output = Pipe::make();
    if (!output.read)
        return notStarted(errno);
    if (!moveAboveStandardStreams(output.read) || !moveAboveStandardStreams(output.write))
        return notStarted(errno);

    pid_t pid = -1;
    int spawnError;
    {
        SpawnSetup setup;
        spawnError = setup.prepare(output.write.get());
        if (spawnError == 0)
            spawnError = posix_spawn(&pid, toolPath.c_str(), &setup.actions, &setup.attributes, argv.data(), environ);
    }
    // Only the child keeps the write end, so end of file on the read end means it is done.
    output.write.reset();
    if (spawnError != 0)
        return notStarted(spawnError);

    ToolRunResult result;
    UniqueFd pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
    Collected collected = pidfd ? collect(output.read.get(), pidfd.get(), result.output) : Collected::Failed;
    int readError = errno;
    if (collected == Collected::TimedOut || collected == Collected::Cancelled)
        kill(pid, SIGKILL);
    pidfd.reset();
    // Closing before the wait lets a tool still writing get EPIPE instead of blocking forever.
    output.read.reset();

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
    if (collected == Collected::TimedOut || collected == Collected::Cancelled) {
        result.end = collected == Collected::TimedOut ? ToolRunResult::End::TimedOut : ToolRunResult::End::Cancelled;
        result.code = 0;
    } else if (collected == Collected::Failed && result.end == ToolRunResult::End::Exited) {
        // A partial answer is no answer.
        result.end = ToolRunResult::End::Lost;
        result.code = readError;
    }
    return result;
}

ToolRunWatch::ToolRunWatch(int fd) : previous_(watchedFd)
{
    watchedFd = fd;
}

ToolRunWatch::~ToolRunWatch()
{
    watchedFd = previous_;
}

bool peerHungUp(int fd)
{
    pollfd watched{fd, POLLRDHUP, 0};
    return poll(&watched, 1, 0) > 0 && watched.revents != 0;
}
