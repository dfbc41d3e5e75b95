// The LLDB driver's memory reads and writes and disassembly, through the back end's requests.

#include "host/dap/lldb_driver.h"

namespace local_debugger::dap {

using namespace std::chrono_literals;

LldbDriver::Bytes LldbDriver::readBytes(uint64_t address, uint64_t count)
{
    const LldbAnswer read = ask({{"request", "readMemory"}, {"address", address}, {"count", count}});
    if (!read.ok())
        return {"", read.error()};
    std::string bytes = fromHex(read.body().value("data", "")).value_or("");
    return {bytes, bytes.empty() ? "LLDB read nothing at " + hexAddress(address) : ""};
}

std::optional<std::string> LldbDriver::writeBytes(uint64_t address, const std::string &bytes)
{
    const LldbAnswer written = ask({{"request", "writeMemory"}, {"address", address}, {"data", toHex(bytes)}});
    return written.ok() ? std::nullopt : std::optional(written.error());
}

std::vector<Instruction> LldbDriver::instructionsIn(uint64_t start, uint64_t end, uint64_t most)
{
    const LldbAnswer listed = ask({{"request", "disassemble"}, {"address", start}, {"end", end}, {"count", most}});
    std::vector<Instruction> instructions;
    for (const auto &found : listed.body().value("instructions", Json::array())) {
        Instruction instruction;
        instruction.address = found.value("address", uint64_t{0});
        instruction.bytes = fromHex(found.value("bytes", "")).value_or("");
        instruction.text = found.value("text", "");
        instruction.symbol = found.value("symbol", "");
        instruction.path = found.value("file", "");
        instruction.line = found.value("line", int64_t{0});
        instructions.push_back(std::move(instruction));
    }
    return instructions;
}

} // namespace local_debugger::dap
