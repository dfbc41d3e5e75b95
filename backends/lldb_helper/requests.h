// Requests: input lines that hold a JSON object instead of an LLDB command.
//
// Parsing is kept apart from LLDB so that every refusal is decided here, with texts that the
// script back end reproduces exactly.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace lldb_helper::requests {

// The text as a JSON string, as error texts quote names.
std::string json_quoted(std::string_view text);

// A line is a request when its first character other than a space or a tab is '{'.
bool is_request(std::string_view line);

// {"request":"input","data":...}: bytes for the debuggee's terminal.
struct Input {
    std::string data;
};

// {"request":"complete","line":...,"cursor":...}, the cursor already turned from characters
// into a byte offset into line.
struct Complete {
    std::string line;
    std::size_t cursor = 0;
};

// What a breakpoint request entry adds to where it is: an empty condition is none.
struct Stopping {
    std::string condition;
    std::uint32_t ignore_count = 0;
};

struct LineBreakpoint {
    std::uint32_t line = 0;
    Stopping stopping;
};

struct Breakpoints {
    std::string file;
    std::vector<LineBreakpoint> lines;
};

struct FunctionBreakpoint {
    std::string name;
    Stopping stopping;
};

struct FunctionBreakpoints {
    std::vector<FunctionBreakpoint> functions;
};

struct Threads {};

// Thread index and frame index as given; absent means LLDB's selection.
struct Place {
    std::optional<std::uint64_t> thread;
    std::optional<std::uint64_t> frame;
};

// A page of a list: count entries from start on; without a count, all of them from start on.
struct Page {
    std::uint64_t start = 0;
    std::optional<std::uint64_t> count;

    bool past_end(std::uint64_t index) const { return count && index - start >= *count; }
};

struct Frames {
    std::optional<std::uint64_t> thread;
    Page page;
};

struct Scopes {
    Place place;
};

struct Variables {
    std::uint64_t handle = 0;
    Page page;
    bool hex = false;  // "format":"hex": integers shown in hexadecimal
};

struct Evaluate {
    std::string expression;
    Place place;
    bool hex = false;
};

// {"request":"setExpression",...}: writes value to what an lvalue expression names in a frame.
struct SetExpression {
    std::string expression;
    std::string value;
    Place place;
    bool hex = false;
};

struct SetVariable {
    std::uint64_t handle = 0;
    std::string name;
    std::string value;
};

// {"request":"locate",...}: where a value lies: the child of a handle by name, or, without a
// handle, the expression name in a frame.
struct Locate {
    std::optional<std::uint64_t> handle;
    std::string name;
    Place place;
};

struct Watchpoint {
    std::uint64_t address = 0;
    std::uint64_t size = 0;
    bool read = false;
    bool write = true;
    Stopping stopping;
};

// {"request":"watchpoints",...}: watchpoints on memory, in place of those set before.
struct Watchpoints {
    std::vector<Watchpoint> watchpoints;
};

enum class StepKind { Over, Into, Out, Continue, OverInstruction, IntoInstruction };

struct Step {
    StepKind kind = StepKind::Over;
    std::optional<std::uint64_t> thread;
};

// The most bytes one readMemory or writeMemory request moves, and the most instructions one
// disassemble request lists: an answer is held whole.
constexpr std::uint64_t kMaxMemoryBytes = 1 << 20;
constexpr std::uint64_t kMaxInstructions = 1 << 18;

struct ReadMemory {
    std::uint64_t address = 0;
    std::uint64_t count = 0;
};

struct WriteMemory {
    std::uint64_t address = 0;
    std::string bytes;
};

// count instructions from address on, those that start before end when it is given.
struct Disassemble {
    std::uint64_t address = 0;
    std::optional<std::uint64_t> end;
    std::uint64_t count = 0;
};

struct InstructionBreakpoint {
    std::uint64_t address = 0;
    Stopping stopping;
};

struct InstructionBreakpoints {
    std::vector<InstructionBreakpoint> addresses;
};

// {"request":"launch",...}: the program's arguments, kept as the target's and, when start is
// true, the program launched with them in cwd.
struct Launch {
    std::vector<std::string> arguments;
    std::optional<std::string> cwd;
    bool stop_at_entry = false;
    bool start = true;
    std::optional<std::string> terminal;  // the program's standard streams, when given
};

// {"request":"console","terminal":...,"initFile":...}: LLDB's own command interpreter on the
// terminal at that path, the user's init file read first when asked.
struct Console {
    std::string terminal;
    bool init_file = false;
};

// {"request":"consoleSize"}: the console's terminal changed its size.
struct ConsoleSize {};

// {"request":"modules"} and {"request":"sources"}: the selected target's modules and source files.
struct Modules {};
struct Sources {};

using Request =
    std::variant<Input, Complete, Breakpoints, FunctionBreakpoints, Threads, Frames, Scopes, Variables, Evaluate,
                 SetVariable, SetExpression, Locate, Watchpoints, Step, Launch, Console, ConsoleSize, ReadMemory,
                 WriteMemory, Disassemble, InstructionBreakpoints, Modules, Sources>;

// The request a line holds, or the error text (one line ending in "\n") that answers it.
std::variant<Request, std::string> parse(std::string_view line);

// What a result record says of a request carried out or refused.
struct Answer {
    bool ok = true;
    std::string error;
    std::optional<nlohmann::ordered_json> body;
};

inline Answer refused(std::string error)
{
    return Answer{false, std::move(error), std::nullopt};
}

inline Answer answered(nlohmann::ordered_json body)
{
    return Answer{true, "", std::move(body)};
}

}  // namespace lldb_helper::requests
