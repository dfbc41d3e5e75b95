// The requests that read and drive the debuggee of LLDB's selected target: threads, frames,
// scopes, variables, evaluate, setVariable and step.
//
// Scopes and values are named by handles, valid while the back end's view of the debuggee stays
// what it was when they were given: the same selected target, the same process, the same stop.
// Handle numbers are never reused, so a stale handle is refused rather than taken for a new one.
#pragma once

#include "backends/lldb_helper/records.h"
#include "backends/lldb_helper/requests.h"

#include <lldb/API/LLDB.h>

#include <cstdint>
#include <map>
#include <string>
#include <variant>
#include <vector>

namespace lldb_helper {

class Examiner {
public:
    explicit Examiner(lldb::SBDebugger& debugger) : debugger_(debugger) {}

    requests::Answer threads();
    requests::Answer frames(const requests::Frames& request);
    requests::Answer scopes(const requests::Scopes& request);
    requests::Answer variables(const requests::Variables& request);
    requests::Answer evaluate(const requests::Evaluate& request);
    requests::Answer set_variable(const requests::SetVariable& request);
    requests::Answer set_expression(const requests::SetExpression& request);
    requests::Answer locate(const requests::Locate& request);
    // Resumes the debuggee; the caller reports its running before the result.
    requests::Answer step(const requests::Step& request);

private:
    enum class ScopeKind { Locals, Arguments, Registers };

    struct Scope {
        lldb::SBFrame frame;
        ScopeKind kind;
    };

    using Held = std::variant<Scope, lldb::SBValue>;

    struct View {
        lldb::SBTarget target;
        std::uint32_t process = 0;  // LLDB's unique id; 0 for none
        std::uint32_t stops = 0;    // LLDB's stop id, expression stops not counted

        bool operator==(const View& other) const
        {
            return target == other.target && process == other.process && stops == other.stops;
        }
    };

    // The thread a request names, or the error that answers it.
    std::variant<lldb::SBThread, std::string> thread_of(const std::optional<std::uint64_t>& index);
    std::variant<lldb::SBFrame, std::string> frame_of(const requests::Place& place);

    // Drops every handle when the view has changed or the process is not stopped.
    void refresh();
    std::uint64_t hold(Held held);
    // What the handle holds, or a page of it.
    std::vector<lldb::SBValue> contents(const Held& held, const requests::Page& page = {});
    // A value's "value", "type", "handle" and, for an array-like one, "elements" fields, added
    // to the entry.
    // In hexadecimal when hex: integers, and the members and elements of what it holds.
    void describe_value(lldb::SBValue& value, records::Body& entry, bool hex = false);

    lldb::SBDebugger& debugger_;
    std::map<std::uint64_t, Held> handles_;
    std::uint64_t last_handle_ = 0;
    View view_;
};

}  // namespace lldb_helper
