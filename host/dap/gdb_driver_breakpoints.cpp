// Breakpoints through GDB: each set replaces those of its source (or the function breakpoints).

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

void GdbDriver::replaceBreakpoints(std::vector<int64_t> &numbers)
{
    if (numbers.empty())
        return;
    std::string text = "-break-delete";
    for (int64_t number : numbers)
        text.append(" ").append(std::to_string(number));
    command(text);
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
    for (const auto &wanted : breakpointRequests(arguments, "line", 0)) {
        if (wanted.problem) {
            answers.push_back(wanted.unverified());
            continue;
        }
        Json placed = breakpoint(command(insert(path + ":" + wanted.where.dump(), wanted)), path);
        if (placed.contains("id"))
            numbers.push_back(placed["id"].get<int64_t>());
        answers.push_back(placed);
    }
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

} // namespace local_debugger::dap
