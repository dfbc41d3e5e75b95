#include "backends/lldb_helper/reporter.h"

#include "backends/lldb_helper/describe.h"
#include "backends/lldb_helper/process_tree.h"
#include "backends/lldb_helper/records.h"

#include <cerrno>
#include <optional>
#include <set>
#include <thread>
#include <unistd.h>

namespace lldb_helper {

namespace {

constexpr std::size_t kOutputChunk = 65536;
constexpr std::uint32_t kMark = 1;
// How long a command's result waits for the event thread to report what came before it; only
// an event thread stuck inside LLDB takes this long.
constexpr auto kCatchUpPatience = std::chrono::seconds(5);
// How long the debuggee's output waits for the echo of keys typed to it; LLDB can take the echo
// itself, mark and all, when it handles an event meanwhile.
constexpr auto kEchoPatience = std::chrono::milliseconds(250);

const char* state_name(lldb::StateType state)
{
    switch (state) {
    case lldb::eStateLaunching:
        return "launching";
    case lldb::eStateStopped:
    case lldb::eStateSuspended:
        return "stopped";
    case lldb::eStateRunning:
    case lldb::eStateStepping:
        return "running";
    case lldb::eStateExited:
        return "exited";
    case lldb::eStateCrashed:
        return "crashed";
    case lldb::eStateDetached:
        return "detached";
    default:
        return nullptr;
    }
}

const char* stop_reason_name(lldb::StopReason reason)
{
    switch (reason) {
    case lldb::eStopReasonInvalid:
        return "invalid";
    case lldb::eStopReasonNone:
        return "none";
    case lldb::eStopReasonTrace:
        return "trace";
    case lldb::eStopReasonBreakpoint:
        return "breakpoint";
    case lldb::eStopReasonWatchpoint:
        return "watchpoint";
    case lldb::eStopReasonSignal:
        return "signal";
    case lldb::eStopReasonException:
        return "exception";
    case lldb::eStopReasonExec:
        return "exec";
    case lldb::eStopReasonPlanComplete:
        return "plan-complete";
    case lldb::eStopReasonThreadExiting:
        return "thread-exiting";
    case lldb::eStopReasonInstrumentation:
        return "instrumentation";
    case lldb::eStopReasonProcessorTrace:
        return "processor-trace";
    case lldb::eStopReasonFork:
        return "fork";
    case lldb::eStopReasonVFork:
        return "vfork";
    case lldb::eStopReasonVForkDone:
        return "vfork-done";
    }
    return "unknown";
}

void copy_to(int fd, std::string_view bytes)
{
    while (fd >= 0 && !bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

bool has_stop_reason(lldb::SBThread& thread)
{
    const lldb::StopReason reason = thread.GetStopReason();
    return reason != lldb::eStopReasonInvalid && reason != lldb::eStopReasonNone;
}

// A debuggee this back end launched runs under a debug server that is this process's child;
// an attached one does not. One that has already gone can only have been launched: LLDB holds
// an attached process stopped until it is resumed, so it is still there when first seen.
bool launched_here(std::uint64_t pid)
{
    const std::optional<pid_t> server = parent_of(static_cast<pid_t>(pid));
    if (!server)
        return true;
    const std::optional<pid_t> owner = parent_of(*server);
    return owner && *owner == ::getpid();
}

std::optional<records::Frame> frame_of(lldb::SBThread& thread)
{
    lldb::SBFrame frame = thread.GetFrameAtIndex(0);
    if (!frame.IsValid())
        return std::nullopt;
    records::Frame result;
    result.function = describe::text(frame.GetFunctionName());
    lldb::SBLineEntry entry = frame.GetLineEntry();
    if (entry.IsValid()) {
        result.file = describe::path(entry.GetFileSpec());
        const std::uint32_t line = entry.GetLine();
        if (line != 0 && line != UINT32_MAX)
            result.line = line;
    }
    return result;
}

void describe_stop(lldb::SBProcess& process, records::ProcessState& record)
{
    lldb::SBThread thread = process.GetSelectedThread();
    if (!thread.IsValid() || !has_stop_reason(thread)) {
        // LLDB's own event handling would move the selection to the thread that stopped; this
        // back end takes that role, so later commands act on the same thread as the record.
        const std::uint32_t count = process.GetNumThreads();
        for (std::uint32_t i = 0; i < count; ++i) {
            lldb::SBThread candidate = process.GetThreadAtIndex(i);
            if (candidate.IsValid() && has_stop_reason(candidate)) {
                process.SetSelectedThread(candidate);
                thread = candidate;
                break;
            }
        }
    }
    if (!thread.IsValid()) {
        record.reason = "none";
        return;
    }
    const lldb::StopReason reason = thread.GetStopReason();
    record.reason = stop_reason_name(reason);
    if (reason == lldb::eStopReasonSignal && thread.GetStopReasonDataCount() > 0) {
        const auto signo = static_cast<std::int32_t>(thread.GetStopReasonDataAtIndex(0));
        record.signal = describe::text(process.GetUnixSignals().GetSignalAsCString(signo));
    }
    if (reason == lldb::eStopReasonBreakpoint && thread.GetStopReasonDataCount() > 0)
        record.breakpoint = thread.GetStopReasonDataAtIndex(0);
    if (reason == lldb::eStopReasonWatchpoint && thread.GetStopReasonDataCount() > 0)
        record.watchpoint = thread.GetStopReasonDataAtIndex(0);
    record.thread = thread.GetIndexID();
    record.frame = frame_of(thread);
}

// Whether LLDB has resumed the process, told by what LLDB shows before it publishes that.
bool resumed(lldb::SBProcess& process, const std::string& last_state)
{
    const lldb::StateType state = process.GetState();
    if (state == lldb::eStateRunning || state == lldb::eStateStepping || state == lldb::eStateLaunching)
        return true;
    // A launch leaves the process stopped only when asked to, and then LLDB publishes that stop
    // before the command returns; otherwise LLDB has resumed it, unannounced so far.
    if (last_state == "launching")
        return state == lldb::eStateStopped;
    // From a resume until its stop is published LLDB holds the process's run lock, and while it
    // does the process's threads read as invalid.
    return process.GetNumThreads() > 0 && !process.GetSelectedThread().IsValid();
}

}  // namespace

void PidList::add(std::uint64_t pid)
{
    for (auto& slot : slots_) {
        std::uint64_t expected = 0;
        if (slot.compare_exchange_strong(expected, pid))
            return;
    }
}

void PidList::remove(std::uint64_t pid)
{
    for (auto& slot : slots_) {
        std::uint64_t expected = pid;
        slot.compare_exchange_strong(expected, 0);
    }
}

std::vector<std::uint64_t> PidList::snapshot() const
{
    std::vector<std::uint64_t> pids;
    for (const auto& slot : slots_) {
        const std::uint64_t pid = slot.load();
        if (pid != 0)
            pids.push_back(pid);
    }
    return pids;
}

void Reporter::emit(const std::string& line)
{
    writer_.write_line(line);
}

Reporter::Tracked& Reporter::track(lldb::SBProcess& process)
{
    const std::uint32_t id = process.GetUniqueID();
    auto found = processes_.find(id);
    if (found != processes_.end())
        return found->second;
    Tracked& tracked = processes_[id];
    tracked.process = process;
    tracked.pid = process.GetProcessID();
    tracked.launched_here = launched_here(tracked.pid);
    pids_.add(tracked.pid);
    process.GetBroadcaster().RemoveListener(debugger_listener_);
    if (tracked.launched_here) {
        records::ProcessState record;
        record.state = "launching";
        record.pid = tracked.pid;
        emit(records::process(record));
        tracked.last_state = "launching";
    }
    return tracked;
}

void Reporter::drain_program(bool settled)
{
    if (program_ == nullptr)
        return;
    pass_on("stdout", program_text_, program_->read(settled));
}

void Reporter::pass_on(const char* stream, Utf8Decoder& text, std::string_view bytes)
{
    copy_to(console_fd_, bytes);
    const std::string data = text.decode(bytes, false);
    if (!data.empty())
        emit(records::output(stream, data));
}

void Reporter::settle_echo(Tracked& tracked)
{
    if (program_ == nullptr || !program_->mark_input(tracked.pid))
        return;
    std::string echo;
    char chunk[4096];
    const auto deadline = std::chrono::steady_clock::now() + kEchoPatience;
    while (echo.find(ProgramTerminal::kInputMark) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        const std::size_t n = tracked.process.GetSTDOUT(chunk, sizeof chunk);
        if (n == 0)
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        echo.append(chunk, n);
    }
    if (const std::size_t mark = echo.find(ProgramTerminal::kInputMark); mark != std::string::npos)
        echo.erase(mark, ProgramTerminal::kInputMark.size());
    pass_on("stdout", tracked.stdout_text, echo);
}

void Reporter::relay_program()
{
    std::lock_guard lock(mutex_);
    // What the debuggee writes may answer keys typed to it: their echo goes first, once all of
    // it has come back to LLDB.
    for (auto& [id, tracked] : processes_) {
        if (!tracked.ended) {
            settle_echo(tracked);
            drain(tracked);
        }
    }
    drain_program(false);
}

void Reporter::drain(Tracked& tracked, bool settled)
{
    struct Stream {
        const char* name;
        std::size_t (lldb::SBProcess::*read)(char*, std::size_t) const;
        Utf8Decoder& text;
    };
    std::string buffer(kOutputChunk, '\0');
    for (const Stream& stream : {Stream{"stdout", &lldb::SBProcess::GetSTDOUT, tracked.stdout_text},
                                 Stream{"stderr", &lldb::SBProcess::GetSTDERR, tracked.stderr_text}}) {
        for (;;) {
            const std::size_t n = (tracked.process.*stream.read)(buffer.data(), buffer.size());
            if (n == 0)
                break;
            pass_on(stream.name, stream.text, std::string_view(buffer.data(), n));
        }
    }
    drain_program(settled);
}

void Reporter::flush(Tracked& tracked)
{
    const std::string out = tracked.stdout_text.decode({}, true);
    if (!out.empty())
        emit(records::output("stdout", out));
    const std::string err = tracked.stderr_text.decode({}, true);
    if (!err.empty())
        emit(records::output("stderr", err));
    const std::string program = program_text_.decode({}, true);
    if (!program.empty())
        emit(records::output("stdout", program));
}

void Reporter::report(Tracked& tracked, lldb::StateType state)
{
    if (tracked.ended)
        return;
    const char* name = state_name(state);
    if (name == nullptr) {
        drain(tracked);
        return;
    }
    const std::string state_text = name;
    if (state_text == "running") {
        // Whatever the debuggee writes now was written after it resumed.
        if (tracked.last_state != "running") {
            records::ProcessState record;
            record.state = state_text;
            record.pid = tracked.pid;
            emit(records::process(record));
            tracked.last_state = state_text;
        }
        drain(tracked);
        return;
    }
    // A stop or an end: the debuggee wrote its last bytes before it.
    drain(tracked, true);

    records::ProcessState record;
    record.state = state_text;
    record.pid = tracked.pid;
    if (state_text == "stopped") {
        const std::uint32_t stop_id = tracked.process.GetStopID();
        if (tracked.last_state == "stopped" && tracked.stop_id == stop_id)
            return;
        tracked.stop_id = stop_id;
        describe_stop(tracked.process, record);
    } else if (state_text == tracked.last_state) {
        return;
    }
    if (state_text == "exited")
        record.status = tracked.process.GetExitStatus();
    if (state_text == "exited" || state_text == "detached") {
        flush(tracked);
        tracked.ended = true;
        pids_.remove(tracked.pid);
    }
    emit(records::process(record));
    tracked.last_state = state_text;
    if (tracked.ended)
        ended_.notify_all();
}

void Reporter::end_unseen(Tracked& tracked)
{
    // LLDB may know the end without having sent its event yet.
    if (!tracked.ended && tracked.process.IsValid()) {
        const lldb::StateType state = tracked.process.GetState();
        if (state == lldb::eStateExited || state == lldb::eStateDetached)
            report(tracked, state);
    }
    if (tracked.ended)
        return;
    flush(tracked);
    tracked.ended = true;
    pids_.remove(tracked.pid);
    // LLDB drops a process without an event when a new launch or attach replaces it: it kills
    // one it launched and detaches from one it attached to.
    records::ProcessState record;
    record.state = tracked.launched_here ? "exited" : "detached";
    record.pid = tracked.pid;
    emit(records::process(record));
    tracked.last_state = record.state;
    ended_.notify_all();
}

void Reporter::listen(lldb::SBListener& listener, lldb::SBListener debugger_listener)
{
    marks_ = lldb::SBBroadcaster("lldb-helper.marks");
    listener.StartListeningForEvents(marks_, kMark);
    debugger_listener_ = debugger_listener;
}

void Reporter::set_console(int terminal_fd, ProgramTerminal& program)
{
    std::lock_guard lock(mutex_);
    console_fd_ = terminal_fd;
    program_ = &program;
}

bool Reporter::console_running()
{
    std::lock_guard lock(mutex_);
    return console_fd_ >= 0;
}

void Reporter::catch_up(std::unique_lock<std::mutex>& lock)
{
    // The listener hands out events in the order they were broadcast, so once the event thread
    // has passed this mark it has reported everything LLDB broadcast before it.
    const std::uint64_t mark = ++marks_sent_;
    marks_.BroadcastEventByType(kMark);
    caught_up_.wait_for(lock, kCatchUpPatience, [&] { return marks_passed_ >= mark; });
}

void Reporter::report_resumed(lldb::SBProcess process)
{
    if (!process.IsValid() || process.GetProcessID() == LLDB_INVALID_PROCESS_ID)
        return;
    const auto found = processes_.find(process.GetUniqueID());
    if (found == processes_.end())
        return;
    Tracked& tracked = found->second;
    // The event side finds "running" already reported and does not repeat it.
    if (!tracked.ended && tracked.last_state != "running" && resumed(process, tracked.last_state))
        report(tracked, lldb::eStateRunning);
}

bool Reporter::launched_and_live(lldb::SBProcess& process)
{
    if (!describe::is_live(process))
        return false;
    std::lock_guard lock(mutex_);
    const auto found = processes_.find(process.GetUniqueID());
    return found != processes_.end() && found->second.launched_here && !found->second.ended;
}

void Reporter::on_event(const lldb::SBEvent& event)
{
    if (event.GetBroadcaster() == marks_) {
        std::lock_guard lock(mutex_);
        ++marks_passed_;
        caught_up_.notify_all();
        return;
    }
    if (lldb::SBTarget::EventIsTargetEvent(event)) {
        // Modules load while a launch still holds the process's events: LLDB's own listener
        // comes off it before the debuggee writes anything.
        lldb::SBProcess process = lldb::SBTarget::GetTargetFromEvent(event).GetProcess();
        if (process.IsValid())
            process.GetBroadcaster().RemoveListener(debugger_listener_);
        return;
    }
    if (!lldb::SBProcess::EventIsProcessEvent(event))
        return;
    lldb::SBProcess process = lldb::SBProcess::GetProcessFromEvent(event);
    if (!process.IsValid() || process.GetProcessID() == LLDB_INVALID_PROCESS_ID)
        return;
    std::lock_guard lock(mutex_);
    Tracked& tracked = track(process);
    if ((event.GetType() & lldb::SBProcess::eBroadcastBitStateChanged) != 0) {
        const lldb::StateType state = lldb::SBProcess::GetStateFromEvent(event);
        if (state == lldb::eStateStopped && lldb::SBProcess::GetRestartedFromEvent(event))
            drain(tracked);
        else
            report(tracked, state);
    } else if (!tracked.ended) {
        drain(tracked);
    }
}

void Reporter::after_command(lldb::SBDebugger& debugger)
{
    std::unique_lock lock(mutex_);
    catch_up(lock);
    std::set<std::uint32_t> live;
    const std::uint32_t targets = debugger.GetNumTargets();
    for (std::uint32_t i = 0; i < targets; ++i) {
        lldb::SBProcess process = debugger.GetTargetAtIndex(i).GetProcess();
        if (!process.IsValid() || process.GetProcessID() == LLDB_INVALID_PROCESS_ID)
            continue;
        live.insert(process.GetUniqueID());
        Tracked& tracked = track(process);
        // An attach reports its first stop to LLDB's own listener only. For a launch the
        // current state may be a stop that LLDB already resumed from, so launches wait for
        // their events.
        if (!tracked.launched_here && tracked.last_state.empty())
            report(tracked, process.GetState());
    }
    for (auto& [id, tracked] : processes_) {
        if (tracked.ended || live.count(id) != 0)
            continue;
        end_unseen(tracked);
    }
    report_resumed(debugger.GetSelectedTarget().GetProcess());
}

void Reporter::settle(lldb::SBDebugger& debugger, std::chrono::milliseconds patience)
{
    std::unique_lock lock(mutex_);
    std::vector<lldb::SBProcess> current;
    const std::uint32_t targets = debugger.GetNumTargets();
    for (std::uint32_t i = 0; i < targets; ++i) {
        lldb::SBProcess process = debugger.GetTargetAtIndex(i).GetProcess();
        if (process.IsValid() && process.GetProcessID() != LLDB_INVALID_PROCESS_ID)
            current.push_back(process);
    }
    for (lldb::SBProcess& process : current)
        track(process);
    const auto all_ended = [this] {
        for (const auto& entry : processes_) {
            if (!entry.second.ended)
                return false;
        }
        return true;
    };
    ended_.wait_for(lock, patience, all_ended);
    for (auto& entry : processes_) {
        Tracked& tracked = entry.second;
        if (tracked.ended)
            continue;
        end_unseen(tracked);
    }
}

}  // namespace lldb_helper
