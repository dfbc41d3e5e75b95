#include "backends/lldb_helper/memory.h"

#include "backends/lldb_helper/describe.h"
#include "backends/lldb_helper/records.h"

#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace lldb_helper::memory {

namespace {

std::string hex(const std::string& bytes)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (const char byte : bytes) {
        text += digits[static_cast<unsigned char>(byte) >> 4];
        text += digits[static_cast<unsigned char>(byte) & 15];
    }
    return text;
}

// The live, stopped process whose memory a request reads or writes, or the error that answers it.
std::variant<lldb::SBProcess, std::string> stopped_process(lldb::SBTarget& target)
{
    lldb::SBProcess process = target.GetProcess();
    if (!describe::is_live(process))
        return std::string("error: no process\n");
    const lldb::StateType state = process.GetState();
    if (state != lldb::eStateStopped && state != lldb::eStateSuspended)
        return std::string("error: the process is not stopped\n");
    return process;
}

records::Body described(lldb::SBTarget& target, lldb::SBInstruction& instruction)
{
    lldb::SBAddress address = instruction.GetAddress();
    records::Body entry = records::Body::object();
    entry["address"] = address.GetLoadAddress(target);
    lldb::SBData data = instruction.GetData(target);
    std::string bytes(data.GetByteSize(), '\0');
    lldb::SBError error;
    data.ReadRawData(error, 0, bytes.data(), bytes.size());
    entry["bytes"] = hex(bytes);
    const std::string mnemonic = describe::text(instruction.GetMnemonic(target)).value_or("");
    const std::optional<std::string> operands = describe::text(instruction.GetOperands(target));
    entry["text"] = operands ? mnemonic + " " + *operands : mnemonic;
    if (const std::optional<std::string> symbol = describe::text(address.GetSymbol().GetName()))
        entry["symbol"] = *symbol;
    lldb::SBLineEntry line = address.GetLineEntry();
    const std::optional<std::string> file = line.IsValid() ? describe::path(line.GetFileSpec()) : std::nullopt;
    if (file && line.GetLine() != 0 && line.GetLine() != UINT32_MAX) {
        entry["file"] = *file;
        entry["line"] = line.GetLine();
    }
    return entry;
}

}  // namespace

requests::Answer read(lldb::SBTarget target, const requests::ReadMemory& request)
{
    std::variant<lldb::SBProcess, std::string> found = stopped_process(target);
    if (auto* refusal = std::get_if<std::string>(&found))
        return requests::refused(*refusal);
    std::string bytes(request.count, '\0');
    lldb::SBError error;
    const std::size_t got =
        request.count == 0
            ? 0
            : std::get<lldb::SBProcess>(found).ReadMemory(request.address, bytes.data(), bytes.size(), error);
    if (got == 0 && request.count > 0)
        return requests::refused(describe::error_line(error.GetCString(), "error: cannot read the memory\n"));
    bytes.resize(got);
    return requests::answered({{"data", hex(bytes)}});
}

requests::Answer write(lldb::SBTarget target, const requests::WriteMemory& request)
{
    std::variant<lldb::SBProcess, std::string> found = stopped_process(target);
    if (auto* refusal = std::get_if<std::string>(&found))
        return requests::refused(*refusal);
    lldb::SBError error;
    const std::size_t written =
        request.bytes.empty() ? 0
                              : std::get<lldb::SBProcess>(found).WriteMemory(request.address, request.bytes.data(),
                                                                             request.bytes.size(), error);
    if (written != request.bytes.size())
        return requests::refused(describe::error_line(error.GetCString(), "error: cannot write the memory\n"));
    return requests::answered({{"written", written}});
}

requests::Answer disassemble(lldb::SBTarget target, const requests::Disassemble& request)
{
    if (!target.IsValid())
        return requests::refused("error: no target\n");
    records::Body list = records::Body::array();
    if (request.count > 0 && (!request.end || request.address < *request.end)) {
        lldb::SBInstructionList instructions = target.ReadInstructions(target.ResolveLoadAddress(request.address),
                                                                       static_cast<std::uint32_t>(request.count));
        for (std::uint32_t i = 0; i < instructions.GetSize(); ++i) {
            lldb::SBInstruction instruction = instructions.GetInstructionAtIndex(i);
            if (!instruction.IsValid())
                break;
            if (request.end && instruction.GetAddress().GetLoadAddress(target) >= *request.end)
                break;
            list.push_back(described(target, instruction));
        }
    }
    return requests::answered({{"instructions", list}});
}

}  // namespace lldb_helper::memory
