#include "debugger/debugger_run.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "debugger/child_start.h"
#include "diagnostics/console.h"
#include "diagnostics/debug_message.h"

#ifndef P_PIDFD
#define P_PIDFD 3
#endif

namespace {

// Largest read, and so the largest data message; the output pipe is grown to match.
constexpr size_t relayReadSize = 1 << 20;

} // namespace

struct DebuggerRun::Child {
    DebuggerBackend backend;
    pid_t pid;
    UniqueFd pidfd;
    UniqueFd command;
    UniqueFd output;
    std::vector<UniqueFd> drained;
    std::vector<UniqueFd> held;
    Events events;
};

namespace {

bool hexLogged(DebuggerBackend backend)
{
    return backend != DebuggerBackend::Gdb && loggingEnabled.load();
}

} // namespace

// Output that is only passed on goes from the pipe to the host without a copy; an empty pipe
// that polled readable has ended, which a read tells.
bool DebuggerRun::forwardWaiting(Child &child)
{
    int waiting = 0;
    if (!child.events.forward || hexLogged(child.backend) || ioctl(child.output.get(), FIONREAD, &waiting) != 0 ||
        waiting <= 0)
        return false;
    const size_t count = std::min(static_cast<size_t>(waiting), relayReadSize);
    if (child.events.forward(child.output.get(), count))
        return true;
    // The host is gone: the bytes are read and dropped, so the back end never blocks.
    return false;
}

DebuggerRun::DebuggerRun()
{
    std::thread([this] { relay(); }).detach();
    std::thread([this] { queue_.serve(); }).detach();
    std::thread([this] { watchExit(); }).detach();
}

bool DebuggerRun::launch(LaunchPlan plan, Events events)
{
    if (launched())
        return false;
    ChildStart start = startChild(plan);
    if (start.outcome == ChildStart::Outcome::NotCreated) {
        consoleLine("Error while forking process: " + std::to_string(start.error));
        return false;
    }
    if (start.outcome == ChildStart::Outcome::NotExecuted) {
        const std::string reason = "Cannot execute " + plan.executable + ": " + strerror(start.error);
        if (!plan.failureDiagnostic.empty())
            debugMessage(plan.failureDiagnostic);
        debugMessage(reason);
        if (!plan.failureConsoleLine.empty())
            consoleLine(plan.failureConsoleLine);
        consoleLine(reason);
        return false;
    }
    auto *child = new Child{plan.backend,           start.pid,
                            std::move(start.pidfd), std::move(plan.command),
                            std::move(plan.output), std::move(plan.drained),
                            std::move(plan.held),   std::move(events)};
    queue_.open(child->command.get());
    std::lock_guard<std::mutex> guard(lock_);
    child_.store(child);
    return true;
}

// The relay and the exit watch start on the child only now, so that waking them does not
// delay the reply.
void DebuggerRun::answered()
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        answered_ = true;
    }
    changed_.notify_all();
}

void DebuggerRun::signal(int signo)
{
    std::lock_guard<std::mutex> guard(lock_);
    Child *child = child_.load();
    if (child != nullptr && !reaped_)
        syscall(SYS_pidfd_send_signal, child->pidfd.get(), signo, nullptr, 0);
}

void DebuggerRun::finishRelay(std::chrono::milliseconds limit)
{
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait_for(guard, limit, [this] { return relayEnded_; });
}

DebuggerRun::Child &DebuggerRun::waitForChild()
{
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait(guard, [this] { return answered_ && child_.load() != nullptr; });
    return *child_.load();
}

void DebuggerRun::relay()
{
    Child &child = waitForChild();
    // A larger pipe lets one read move more; grown here, after the launch has been answered.
    fcntl(child.output.get(), F_SETPIPE_SZ, static_cast<int>(relayReadSize));
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[relayReadSize]);
    // The output first, then the pipes nothing reads, so no back end blocks on them.
    std::vector<pollfd> watched{{child.output.get(), POLLIN, 0}};
    for (const UniqueFd &fd : child.drained)
        watched.push_back({fd.get(), POLLIN, 0});
    size_t open = watched.size();
    while (open > 0) {
        if (poll(watched.data(), watched.size(), -1) < 0)
            continue;
        for (size_t i = 0; i < watched.size(); ++i) {
            if (watched[i].fd < 0 || watched[i].revents == 0)
                continue;
            if (i == 0 && forwardWaiting(child))
                continue;
            ssize_t got = read(watched[i].fd, buffer.get(), relayReadSize);
            if (got < 0 && (errno == EINTR || errno == EAGAIN))
                continue;
            if (got > 0 && i == 0) {
                if (hexLogged(child.backend))
                    debugHexMessage("data received: ", buffer.get(), static_cast<size_t>(got));
                child.events.output(buffer.get(), static_cast<size_t>(got));
            } else if (got <= 0) {
                watched[i].fd = -1;
                --open;
                if (i == 0) {
                    child.events.output(buffer.get(), 0);
                    std::lock_guard<std::mutex> guard(lock_);
                    relayEnded_ = true;
                    changed_.notify_all();
                }
            }
        }
    }
}

void DebuggerRun::watchExit()
{
    Child &child = waitForChild();
    siginfo_t info{};
    while (waitid(static_cast<idtype_t>(P_PIDFD), static_cast<id_t>(child.pidfd.get()), &info, WEXITED) != 0 &&
           errno == EINTR) {
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        reaped_ = true;
    }
    child.events.exited();
}
