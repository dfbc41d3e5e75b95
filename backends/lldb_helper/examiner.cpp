#include "backends/lldb_helper/examiner.h"

#include "backends/lldb_helper/describe.h"

#include <cinttypes>
#include <cstdio>

namespace lldb_helper {

namespace {

// LLDB's error code for an expression that has no value, such as a call of a void function.
constexpr std::uint32_t kNoResult = 0x1001;

bool is_stopped(lldb::SBProcess& process)
{
    const lldb::StateType state = process.GetState();
    return state == lldb::eStateStopped || state == lldb::eStateSuspended;
}

// The value as "frame variable" shows it after the type.
std::string shown(lldb::SBValue& value)
{
    const std::optional<std::string> text = describe::text(value.GetValue());
    const std::optional<std::string> summary = describe::text(value.GetSummary());
    if (text && summary)
        return *text + " " + *summary;
    if (text)
        return *text;
    if (summary)
        return *summary;
    return value.GetNumChildren() > 0 ? "{...}" : "";
}

// An array, or a value whose children are indexed as an array's are: a std::vector's synthetic
// children, [0], [1], ...
bool is_array_like(lldb::SBValue& value, std::uint32_t children)
{
    if (value.GetType().GetCanonicalType().IsArrayType())
        return true;
    return children > 0 && describe::text(value.GetChildAtIndex(0).GetName()).value_or("").starts_with("[");
}

std::string hex_address(lldb::addr_t address)
{
    char text[32];
    std::snprintf(text, sizeof text, "0x%016" PRIx64, static_cast<std::uint64_t>(address));
    return text;
}

// What a pointer points to; where an array or a structure lies.
std::optional<lldb::addr_t> address_of(lldb::SBValue& value)
{
    lldb::SBType type = value.GetType().GetCanonicalType();
    if (type.IsPointerType())
        return value.GetValueAsUnsigned();
    const lldb::TypeClass kind = type.GetTypeClass();
    if ((kind & (lldb::eTypeClassArray | lldb::eTypeClassStruct | lldb::eTypeClassClass | lldb::eTypeClassUnion)) == 0)
        return std::nullopt;
    const lldb::addr_t address = value.GetLoadAddress();
    if (address == LLDB_INVALID_ADDRESS)
        return std::nullopt;
    return address;
}

std::optional<std::uint32_t> known(std::uint32_t number)
{
    if (number == 0 || number == UINT32_MAX)
        return std::nullopt;
    return number;
}

}  // namespace

std::variant<lldb::SBThread, std::string> Examiner::thread_of(const std::optional<std::uint64_t>& index)
{
    lldb::SBProcess process = debugger_.GetSelectedTarget().GetProcess();
    if (!describe::is_live(process))
        return std::string("error: no process\n");
    if (!is_stopped(process))
        return std::string("error: the process is not stopped\n");
    if (!index) {
        lldb::SBThread selected = process.GetSelectedThread();
        if (!selected.IsValid())
            return std::string("error: no thread selected\n");
        return selected;
    }
    lldb::SBThread thread;
    if (*index <= UINT32_MAX)
        thread = process.GetThreadByIndexID(static_cast<std::uint32_t>(*index));
    if (!thread.IsValid())
        return "error: no thread " + std::to_string(*index) + "\n";
    return thread;
}

std::variant<lldb::SBFrame, std::string> Examiner::frame_of(const requests::Place& place)
{
    std::variant<lldb::SBThread, std::string> thread = thread_of(place.thread);
    if (auto* refusal = std::get_if<std::string>(&thread))
        return *refusal;
    lldb::SBThread& found = std::get<lldb::SBThread>(thread);
    const std::uint64_t index = place.frame.value_or(found.GetSelectedFrame().GetFrameID());
    lldb::SBFrame frame;
    if (index <= UINT32_MAX)
        frame = found.GetFrameAtIndex(static_cast<std::uint32_t>(index));
    if (!frame.IsValid())
        return "error: no frame " + std::to_string(index) + "\n";
    return frame;
}

void Examiner::refresh()
{
    View now;
    now.target = debugger_.GetSelectedTarget();
    lldb::SBProcess process = now.target.GetProcess();
    bool running = false;
    if (describe::is_live(process)) {
        now.process = process.GetUniqueID();
        now.stops = process.GetStopID();
        running = !is_stopped(process);
    }
    if (running || !(now == view_))
        handles_.clear();
    view_ = now;
}

std::uint64_t Examiner::hold(Held held)
{
    handles_.emplace(++last_handle_, std::move(held));
    return last_handle_;
}

std::vector<lldb::SBValue> Examiner::contents(const Held& held, const requests::Page& page)
{
    // Only the page's children are made: each of an array's costs LLDB a value of its own.
    std::vector<lldb::SBValue> values;
    if (const auto* scope = std::get_if<Scope>(&held)) {
        lldb::SBFrame frame = scope->frame;
        lldb::SBValueList list;
        if (scope->kind == ScopeKind::Registers)
            list = frame.GetRegisters();
        else
            list =
                frame.GetVariables(scope->kind == ScopeKind::Arguments, scope->kind == ScopeKind::Locals, false, true);
        for (std::uint64_t i = page.start; i < list.GetSize() && !page.past_end(i); ++i)
            values.push_back(list.GetValueAtIndex(static_cast<std::uint32_t>(i)));
        return values;
    }
    lldb::SBValue parent = std::get<lldb::SBValue>(held);
    const std::uint32_t total = parent.GetNumChildren();
    for (std::uint64_t i = page.start; i < total && !page.past_end(i); ++i)
        values.push_back(parent.GetChildAtIndex(static_cast<std::uint32_t>(i)));
    return values;
}

void Examiner::describe_value(lldb::SBValue& value, records::Body& entry, bool hex)
{
    value.SetFormat(hex ? lldb::eFormatHex : lldb::eFormatDefault);
    entry["value"] = shown(value);
    if (const std::optional<std::string> type = describe::text(value.GetDisplayTypeName()))
        entry["type"] = *type;
    const std::uint32_t children = value.GetNumChildren();
    entry["handle"] = children > 0 ? hold(value) : 0;
    if (is_array_like(value, children))
        entry["elements"] = children;
    if (const std::optional<lldb::addr_t> address = address_of(value))
        entry["address"] = hex_address(*address);
}

requests::Answer Examiner::threads()
{
    records::Body list = records::Body::array();
    lldb::SBProcess process = debugger_.GetSelectedTarget().GetProcess();
    const std::uint32_t count = describe::is_live(process) ? process.GetNumThreads() : 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        lldb::SBThread thread = process.GetThreadAtIndex(i);
        // While the process runs LLDB calls its threads invalid, yet still knows their numbers.
        const std::uint32_t id = thread.GetIndexID();
        if (id == LLDB_INVALID_INDEX32)
            continue;
        list.push_back(
            {{"id", id}, {"name", describe::text(thread.GetName()).value_or("thread #" + std::to_string(id))}});
    }
    return requests::answered({{"threads", list}});
}

