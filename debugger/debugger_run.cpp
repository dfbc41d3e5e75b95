#include "debugger/debugger_run.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <optional>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

#include "debugger/child_start.h"
#include "diagnostics/console.h"
#include "diagnostics/debug_message.h"

namespace {

// Largest read, and so the largest data message; the output pipe is grown to match.
constexpr size_t relayReadSize = 1 << 20;
// From this size on a chunk is bulk: moving it without a copy is worth a look at the pipe.
constexpr size_t bulkSize = 32 * 1024;

bool hexLogged(DebuggerBackend backend)
{
    return backend != DebuggerBackend::Gdb && loggingEnabled.load();
}

} // namespace

struct DebuggerRun::Child {
    DebuggerBackend backend;
    UniqueFd pidfd;
    UniqueFd command;
    UniqueFd output;
    std::vector<UniqueFd> drained;
    std::vector<UniqueFd> held;
    Events events;
};

// While output comes in bulk, what waits in the pipe goes to the host without a copy; false
// when the next chunk should be read instead (little waiting, logging, or the host gone).
bool DebuggerRun::forwardBulk(Child &child)
{
    int waiting = 0;
    if (!child.events.forward || hexLogged(child.backend) || ioctl(child.output.get(), FIONREAD, &waiting) != 0 ||
        static_cast<size_t>(waiting) < bulkSize)
        return false;
    const size_t count = std::min(static_cast<size_t>(waiting), relayReadSize);
    if (!child.events.forward(child.output.get(), count))
        return false;
    delivered_.fetch_add(count, std::memory_order_relaxed);
    return true;
}

// Throws when the relay buffer cannot be had: a service without it cannot start.
DebuggerRun::DebuggerRun() : relayBuffer_(new uint8_t[relayReadSize]) {}

std::string DebuggerRun::start() noexcept
{
    // A thread started before a later one fails only ever waits on this object, which the
    // service never destroys.
    try {
        std::thread([this] { relay(); }).detach();
        std::thread([this] { queue_.serve(); }).detach();
        std::thread([this] { watchExit(); }).detach();
        return {};
    } catch (const std::exception &error) {
        return error.what();
    }
}

bool DebuggerRun::launch(LaunchPlan &plan, Events events)
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
    auto *child = new Child{plan.backend,           std::move(start.pidfd),  std::move(plan.command),
                            std::move(plan.output), std::move(plan.drained), std::move(plan.held),
                            std::move(events)};
    queue_.open(child->command.get());
    {
        std::lock_guard<std::mutex> guard(lock_);
        child_.store(child);
    }
    // The relay and the exit watch take up the child now, while this thread still holds its CPU:
    // woken once the reply has gone they would be placed beside the host it wakes, and run first.
    changed_.notify_all();
    return true;
}

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

void DebuggerRun::finishRelay(std::chrono::milliseconds pipeLimit, std::chrono::milliseconds hostLimit)
{
    using Clock = std::chrono::steady_clock;
    // The relay may have read a chunk and not yet said so: an empty pipe counts once seen twice
    // this far apart with nothing delivered in between.
    constexpr auto settle = std::chrono::milliseconds(100);
    const Clock::time_point exited = Clock::now();
    Clock::time_point progressed = exited;
    std::optional<Clock::time_point> emptySince;
    uint64_t seen = delivered_.load();
    const Child *child = child_.load();
    std::unique_lock<std::mutex> guard(lock_);
    while (!relayEnded_ && child != nullptr) {
        const Clock::time_point now = Clock::now();
        if (const uint64_t delivered = delivered_.load(); delivered != seen) {
            seen = delivered;
            progressed = now;
            emptySince.reset();
        }
        int waiting = 0;
        // Waiting on an empty pipe, the relay holds nothing of the child's: what is left is a
        // debuggee's that kept the pipe.
        if (reading_.load() && ioctl(child->output.get(), FIONREAD, &waiting) == 0 && waiting == 0) {
            emptySince = emptySince.value_or(now);
            if (now - *emptySince >= settle && now - exited >= pipeLimit)
                return;
        } else {
            emptySince.reset();
            if (now - progressed >= hostLimit)
                return;
        }
        changed_.wait_for(guard, std::chrono::milliseconds(20));
    }
}

DebuggerRun::Child &DebuggerRun::waitForChild()
{
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait(guard, [this] { return child_.load() != nullptr; });
    return *child_.load();
}

void DebuggerRun::waitForAnswer()
{
    std::unique_lock<std::mutex> guard(lock_);
    changed_.wait(guard, [this] { return answered_; });
}

// A blocking read for each chunk keeps the round trip of small exchanges short; once a read
// comes back large, the next chunks are forwarded from the pipe as long as they stay large.
void DebuggerRun::relay()
{
    uint8_t *buffer = relayBuffer_.get();
    Child &child = waitForChild();
    // A larger pipe lets one read move more; grown here, off the launching thread.
    fcntl(child.output.get(), F_SETPIPE_SZ, static_cast<int>(relayReadSize));
    bool bulk = false;
    bool answerSeen = false;
    for (;;) {
        if (bulk && forwardBulk(child))
            continue;
        reading_.store(true);
        ssize_t got = read(child.output.get(), buffer, relayReadSize);
        reading_.store(false);
        if (got < 0 && errno == EINTR)
            continue;
        if (!answerSeen) {
            waitForAnswer();
            answerSeen = true;
        }
        if (got <= 0)
            break;
        bulk = static_cast<size_t>(got) >= bulkSize;
        if (hexLogged(child.backend))
            debugHexMessage("data received: ", buffer, static_cast<size_t>(got));
        child.events.output(buffer, static_cast<size_t>(got));
        delivered_.fetch_add(static_cast<uint64_t>(got), std::memory_order_relaxed);
    }
    child.events.output(buffer, 0);
    std::lock_guard<std::mutex> guard(lock_);
    relayEnded_ = true;
    changed_.notify_all();
}

// Waits for the child's exit on its pidfd, and meanwhile reads and drops what it writes to the
// pipes nobody reads, so it never blocks on them.
void DebuggerRun::watchExit()
{
    Child &child = waitForChild();
    // Nothing allocated here: the pidfd and at most maxDrainedPipes drained pipes.
    std::array<pollfd, 1 + maxDrainedPipes> watched{};
    watched[0] = {child.pidfd.get(), POLLIN, 0};
    size_t count = 1;
    for (const UniqueFd &fd : child.drained)
        watched[count++] = {fd.get(), POLLIN, 0};
    char sink[64 * 1024];
    while (watched[0].revents == 0) {
        if (poll(watched.data(), count, -1) < 0)
            continue;
        for (size_t i = 1; i < count; ++i) {
            if (watched[i].revents != 0 && read(watched[i].fd, sink, sizeof sink) == 0)
                watched[i].fd = -1;
        }
    }
    // Once answered, the launching thread no longer names the child by its pid.
    waitForAnswer();
    reapChild(child.pidfd.get());
    {
        std::lock_guard<std::mutex> guard(lock_);
        reaped_ = true;
    }
    child.events.exited();
}
