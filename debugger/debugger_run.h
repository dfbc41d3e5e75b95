#pragma once
// The one debugger child a service ever runs, from its launch to its end: it owns the child
// (pid and pidfd), the service's ends of its pipes, the queue of bytes sent to it and the relay
// of its output. Its three threads (relay, send writer, exit watch with the drained pipes)
// start with the object and wait for a child: a launch starts none. The object lives as long
// as the process.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <sys/types.h>
#include <string>
#include <vector>

#include "debugger/launch_plan.h"
#include "debugger/send_queue.h"

class DebuggerRun {
public:
    struct Events {
        // On the relay thread, each chunk of the back end's output in order; a count of 0
        // says the output has ended.
        std::function<void(const uint8_t *, size_t)> output;
        // On the exit-watch thread, once the child has exited and been reaped. Neither comes
        // before answered(): the launch reply always comes first.
        std::function<void()> exited;
        // When set, used instead of output for chunks nobody needs to see: moves count bytes,
        // all waiting in the pipe, on without copying them; false when they could not go.
        std::function<bool(int pipeFd, size_t count)> forward;
    };

    DebuggerRun();
    DebuggerRun(const DebuggerRun &) = delete;
    // Starts the relay, send-writer and exit-watch threads, once; the reason when one could not
    // be started, else empty.
    std::string start() noexcept;
    DebuggerRun &operator=(const DebuggerRun &) = delete;

    // Starts the plan's child and takes ownership of it and of the plan's service ends; false
    // when no child runs (the reason is in a console line). The child's ends stay with the
    // plan. Callers serialise launches; at most one ever succeeds.
    bool launch(LaunchPlan &plan, Events events);
    bool launched() const { return child_.load() != nullptr; }

    // The launch has been answered: its output and its exit may now be reported.
    void answered();

    // Signals the child while it is alive; never a reaped child's reused pid.
    void signal(int signo);

    // Queues bytes for the back end's command descriptor; dropped while no child runs.
    SendOutcome send(std::span<const uint8_t> bytes) { return queue_.push(bytes); }

    // Waits for the relay to deliver the end of the output of an exited child. Gives up once
    // the output pipe has been empty but open for pipeLimit since the exit (a debuggee may hold
    // it forever), or the host has taken nothing for hostLimit (it has stopped reading).
    void finishRelay(std::chrono::milliseconds pipeLimit, std::chrono::milliseconds hostLimit);

private:
    struct Child;

    Child &waitForChild();
    void waitForAnswer();
    void relay();
    bool forwardBulk(Child &child);
    void watchExit();

    // Allocated with the run, before its threads: a thread has nothing to allocate that could fail.
    std::unique_ptr<uint8_t[]> relayBuffer_;
    std::mutex lock_;
    std::condition_variable changed_;
    std::atomic<Child *> child_{nullptr};
    bool answered_ = false;
    bool reaped_ = false;
    bool relayEnded_ = false;
    // The relay's progress, for finishRelay: whether it waits in a read, what it has delivered.
    std::atomic<bool> reading_{false};
    std::atomic<uint64_t> delivered_{0};
    SendQueue queue_;
};
