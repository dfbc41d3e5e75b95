// The memory and instruction requests, served alike for every debugger over the few primitives
// each driver gives: reading and writing bytes, and disassembling a range of addresses.

#include "host/dap/memory_requests.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>

#include "host/dap/debugger_driver.h"

namespace local_debugger::dap {

namespace {

constexpr char base64Digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
// The longest x86 instruction is 15 bytes: so many instructions before an address lie within
// 16 bytes each of it.
constexpr uint64_t longestInstruction = 16;

int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

int base64Digit(char c)
{
    const char *found = std::find(base64Digits, base64Digits + 64, c);
    return found == base64Digits + 64 ? -1 : static_cast<int>(found - base64Digits);
}

Json invalidInstruction(uint64_t address)
{
    return {{"address", hexAddress(address)}, {"instruction", "??"}, {"presentationHint", "invalid"}};
}

Json shownInstruction(const Instruction &instruction, bool symbols)
{
    Json out = {{"address", hexAddress(instruction.address)},
                {"instructionBytes", toHex(instruction.bytes)},
                {"instruction", instruction.text}};
    if (symbols && !instruction.symbol.empty())
        out["symbol"] = instruction.symbol;
    if (!instruction.path.empty() && instruction.line > 0) {
        out["location"] = {{"name", instruction.path.substr(instruction.path.rfind('/') + 1)},
                           {"path", instruction.path}};
        out["line"] = instruction.line;
    }
    return out;
}

} // namespace

std::string hexAddress(uint64_t address)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%" PRIx64, address);
    return text;
}

std::optional<uint64_t> parseAddress(std::string_view text)
{
    const bool hex = text.starts_with("0x") || text.starts_with("0X");
    if (hex)
        text.remove_prefix(2);
    if (text.empty() || text.size() > (hex ? 16u : 20u))
        return std::nullopt;
    uint64_t value = 0;
    for (char c : text) {
        const int digit = hex ? hexDigit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
        if (digit < 0 || (!hex && value > (UINT64_MAX - static_cast<uint64_t>(digit)) / 10))
            return std::nullopt;
        value = value * (hex ? 16 : 10) + static_cast<uint64_t>(digit);
    }
    return value;
}

std::optional<uint64_t> referencedAddress(const Json &arguments, const char *reference, std::string &problem)
{
    const std::optional<uint64_t> base = parseAddress(arguments.value(reference, ""));
    if (!base) {
        problem = std::string(reference) + " must be an address: 0x and hex digits";
        return std::nullopt;
    }
    // The offset is within ±2^53 as requests are checked; the sum must stay an address.
    const int64_t offset = arguments.value("offset", int64_t{0});
    const uint64_t magnitude = offset < 0 ? uint64_t(0) - static_cast<uint64_t>(offset) : static_cast<uint64_t>(offset);
    if (offset < 0 ? *base < magnitude : UINT64_MAX - *base < magnitude) {
        problem = "the offset takes the address out of the address space";
        return std::nullopt;
    }
    return offset < 0 ? *base - magnitude : *base + magnitude;
}

std::string toBase64(std::string_view bytes)
{
    std::string text;
    text.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t at = 0; at < bytes.size(); at += 3) {
        uint32_t group = static_cast<uint8_t>(bytes[at]) << 16;
        if (at + 1 < bytes.size())
            group |= static_cast<uint8_t>(bytes[at + 1]) << 8;
        if (at + 2 < bytes.size())
            group |= static_cast<uint8_t>(bytes[at + 2]);
        for (size_t digit = 0; digit < 4; ++digit)
            text += at + digit <= bytes.size() ? base64Digits[(group >> (18 - 6 * digit)) & 63] : '=';
    }
    return text;
}

std::optional<std::string> fromBase64(std::string_view text)
{
    while (!text.empty() && text.back() == '=')
        text.remove_suffix(1);
    if (text.size() % 4 == 1)
        return std::nullopt;
    std::string bytes;
    uint32_t group = 0;
    int bits = 0;
    for (char c : text) {
        const int digit = base64Digit(c);
        if (digit < 0)
            return std::nullopt;
        group = (group << 6) | static_cast<uint32_t>(digit);
        if ((bits += 6) >= 8) {
            bits -= 8;
            bytes += static_cast<char>((group >> bits) & 0xff);
        }
    }
    return bytes;
}

std::string toHex(std::string_view bytes)
{
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    for (char byte : bytes) {
        text += digits[static_cast<uint8_t>(byte) >> 4];
        text += digits[static_cast<uint8_t>(byte) & 15];
    }
    return text;
}

std::optional<std::string> fromHex(std::string_view text)
{
    if (text.size() % 2 != 0)
        return std::nullopt;
    std::string bytes;
    for (size_t at = 0; at < text.size(); at += 2) {
        const int high = hexDigit(text[at]), low = hexDigit(text[at + 1]);
        if (high < 0 || low < 0)
            return std::nullopt;
        bytes += static_cast<char>(high * 16 + low);
    }
    return bytes;
}