requests::Answer Examiner::frames(const requests::Frames& request)
{
    std::variant<lldb::SBThread, std::string> found = thread_of(request.thread);
    if (auto* refusal = std::get_if<std::string>(&found))
        return requests::refused(*refusal);
    lldb::SBThread& thread = std::get<lldb::SBThread>(found);
    const std::uint32_t total = thread.GetNumFrames();
    records::Body list = records::Body::array();
    for (std::uint64_t index = request.page.start; index < total && !request.page.past_end(index); ++index) {
        lldb::SBFrame frame = thread.GetFrameAtIndex(static_cast<std::uint32_t>(index));
        records::Body entry = records::Body::object();
        entry["index"] = index;
        entry["function"] = describe::text(frame.GetFunctionName()).value_or("??");
        lldb::SBLineEntry line = frame.GetLineEntry();
        if (line.IsValid()) {
            if (const std::optional<std::string> file = describe::path(line.GetFileSpec()))
                entry["file"] = *file;
            if (const std::optional<std::uint32_t> number = known(line.GetLine()))
                entry["line"] = *number;
            if (const std::optional<std::uint32_t> column = known(line.GetColumn()))
                entry["column"] = *column;
        }
        entry["address"] = hex_address(frame.GetPC());
        list.push_back(std::move(entry));
    }
    return requests::answered({{"frames", list}, {"total", total}});
}

