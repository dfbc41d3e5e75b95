// Turns what LLDB knows about debuggee processes into "process" and "output" records.
//
// Two threads feed it: the event thread with LLDB's process events, and the command thread
// after every command (LLDB consumes some state changes itself, an attach's first stop for
// one, and replaces a process without an event when a new launch kills the old one). Each
// process is tracked by LLDB's unique id, so a state is reported once whichever thread sees it
// first. A command that leaves its process running gets that process's "running" record before
// its result, even when LLDB publishes the resumption only later.
#pragma once

#include "backends/lldb_helper/event_writer.h"
#include "backends/lldb_helper/program_terminal.h"
#include "backends/lldb_helper/utf8.h"

#include <lldb/API/LLDB.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace lldb_helper {

// Debuggee pids, readable without a lock by the last-resort shutdown path.
class PidList {
public:
    void add(std::uint64_t pid);
    void remove(std::uint64_t pid);
    std::vector<std::uint64_t> snapshot() const;

private:
    std::array<std::atomic<std::uint64_t>, 64> slots_{};
};

class Reporter {
public:
    explicit Reporter(EventWriter& writer) : writer_(writer) {}

    // Before any event is read: the listener must also hear the reporter's own marks. LLDB's
    // own listener is taken off every process, so that each event reaches it only once the
    // records have what it carried (see forward_to).
    void listen(lldb::SBListener& listener, lldb::SBListener debugger_listener);
    // While LLDB's interpreter runs on a terminal: what the debuggee writes is copied there as
    // it is read, and the events go on to LLDB's own listener. A debuggee launched meanwhile
    // writes to the program's terminal, read here; LLDB's own terminal for it carries only the
    // echo of what is typed to it.
    void set_console(int terminal_fd, ProgramTerminal& program);
    bool console_running();
    // The program's terminal has something to read.
    void relay_program();
    void on_event(const lldb::SBEvent& event);
    void after_command(lldb::SBDebugger& debugger);

    // Whether the process is one this back end launched and has not seen end.
    bool launched_and_live(lldb::SBProcess& process);

    // After the debuggees have been killed: waits (up to patience) for their ends to come in
    // as events, then reports whatever is still open as ended.
    void settle(lldb::SBDebugger& debugger, std::chrono::milliseconds patience);

    const PidList& pids() const { return pids_; }

private:
    struct Tracked {
        lldb::SBProcess process;
        std::uint64_t pid = 0;
        bool launched_here = false;
        std::string last_state;
        std::uint32_t stop_id = 0;
        bool ended = false;
        Utf8Decoder stdout_text;
        Utf8Decoder stderr_text;
    };

    Tracked& track(lldb::SBProcess& process);
    void report(Tracked& tracked, lldb::StateType state);
    void drain(Tracked& tracked, bool settled = false);
    void drain_program(bool settled);
    void settle_echo(Tracked& tracked);
    void pass_on(const char* stream, Utf8Decoder& text, std::string_view bytes);
    void flush(Tracked& tracked);
    void end_unseen(Tracked& tracked);
    void catch_up(std::unique_lock<std::mutex>& lock);
    void report_resumed(lldb::SBProcess process);
    void emit(const std::string& line);

    EventWriter& writer_;
    PidList pids_;
    std::mutex mutex_;
    std::condition_variable ended_;
    std::map<std::uint32_t, Tracked> processes_;
    lldb::SBBroadcaster marks_;
    lldb::SBListener debugger_listener_;
    int console_fd_ = -1;
    ProgramTerminal* program_ = nullptr;
    Utf8Decoder program_text_;
    std::uint64_t marks_sent_ = 0;
    std::uint64_t marks_passed_ = 0;
    std::condition_variable caught_up_;
};

}  // namespace lldb_helper