Json instructionWindow(const std::vector<Instruction> &before, const std::vector<Instruction> &after,
                       uint64_t reference, int64_t offset, int64_t count, bool symbols)
{
    Json list = Json::array();
    // Index 0 is the instruction at the reference; before[size - 1] is index -1.
    const auto at = [&](int64_t index) -> Json {
        if (index >= 0 && index < static_cast<int64_t>(after.size()))
            return shownInstruction(after[static_cast<size_t>(index)], symbols);
        if (index < 0 && -index <= static_cast<int64_t>(before.size()))
            return shownInstruction(before[before.size() - static_cast<size_t>(-index)], symbols);
        // No instruction there: an address in order with its neighbours, a byte apart, within
        // the address space.
        const int64_t known = static_cast<int64_t>(index < 0 ? before.size() : after.size());
        if (index < 0) {
            const uint64_t edge = before.empty() ? reference : before.front().address;
            const auto back = static_cast<uint64_t>(-index - known);
            return invalidInstruction(edge >= back ? edge - back : 0);
        }
        const uint64_t end = after.empty() ? reference : after.back().address + after.back().bytes.size();
        const auto on = static_cast<uint64_t>(index - known);
        return invalidInstruction(UINT64_MAX - end >= on ? end + on : UINT64_MAX);
    };
    for (int64_t index = offset; index < offset + count; ++index)
        list.push_back(at(index));
    return list;
}

std::vector<BreakpointRequest> instructionBreakpointRequests(const Json &arguments)
{
    std::vector<BreakpointRequest> allWanted = breakpointRequests(arguments, "instructionReference", "");
    const Json given = arguments.value("breakpoints", Json::array());
    for (size_t at = 0; at < allWanted.size() && at < given.size(); ++at) {
        BreakpointRequest &wanted = allWanted[at];
        wanted.log.reset(); // an instruction breakpoint has no message to log
        std::string problem;
        if (const std::optional<uint64_t> address = referencedAddress(given[at], "instructionReference", problem))
            wanted.where = *address;
        else if (!wanted.problem)
            wanted.problem = problem;
    }
    return allWanted;
}

std::optional<uint64_t> pointerAddress(std::string_view type, std::string_view value)
{
    while (!type.empty() && type.back() == ' ')
        type.remove_suffix(1);
    if (!type.ends_with('*') || !value.starts_with("0x"))
        return std::nullopt;
    return parseAddress(value.substr(0, value.find(' ')));
}

void DebuggerDriver::readMemory(const Json &request, const Json &arguments)
{
    std::string problem;
    const std::optional<uint64_t> address = referencedAddress(arguments, "memoryReference", problem);
    const int64_t count = arguments.value("count", int64_t{0});
    if (address && count > maxReadBytes)
        problem = "count must be at most " + std::to_string(maxReadBytes) + " bytes";
    if (!problem.empty()) {
        channel().fail(request, problem);
        return;
    }
    // What cannot be read past the address's end is as unreadable as memory that is not there.
    const uint64_t after = UINT64_MAX - *address; // the bytes after the first
    const uint64_t readable = count > 0 && static_cast<uint64_t>(count) - 1 > after ? after + 1 : count;
    const Bytes read = readable > 0 ? readBytes(*address, readable) : Bytes{};
    if (read.bytes.empty() && !read.problem.empty()) {
        channel().respond(request, {{"address", hexAddress(*address)}, {"unreadableBytes", count}});
        return;
    }
    channel().respond(request, {{"address", hexAddress(*address)},
                                {"data", toBase64(read.bytes)},
                                {"unreadableBytes", count - static_cast<int64_t>(read.bytes.size())}});
}

void DebuggerDriver::writeMemory(const Json &request, const Json &arguments)
{
    std::string problem;
    const std::optional<uint64_t> address = referencedAddress(arguments, "memoryReference", problem);
    const std::optional<std::string> bytes = fromBase64(arguments.value("data", ""));
    if (address && !bytes)
        problem = "data must be base64";
    else if (address && bytes->size() > static_cast<uint64_t>(maxReadBytes))
        problem = "data must be at most " + std::to_string(maxReadBytes) + " bytes";
    if (problem.empty() && !bytes->empty()) {
        if (auto refused = writeBytes(*address, *bytes))
            problem = *refused;
    }
    if (!problem.empty()) {
        channel().fail(request, problem);
        return;
    }
    // The editor refreshes its views of memory on the response; the adapter sends no memory
    // event for a write the editor made itself.
    channel().respond(request, {{"bytesWritten", bytes->size()}});
}

void DebuggerDriver::disassemble(const Json &request, const Json &arguments)
{
    std::string problem;
    const std::optional<uint64_t> reference = referencedAddress(arguments, "memoryReference", problem);
    const int64_t offset = arguments.value("instructionOffset", int64_t{0});
    const int64_t count = arguments.value("instructionCount", int64_t{0});
    if (reference && (count > maxInstructions || offset < -maxInstructions || offset > maxInstructions))
        problem = "instructionCount and instructionOffset must be within " + std::to_string(maxInstructions);
    if (!problem.empty()) {
        channel().fail(request, problem);
        return;
    }
    std::vector<Instruction> before, after;
    if (offset < 0) {
        const uint64_t span = static_cast<uint64_t>(-offset) * longestInstruction;
        const uint64_t start = *reference > span ? *reference - span : 0;
        before = instructionsIn(start, *reference, span);
        // Decoded from a guess at where an instruction starts: only whole ones before the
        // reference count.
        std::erase_if(before, [&](const Instruction &instruction) {
            return instruction.address + instruction.bytes.size() > *reference;
        });
    }
    if (offset + count > 0) {
        const uint64_t wanted = static_cast<uint64_t>(offset + count);
        const uint64_t end = UINT64_MAX - *reference < wanted * longestInstruction
                                 ? UINT64_MAX
                                 : *reference + wanted * longestInstruction;
        after = instructionsIn(*reference, end, wanted);
    }
    // Memory that cannot be read shows as invalid instructions, as many as were asked for.
    channel().respond(request, {{"instructions", instructionWindow(before, after, *reference, offset, count,
                                                                   arguments.value("resolveSymbols", true))}});
}

} // namespace local_debugger::dap