requests::Answer Examiner::scopes(const requests::Scopes& request)
{
    refresh();
    std::variant<lldb::SBFrame, std::string> found = frame_of(request.place);
    if (auto* refusal = std::get_if<std::string>(&found))
        return requests::refused(*refusal);
    const lldb::SBFrame& frame = std::get<lldb::SBFrame>(found);
    records::Body list = records::Body::array();
    for (const auto& [name, kind] :
         {std::pair{"Locals", ScopeKind::Locals}, std::pair{"Arguments", ScopeKind::Arguments},
          std::pair{"Registers", ScopeKind::Registers}})
        list.push_back({{"name", name}, {"handle", hold(Scope{frame, kind})}});
    return requests::answered({{"scopes", list}});
}

requests::Answer Examiner::variables(const requests::Variables& request)
{
    refresh();
    const auto found = handles_.find(request.handle);
    if (found == handles_.end())
        return requests::refused("error: no such handle " + std::to_string(request.handle) + "\n");
    records::Body list = records::Body::array();
    for (lldb::SBValue& value : contents(found->second, request.page)) {
        records::Body entry = records::Body::object();
        entry["name"] = describe::text(value.GetName()).value_or("");
        describe_value(value, entry, request.hex);
        list.push_back(std::move(entry));
    }
    return requests::answered({{"variables", list}});
}

requests::Answer Examiner::evaluate(const requests::Evaluate& request)
{
    refresh();
    lldb::SBTarget target = debugger_.GetSelectedTarget();
    lldb::SBProcess process = target.GetProcess();
    lldb::SBValue value;
    if (describe::is_live(process) || request.place.thread || request.place.frame) {
        std::variant<lldb::SBFrame, std::string> found = frame_of(request.place);
        if (auto* refusal = std::get_if<std::string>(&found))
            return requests::refused(*refusal);
        lldb::SBFrame frame = std::get<lldb::SBFrame>(found);
        value = frame.EvaluateExpression(request.expression.c_str());
        // What the expression parser cannot read may still be a path through the frame's
        // variables, as frame variable reads one: numbers[1] of a std::vector.
        if (!value.IsValid() || value.GetError().Fail()) {
            lldb::SBValue path = frame.GetValueForVariablePath(request.expression.c_str());
            if (path.IsValid() && path.GetError().Success())
                value = path;
        }
    } else {
        if (!target.IsValid())
            return requests::refused("error: no target\n");
        value = target.EvaluateExpression(request.expression.c_str());
    }
    lldb::SBError error = value.GetError();
    records::Body body = records::Body::object();
    if (value.IsValid() && error.Success()) {
        describe_value(value, body, request.hex);
        return requests::answered(std::move(body));
    }
    if (error.GetError() == kNoResult && error.GetType() == lldb::eErrorTypeGeneric)
        return requests::answered({{"value", ""}, {"handle", 0}});
    return requests::refused(describe::error_line(error.GetCString(), "error: cannot evaluate the expression\n"));
}

requests::Answer Examiner::set_variable(const requests::SetVariable& request)
{
    refresh();
    const auto found = handles_.find(request.handle);
    if (found == handles_.end())
        return requests::refused("error: no such handle " + std::to_string(request.handle) + "\n");
    for (lldb::SBValue& child : contents(found->second)) {
        if (describe::text(child.GetName()).value_or("") != request.name)
            continue;
        lldb::SBError error;
        if (!child.SetValueFromCString(request.value.c_str(), error))
            return requests::refused(describe::error_line(
                error.GetCString(), "error: cannot set " + requests::json_quoted(request.name) + "\n"));
        return requests::answered({{"value", shown(child)}});
    }
    return requests::refused("error: handle " + std::to_string(request.handle) + " has no child " +
                             requests::json_quoted(request.name) + "\n");
}

