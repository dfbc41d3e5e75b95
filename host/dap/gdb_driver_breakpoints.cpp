// Breakpoints through GDB: each set replaces those of its source (or the function breakpoints).
// A log point is a breakpoint whose hit the driver answers itself; C++ exceptions are caught by
// GDB's catchpoints.

#include "host/dap/gdb_driver.h"

namespace local_debugger::dap {

Json GdbDriver::breakpoint(const MiAnswer &answer, const std::string &path)
{
    if (!answer.ok())
        return {{"verified", false}, {"message", answer.error()}};
    const MiValue *bkpt = answer.record->find("bkpt");
    Json result = {{"id", miNumber(bkpt ? bkpt->text("number") : std::nullopt)},
                   {"verified", bkpt && bkpt->text("addr").value_or("<PENDING>") != "<PENDING>"}};
    if (bkpt && bkpt->text("line"))
        result["line"] = miNumber(bkpt->text("line"));
    if (!path.empty())
        result["source"] = {{"path", path}};
    return result;
}

std::string GdbDriver::insert(const std::string &location, const BreakpointRequest &wanted)
{
    std::string text = "-break-insert -f";
    if (!wanted.condition.empty())
        text += " -c " + GdbSession::quoted(wanted.condition);
    if (wanted.ignoreCount)
        text += " -i " + std::to_string(*wanted.ignoreCount);
    return text + " -- " + GdbSession::quoted(location); // a location starting with - is no option
}

void GdbDriver::deleteBreakpoints(const std::vector<int64_t> &ids)
{
    std::string text = "-break-delete";
    for (int64_t number : ids)
        text.append(" ").append(std::to_string(number));
    command(text);
}

void GdbDriver::replaceBreakpoints(std::vector<int64_t> &numbers)
{
    if (numbers.empty())
        return;
    deleteBreakpoints(numbers);
    numbers.clear();
}

void GdbDriver::setBreakpoints(const Json &request, const Json &arguments)
{
    const std::string path = arguments.value("source", Json::object()).value("path", "");
    if (path.empty()) {
        fail(request, "setBreakpoints needs source.path");
        return;
    }
    auto &numbers = sourceBreakpoints_[path];
    replaceBreakpoints(numbers);
    Json answers = Json::array();
    std::map<int64_t, LogMessage> logPoints;
    for (const auto &wanted : breakpointRequests(arguments, "line", 0)) {
        if (wanted.problem) {
            answers.push_back(wanted.unverified());
            continue;
        }
        Json placed = breakpoint(command(insert(path + ":" + wanted.where.dump(), wanted)), path);
        if (placed.contains("id")) {
            numbers.push_back(placed["id"].get<int64_t>());
            if (wanted.log)
                logPoints.emplace(numbers.back(), *wanted.log);
        }
        answers.push_back(placed);
    }
    replaceLogPoints(path, std::move(logPoints));
    channel_.respond(request, {{"breakpoints", answers}});
}

void GdbDriver::setFunctionBreakpoints(const Json &request, const Json &arguments)
{
    replaceBreakpoints(functionBreakpoints_);
    {
        std::lock_guard<std::mutex> guard(lock_);
        functionBreakpointIds_.clear();
    }
    Json answers = Json::array();
    for (const auto &wanted : breakpointRequests(arguments, "name", "")) {
        if (wanted.problem) {
            answers.push_back(wanted.unverified());
            continue;
        }
        Json placed = breakpoint(command(insert(wanted.where.get<std::string>(), wanted)), "");
        if (placed.contains("id")) {
            functionBreakpoints_.push_back(placed["id"].get<int64_t>());
            std::lock_guard<std::mutex> guard(lock_);
            functionBreakpointIds_.insert(placed["id"].get<int64_t>());
        }
        answers.push_back(placed);
    }
    channel_.respond(request, {{"breakpoints", answers}});
}

std::string GdbDriver::valueAt(int64_t thread, const std::string &expression)
{
    const MiAnswer value = command("-data-evaluate-expression --thread " + std::to_string(thread) + " --frame 0 " +
                                   GdbSession::quoted(expression));
    return value.ok() ? std::string(value.record->text("value").value_or("")) : value.error();
}

std::optional<std::string> GdbDriver::resumeAfterLog(int64_t)
{
    const MiAnswer resumed = command("-exec-continue");
    return resumed.ok() ? std::nullopt : std::optional(resumed.error());
}

// GDB's siginfo holds the address for the signals a fault raises; its value reads "(void *) 0x0".
std::string GdbDriver::faultDescription(const DebuggeeStop &stop)
{
    if (stop.signal != "SIGSEGV" && stop.signal != "SIGBUS" && stop.signal != "SIGILL" && stop.signal != "SIGFPE")
        return stop.description;
    std::string address = valueAt(stop.thread, "$_siginfo._sifields._sigfault.si_addr");
    const size_t at = address.rfind(' ');
    address = at == std::string::npos ? address : address.substr(at + 1);
    if (!address.starts_with("0x"))
        return stop.description; // no siginfo (a core file, a remote target)
    return stop.description + " (fault address: " + address + ")";
}

GdbDriver::Placed GdbDriver::catchExceptions(bool thrown)
{
    const MiAnswer caught = command(thrown ? "-catch-throw" : "-catch-catch");
    const MiValue *bkpt = caught.ok() ? caught.record->find("bkpt") : nullptr;
    if (bkpt == nullptr)
        return {0, caught.ok() ? "GDB gave no catchpoint" : caught.error()};
    return {miNumber(bkpt->text("number")), ""};
}

} // namespace local_debugger::dap
