// The debuggee's memory and instructions through GDB: bytes read and written, disassembly, and
// breakpoints at instructions.

#include "host/dap/gdb_driver.h"

namespace local_debugger::dap {

namespace {

// One instruction of -data-disassemble's answer; line and path those of its source line.
Instruction disassembled(const MiValue &found, const MiValue *source)
{
    Instruction instruction;
    instruction.address = parseAddress(found.text("address").value_or("")).value_or(0);
    std::string opcodes(found.text("opcodes").value_or(""));
    std::erase(opcodes, ' ');
    instruction.bytes = fromHex(opcodes).value_or("");
    instruction.text = found.text("inst").value_or("");
    instruction.symbol = found.text("func-name").value_or("");
    if (source != nullptr) {
        instruction.path = source->text("fullname").value_or("");
        instruction.line = miNumber(source->text("line"));
    }
    return instruction;
}

} // namespace

GdbDriver::Bytes GdbDriver::readBytes(uint64_t address, uint64_t count)
{
    const MiAnswer read = command("-data-read-memory-bytes " + hexAddress(address) + " " + std::to_string(count));
    if (!read.ok())
        return {"", read.error()};
    // GDB gives the pieces it could read, in order: only those from the start on, unbroken, count.
    std::string bytes;
    if (const MiValue *pieces = read.record->find("memory")) {
        for (const auto &piece : pieces->items) {
            const auto contents = fromHex(piece.value.text("contents").value_or(""));
            if (parseAddress(piece.value.text("begin").value_or("")) != address + bytes.size() || !contents)
                break;
            bytes += *contents;
        }
    }
    return {bytes, bytes.empty() ? "GDB read nothing at " + hexAddress(address) : ""};
}

std::optional<std::string> GdbDriver::writeBytes(uint64_t address, const std::string &bytes)
{
    const MiAnswer written = command("-data-write-memory-bytes " + hexAddress(address) + " " + toHex(bytes));
    return written.ok() ? std::nullopt : std::optional(written.error());
}

std::vector<Instruction> GdbDriver::instructionsIn(uint64_t start, uint64_t end, uint64_t most)
{
    // Mode 5: each instruction with its bytes, grouped under its source line where GDB knows it.
    const MiAnswer listed = command("-data-disassemble -s " + hexAddress(start) + " -e " + hexAddress(end) + " -- 5");
    std::vector<Instruction> instructions;
    const MiValue *found = listed.ok() ? listed.record->find("asm_insns") : nullptr;
    if (found == nullptr)
        return instructions;
    for (const auto &item : found->items) {
        const MiValue *inLine = item.value.find("line_asm_insn");
        if (inLine == nullptr) {
            instructions.push_back(disassembled(item.value, nullptr));
            continue;
        }
        for (const auto &instruction : inLine->items)
            instructions.push_back(disassembled(instruction.value, &item.value));
    }
    // Lines come in the order of the source, not of the addresses, when code was moved.
    std::sort(instructions.begin(), instructions.end(),
              [](const Instruction &a, const Instruction &b) { return a.address < b.address; });
    if (instructions.size() > most)
        instructions.resize(most);
    return instructions;
}

void GdbDriver::setInstructionBreakpoints(const Json &request, const Json &arguments)
{
    replaceBreakpoints(instructionBreakpoints_);
    std::set<int64_t> ids;
    Json answers = Json::array();
    for (const auto &wanted : instructionBreakpointRequests(arguments)) {
        if (wanted.problem) {
            answers.push_back(wanted.unverified());
            continue;
        }
        const std::string address = hexAddress(wanted.where.get<uint64_t>());
        Json placed = breakpoint(command(insert("*" + address, wanted)), "");
        if (placed.contains("id")) {
            instructionBreakpoints_.push_back(placed["id"].get<int64_t>());
            ids.insert(instructionBreakpoints_.back());
        }
        placed["instructionReference"] = address;
        answers.push_back(placed);
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        instructionBreakpointIds_ = std::move(ids);
    }
    channel_.respond(request, {{"breakpoints", answers}});
}

} // namespace local_debugger::dap