requests::Answer Examiner::set_expression(const requests::SetExpression& request)
{
    refresh();
    std::variant<lldb::SBFrame, std::string> found = frame_of(request.place);
    if (auto* refusal = std::get_if<std::string>(&found))
        return requests::refused(*refusal);
    lldb::SBFrame frame = std::get<lldb::SBFrame>(found);
    // A path through the frame's variables runs no code; any other lvalue is reached through
    // its address, since an expression's result is a copy that writes nothing back.
    lldb::SBValue target = frame.GetValueForVariablePath(request.expression.c_str());
    if (!target.IsValid() || target.GetError().Fail()) {
        lldb::SBValue address = frame.EvaluateExpression(("&(" + request.expression + ")").c_str());
        if (!address.IsValid() || address.GetError().Fail())
            return requests::refused(
                describe::error_line(address.GetError().GetCString(), "error: cannot assign to the expression\n"));
        target = address.Dereference();
    }
    lldb::SBError error;
    if (!target.SetValueFromCString(request.value.c_str(), error))
        return requests::refused(describe::error_line(error.GetCString(), "error: cannot assign to the expression\n"));
    records::Body body = records::Body::object();
    describe_value(target, body, request.hex);
    return requests::answered(std::move(body));
}

requests::Answer Examiner::locate(const requests::Locate& request)
{
    refresh();
    lldb::SBValue value;
    if (request.handle) {
        const auto found = handles_.find(*request.handle);
        if (found == handles_.end())
            return requests::refused("error: no such handle " + std::to_string(*request.handle) + "\n");
        for (lldb::SBValue& child : contents(found->second)) {
            if (!value.IsValid() && describe::text(child.GetName()).value_or("") == request.name)
                value = child;
        }
        if (!value.IsValid())
            return requests::refused("error: handle " + std::to_string(*request.handle) + " has no child " +
                                     requests::json_quoted(request.name) + "\n");
    } else {
        std::variant<lldb::SBFrame, std::string> found = frame_of(request.place);
        if (auto* refusal = std::get_if<std::string>(&found))
            return requests::refused(*refusal);
        lldb::SBFrame frame = std::get<lldb::SBFrame>(found);
        value = frame.GetValueForVariablePath(request.name.c_str());
        if (!value.IsValid() || value.GetError().Fail())
            value = frame.EvaluateExpression(("&(" + request.name + ")").c_str()).Dereference();
    }
    const lldb::addr_t address = value.GetLoadAddress();
    const std::uint64_t size = value.GetByteSize();
    if (address == LLDB_INVALID_ADDRESS || size == 0)
        return requests::refused("error: " + requests::json_quoted(request.name) + " is not in memory\n");
    return requests::answered({{"address", address}, {"size", size}});
}

requests::Answer Examiner::step(const requests::Step& request)
{
    std::variant<lldb::SBThread, std::string> found = thread_of(request.thread);
    if (auto* refusal = std::get_if<std::string>(&found))
        return requests::refused(*refusal);
    lldb::SBThread& thread = std::get<lldb::SBThread>(found);
    lldb::SBProcess process = thread.GetProcess();
    process.SetSelectedThread(thread);
    lldb::SBError error;
    switch (request.kind) {
    case requests::StepKind::Over:
        thread.StepOver(lldb::eOnlyDuringStepping, error);
        break;
    case requests::StepKind::Into:
        thread.StepInto(nullptr, LLDB_INVALID_LINE_NUMBER, error, lldb::eOnlyDuringStepping);
        break;
    case requests::StepKind::Out:
        thread.StepOut(error);
        break;
    case requests::StepKind::Continue:
        error = process.Continue();
        break;
    case requests::StepKind::OverInstruction:
    case requests::StepKind::IntoInstruction:
        thread.StepInstruction(request.kind == requests::StepKind::OverInstruction, error);
        break;
    }
    if (error.Fail())
        return requests::refused(describe::error_line(error.GetCString(), "error: cannot resume the process\n"));
    return requests::Answer{};
}

}  // namespace lldb_helper
