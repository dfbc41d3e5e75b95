#include "host/dap/stop_reasons.h"

#include <string_view>

namespace local_debugger::dap {

namespace {

// Signals that mean the program has faulted: shown as an exception, not as a signal it takes.
bool faultSignal(std::string_view signal)
{
    return signal == "SIGSEGV" || signal == "SIGBUS" || signal == "SIGFPE" || signal == "SIGILL" || signal == "SIGABRT";
}

Json signalBody(const DebuggeeStop &stop, bool fault)
{
    return {{"reason", fault ? "exception" : "signal"}, {"description", stop.description}, {"text", stop.signal}};
}

} // namespace

bool faultStop(const DebuggeeStop &stop)
{
    return stop.cause == DebuggeeStop::Cause::Exception ||
           (stop.cause == DebuggeeStop::Cause::Signal && faultSignal(stop.signal));
}

Json stoppedBody(const DebuggeeStop &stop, std::atomic<bool> &entryPending, std::atomic<bool> &pauseRequested,
                 const std::set<int64_t> &functionBreakpoints, const std::set<int64_t> &instructionBreakpoints)
{
    const auto entry = [&] { return stop.mayBeEntry && entryPending.exchange(false); };
    const auto pause = [&] { return stop.mayBePause && pauseRequested.exchange(false); };
    Json body = {{"reason", "step"}};
    switch (stop.cause) {
    case DebuggeeStop::Cause::Breakpoint:
        body["reason"] = entry()                                              ? "entry"
                         : functionBreakpoints.count(stop.breakpoint) != 0    ? "function breakpoint"
                         : instructionBreakpoints.count(stop.breakpoint) != 0 ? "instruction breakpoint"
                                                                              : "breakpoint";
        body["hitBreakpointIds"] = Json::array({stop.breakpoint});
        break;
    case DebuggeeStop::Cause::Signal:
        if (entry())
            body["reason"] = "entry";
        else if (pause())
            body["reason"] = "pause";
        else
            body = signalBody(stop, faultSignal(stop.signal));
        break;
    case DebuggeeStop::Cause::Exception:
        body = signalBody(stop, true);
        break;
    case DebuggeeStop::Cause::Watchpoint:
        body["reason"] = "data breakpoint";
        if (stop.breakpoint != 0)
            body["hitBreakpointIds"] = Json::array({stop.breakpoint});
        break;
    case DebuggeeStop::Cause::Other:
        if (pause())
            body["reason"] = "pause";
        else if (entry())
            body["reason"] = "entry";
        break;
    }
    body["threadId"] = stop.thread;
    body["allThreadsStopped"] = stop.allThreads;
    return body;
}

} // namespace local_debugger::dap
