// Data breakpoints through GDB: the value's address and size are read in its frame, and the
// watchpoint is on that memory, not on the expression, so that it outlives the frame as it
// does with LLDB.

#include <cinttypes>
#include <cstdio>

#include "host/dap/data_breakpoints.h"
#include "host/dap/gdb_driver.h"

namespace local_debugger::dap {

void GdbDriver::dataBreakpointInfo(const Json &request, const Json &arguments)
{
    const std::string name = arguments.value("name", "");
    std::optional<Handle> frame;
    std::string expression = name;
    if (arguments.contains("variablesReference")) {
        const Handle *parent = find(arguments, "variablesReference");
        const auto object = named_.find({arguments.value("variablesReference", int64_t{0}), name});
        if (parent == nullptr || object == named_.end()) {
            channel_.respond(request, noWatchInfo("no such variable (variables last until the program runs again)"));
            return;
        }
        frame = Handle{Handle::Kind::Frame, parent->thread, parent->level, "", false, 0};
        MiAnswer path = command("-var-info-path-expression " + GdbSession::quoted(object->second));
        if (!path.ok()) {
            channel_.respond(request, noWatchInfo(path.error()));
            return;
        }
        expression = std::string(path.record->text("path_expr").value_or(name));
    } else if (!frameOf(request, arguments, frame)) {
        return;
    }
    const std::string where = frame ? frameOptions(*frame) : "";
    const auto number = [&](const std::string &text, std::string &error) -> std::optional<uint64_t> {
        MiAnswer answer = command("-data-evaluate-expression" + where + " " + GdbSession::quoted(text));
        if (!answer.ok())
            error = answer.error();
        return answer.ok() ? debuggerNumber(std::string(answer.record->text("value").value_or(""))) : std::nullopt;
    };
    std::string error = "not a value in memory";
    const auto address = number("(unsigned long long) &(" + expression + ")", error);
    const auto size = address ? number("sizeof(" + expression + ")", error) : std::nullopt;
    channel_.respond(request, size ? watchInfo(*address, *size, name) : noWatchInfo(name + ": " + error));
}

void GdbDriver::setDataBreakpoints(const Json &request, const Json &arguments)
{
    replaceBreakpoints(dataBreakpoints_);
    Json answers = Json::array();
    for (const auto &wanted : dataBreakpointRequests(arguments)) {
        if (wanted.problem) {
            answers.push_back(wanted.unverified());
            continue;
        }
        char memory[64];
        std::snprintf(memory, sizeof memory, "*(char (*)[%" PRIu64 "]) 0x%" PRIx64, wanted.size, wanted.address);
        const char *kind = wanted.access == "read" ? " -r" : wanted.access == "readWrite" ? " -a" : "";
        MiAnswer set = command(std::string("-break-watch") + kind + " " + GdbSession::quoted(memory));
        int64_t id = 0;
        for (const char *field : {"wpt.number", "hw-rwpt.number", "hw-awpt.number"})
            id = id != 0 || !set.ok() ? id : miNumber(set.record->text(field));
        if (id == 0) {
            answers.push_back({{"verified", false}, {"message", set.ok() ? "GDB gave no watchpoint" : set.error()}});
            continue;
        }
        dataBreakpoints_.push_back(id);
        MiAnswer conditioned =
            wanted.condition.empty()
                ? set
                : command("-break-condition " + std::to_string(id) + " " + GdbSession::quoted(wanted.condition));
        if (conditioned.ok() && wanted.ignoreCount)
            conditioned = command("-break-after " + std::to_string(id) + " " + std::to_string(*wanted.ignoreCount));
        answers.push_back(conditioned.ok() ? Json{{"id", id}, {"verified", true}}
                                           : Json{{"id", id}, {"verified", false}, {"message", conditioned.error()}});
    }
    channel_.respond(request, {{"breakpoints", answers}});
}

} // namespace local_debugger::dap
