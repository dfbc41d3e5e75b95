#pragma once
// One line of GDB/MI output read as a record: result, async, stream or prompt. The debuggee's
// own output shares the stream, so a line that is not a well-formed record is reported as
// such rather than half-read.

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace local_debugger {

// Deeper tuples and lists than this make the whole line "not a record": the parser recurses.
constexpr int maxMiNesting = 64;

struct MiResult;

struct MiValue {
    enum class Kind { String, Tuple, List };
    Kind kind = Kind::String;
    std::string string;          // a String, decoded (escapes become bytes)
    std::vector<MiResult> items; // a Tuple's name=value pairs, or a List's elements (name empty
                                 // for a list of plain values), in the order received

    // The value at a dotted path ("frame.func", "stack.1.line"): a name picks the first item of
    // that name, a number the item at that index (MI names are never numbers). Null when absent.
    const MiValue *find(std::string_view path) const;
    // The string at that path; nullopt when absent or not a string.
    std::optional<std::string_view> text(std::string_view path) const;
};

struct MiResult {
    std::string name;
    MiValue value;
};

struct MiRecord {
    enum class Kind { Result, ExecAsync, StatusAsync, NotifyAsync, ConsoleStream, TargetStream, LogStream, Prompt };
    Kind kind = Kind::Prompt;
    std::optional<uint64_t> token;                 // the digits before ^ * + =, when the command carried one
    std::string resultClass;                       // "done", "running", "error", "stopped", "thread-group-added"...
    MiValue results{MiValue::Kind::Tuple, {}, {}}; // the name=value pairs after the class
    std::string streamText;                        // a stream record's decoded text

    const MiValue *find(std::string_view path) const { return results.find(path); }
    std::optional<std::string_view> text(std::string_view path) const { return results.text(path); }
};

// A number GDB wrote as text (a field from text()); 0 when absent.
inline int64_t miNumber(std::optional<std::string_view> text, int base = 10)
{
    return text ? strtoll(std::string(*text).c_str(), nullptr, base) : 0;
}

// The record this line (without its newline) holds; nullopt when it is not one.
std::optional<MiRecord> parseMiRecord(std::string_view line);

} // namespace local_debugger
