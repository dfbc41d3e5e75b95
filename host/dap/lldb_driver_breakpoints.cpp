// The LLDB driver's breakpoints of every kind, log points' values and the stops for faults and
// exceptions.

#include <cstdlib>
#include <map>

#include "host/dap/data_breakpoints.h"
#include "host/dap/lldb_driver.h"

namespace local_debugger::dap {

using namespace std::chrono_literals;

Json LldbDriver::placed(const Json &body, const std::string &path)
{
    Json list = Json::array();
    for (const auto &breakpoint : body.value("breakpoints", Json::array())) {
        Json out = {{"verified", breakpoint.value("verified", false)}};
        if (breakpoint.contains("id"))
            out["id"] = breakpoint["id"];
        if (breakpoint.contains("line"))
            out["line"] = breakpoint["line"];
        if (breakpoint.contains("message"))
            out["message"] = breakpoint["message"];
        if (!path.empty())
            out["source"] = {{"path", path}};
        list.push_back(out);
    }
    return {{"breakpoints", list}};
}

Json LldbDriver::given(const std::vector<BreakpointRequest> &allWanted, const char *key)
{
    Json list = Json::array();
    for (const auto &wanted : allWanted) {
        if (wanted.problem)
            continue;
        Json to = {{key, wanted.where}};
        if (!wanted.condition.empty())
            to["condition"] = wanted.condition;
        if (wanted.ignoreCount)
            to["ignoreCount"] = *wanted.ignoreCount;
        list.push_back(to);
    }
    return list;
}

Json LldbDriver::answered(const std::vector<BreakpointRequest> &allWanted, const Json &placedBody)
{
    const Json &placedList = placedBody["breakpoints"];
    Json list = Json::array();
    size_t next = 0;
    for (const auto &wanted : allWanted) {
        if (wanted.problem)
            list.push_back(wanted.unverified());
        else if (next < placedList.size())
            list.push_back(placedList[next++]);
    }
    return {{"breakpoints", list}};
}

void LldbDriver::setBreakpoints(const Json &request, const Json &arguments)
{
    const std::string path = arguments.value("source", Json::object()).value("path", "");
    if (path.empty()) {
        channel_.fail(request, "setBreakpoints needs source.path");
        return;
    }
    const auto lines = breakpointRequests(arguments, "line", 0);
    forward(request, {{"request", "breakpoints"}, {"file", path}, {"lines", given(lines, "line")}},
            [&](const Json &body) {
                Json answers = answered(lines, placed(body, path));
                std::map<int64_t, LogMessage> logPoints;
                for (size_t at = 0; at < lines.size() && at < answers["breakpoints"].size(); ++at) {
                    if (lines[at].log && answers["breakpoints"][at].contains("id"))
                        logPoints.emplace(answers["breakpoints"][at]["id"].get<int64_t>(), *lines[at].log);
                }
                replaceLogPoints(path, std::move(logPoints));
                return answers;
            });
}

std::string LldbDriver::valueAt(int64_t thread, const std::string &expression)
{
    const LldbAnswer value =
        ask({{"request", "evaluate"}, {"expression", expression}, {"thread", thread}, {"frame", 0}});
    return value.ok() ? value.body().value("value", "") : value.error();
}

std::optional<std::string> LldbDriver::resumeAfterLog(int64_t thread)
{
    const LldbAnswer resumed = ask({{"request", "step"}, {"kind", "continue"}, {"thread", thread}});
    return resumed.ok() ? std::nullopt : std::optional(resumed.error());
}

// LLDB's stop description names the fault's address: "signal SIGSEGV: invalid address (fault
// address: 0x0)", the end of its thread's line in `thread info`.
std::string LldbDriver::faultDescription(const DebuggeeStop &stop)
{
    const std::string info = line("thread info " + std::to_string(stop.thread)).output();
    const std::string_view marker = "stop reason = ";
    const size_t at = info.find(marker);
    if (at == std::string::npos)
        return stop.description;
    const size_t from = at + marker.size();
    return info.substr(from, info.find('\n', from) - from);
}

LldbDriver::Placed LldbDriver::catchExceptions(bool thrown)
{
    const LldbAnswer set =
        line(thrown ? "breakpoint set -E c++ -w true -h false" : "breakpoint set -E c++ -w false -h true");
    const std::string text = set.output(); // "Breakpoint 3: ..."
    if (!set.ok() || !text.starts_with("Breakpoint "))
        return {0, set.ok() ? "LLDB gave no breakpoint" : set.error()};
    return {std::strtoll(text.c_str() + std::string_view("Breakpoint ").size(), nullptr, 10), ""};
}

void LldbDriver::deleteBreakpoints(const std::vector<int64_t> &ids)
{
    std::string text = "breakpoint delete";
    for (int64_t id : ids)
        text.append(" ").append(std::to_string(id));
    line(text);
}

void LldbDriver::setFunctionBreakpoints(const Json &request, const Json &arguments)
{
    const auto functions = breakpointRequests(arguments, "name", "");
    forward(request, {{"request", "functionBreakpoints"}, {"functions", given(functions, "name")}},
            [&](const Json &body) {
                std::lock_guard<std::mutex> guard(lock_);
                functionBreakpointIds_.clear();
                for (const auto &breakpoint : body.value("breakpoints", Json::array()))
                    functionBreakpointIds_.insert(breakpoint.value("id", int64_t{0}));
                return answered(functions, placed(body, ""));
            });
}

void LldbDriver::dataBreakpointInfo(const Json &request, const Json &arguments)
{
    const std::string name = arguments.value("name", "");
    Json structured = {{"request", "locate"}, {"name", name}};
    if (arguments.contains("variablesReference"))
        structured["handle"] = arguments["variablesReference"];
    else
        placeIn(structured, arguments);
    const LldbAnswer result = ask(structured);
    const Json body = result.body();
    if (!result.ok() || !body.value("address", Json()).is_number_unsigned()) {
        const std::string why = result.error();
        channel_.respond(request, noWatchInfo(why.starts_with("error: ") ? why.substr(7) : why));
        return;
    }
    channel_.respond(request, watchInfo(body["address"].get<uint64_t>(), body.value("size", uint64_t{0}), name));
}

void LldbDriver::setDataBreakpoints(const Json &request, const Json &arguments)
{
    const std::vector<DataBreakpointRequest> allWanted = dataBreakpointRequests(arguments);
    Json given = Json::array();
    for (const auto &wanted : allWanted) {
        if (wanted.problem)
            continue;
        Json to = {{"address", wanted.address}, {"size", wanted.size}, {"access", wanted.access}};
        if (!wanted.condition.empty())
            to["condition"] = wanted.condition;
        if (wanted.ignoreCount)
            to["ignoreCount"] = *wanted.ignoreCount;
        given.push_back(to);
    }
    forward(request, {{"request", "watchpoints"}, {"watchpoints", given}}, [&](const Json &body) {
        const Json placedList = body.value("watchpoints", Json::array());
        Json list = Json::array();
        size_t next = 0;
        for (const auto &wanted : allWanted)
            list.push_back(wanted.problem || next >= placedList.size() ? wanted.unverified() : placedList[next++]);
        return Json{{"breakpoints", list}};
    });
}

void LldbDriver::setInstructionBreakpoints(const Json &request, const Json &arguments)
{
    const auto wanted = instructionBreakpointRequests(arguments);
    forward(request, {{"request", "instructionBreakpoints"}, {"addresses", given(wanted, "address")}},
            [&](const Json &body) {
                Json answers = answered(wanted, placed(body, ""));
                std::lock_guard<std::mutex> guard(lock_);
                instructionBreakpointIds_.clear();
                for (size_t at = 0; at < wanted.size() && at < answers["breakpoints"].size(); ++at) {
                    Json &answer = answers["breakpoints"][at];
                    if (answer.contains("id"))
                        instructionBreakpointIds_.insert(answer["id"].get<int64_t>());
                    if (!wanted[at].problem)
                        answer["instructionReference"] = hexAddress(wanted[at].where.get<uint64_t>());
                }
                return answers;
            });
}

} // namespace local_debugger::dap
