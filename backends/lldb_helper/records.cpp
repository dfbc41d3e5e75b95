#include "backends/lldb_helper/records.h"

#include <nlohmann/json.hpp>

namespace lldb_helper::records {

namespace {

using Json = nlohmann::ordered_json;

std::string line(const Json& record)
{
    // Callers pass valid UTF-8 only; "replace" keeps a slip from ever becoming an exception.
    return record.dump(-1, ' ', false, Json::error_handler_t::replace);
}

}  // namespace

std::string ready(std::string_view backend, std::string_view version)
{
    Json record;
    record["type"] = "ready";
    record["backend"] = backend;
    record["version"] = version;
    return line(record);
}

std::string console_ended()
{
    Json record;
    record["type"] = "console";
    record["state"] = "ended";
    return line(record);
}

std::string result(std::uint64_t seq, bool ok, std::string_view output, std::string_view error,
                   const std::optional<std::vector<std::string>>& matches, const std::optional<Body>& body)
{
    Json record;
    record["type"] = "result";
    record["seq"] = seq;
    record["ok"] = ok;
    record["output"] = output;
    record["error"] = error;
    if (matches)
        record["matches"] = *matches;
    if (body)
        record["body"] = *body;
    return line(record);
}

std::string process(const ProcessState& state)
{
    Json record;
    record["type"] = "process";
    record["state"] = state.state;
    record["pid"] = state.pid;
    if (state.status)
        record["status"] = *state.status;
    if (state.reason)
        record["reason"] = *state.reason;
    if (state.signal)
        record["signal"] = *state.signal;
    if (state.breakpoint)
        record["breakpoint"] = *state.breakpoint;
    if (state.watchpoint)
        record["watchpoint"] = *state.watchpoint;
    if (state.thread)
        record["thread"] = *state.thread;
    if (state.frame && !state.frame->empty()) {
        Json frame = Json::object();
        if (state.frame->function)
            frame["function"] = *state.frame->function;
        if (state.frame->file)
            frame["file"] = *state.frame->file;
        if (state.frame->line)
            frame["line"] = *state.frame->line;
        record["frame"] = frame;
    }
    return line(record);
}

std::string output(std::string_view stream, std::string_view data)
{
    Json record;
    record["type"] = "output";
    record["stream"] = stream;
    record["data"] = data;
    return line(record);
}

std::string error(std::string_view message)
{
    Json record;
    record["type"] = "error";
    record["message"] = message;
    return line(record);
}

}  // namespace lldb_helper::records
