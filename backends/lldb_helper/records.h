// The records of the event descriptor, as single lines of compact JSON.
//
// Field order is fixed ("type" first, then the fields in the order the protocol lists them)
// so that both back ends write byte-identical lines for the same facts. Every string handed in
// here must already be valid UTF-8.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lldb_helper::records {

struct Frame {
    std::optional<std::string> function;
    std::optional<std::string> file;
    std::optional<std::uint32_t> line;

    bool empty() const { return !function && !file && !line; }
};

struct ProcessState {
    std::string state;
    std::uint64_t pid = 0;
    std::optional<std::int64_t> status;       // "exited"
    std::optional<std::string> reason;        // "stopped"
    std::optional<std::string> signal;        // "stopped" by a signal
    std::optional<std::uint64_t> breakpoint;  // "stopped" at a breakpoint: its id
    std::optional<std::uint64_t> watchpoint;  // "stopped" at a watchpoint: its id
    std::optional<std::uint32_t> thread;      // "stopped"
    std::optional<Frame> frame;               // "stopped"
};

std::string ready(std::string_view backend, std::string_view version);
// A request's data; its key order is kept, as it is the order on the wire.
using Body = nlohmann::ordered_json;

std::string result(std::uint64_t seq, bool ok, std::string_view output, std::string_view error,
                   const std::optional<std::vector<std::string>>& matches = std::nullopt,
                   const std::optional<Body>& body = std::nullopt);
std::string process(const ProcessState& state);
std::string output(std::string_view stream, std::string_view data);
std::string error(std::string_view message);
// LLDB's interpreter on a terminal ended: "quit" typed there, or the end of its input.
std::string console_ended();

}  // namespace lldb_helper::records
