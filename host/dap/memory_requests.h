#pragma once
// What the memory and instruction requests share, whichever debugger serves them: addresses as
// editors write them ("0x" and hex digits), bytes as base64, and the bounds that keep a request
// from asking the debugger for more than an editor ever shows.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "host/dap/breakpoint_request.h"
#include "host/dap/dap_channel.h"

namespace local_debugger::dap {

// A read larger than this is refused: its answer would be held whole, in hex and in base64.
constexpr int64_t maxReadBytes = int64_t{1} << 20;
// How many instructions one disassemble request may ask for, and how far before its reference.
constexpr int64_t maxInstructions = 10000;

// "0x" and lowercase hex digits, as memoryReference and instructionPointerReference are given.
std::string hexAddress(uint64_t address);

// An address as given, in hex ("0x..."), or in decimal; nullopt for anything else.
std::optional<uint64_t> parseAddress(std::string_view text);

// The reference field's address plus the offset field's; why not, in problem.
std::optional<uint64_t> referencedAddress(const Json &arguments, const char *reference, std::string &problem);

std::string toBase64(std::string_view bytes);
// Nullopt for text that is not base64.
std::optional<std::string> fromBase64(std::string_view text);

std::string toHex(std::string_view bytes);
// Nullopt for text that is not an even number of hex digits.
std::optional<std::string> fromHex(std::string_view text);

// One instruction as a debugger disassembled it.
struct Instruction {
    uint64_t address = 0;
    std::string bytes; // its encoding
    std::string text;  // mnemonic and operands
    std::string symbol;
    std::string path; // its source, where known
    int64_t line = 0;
};

// Exactly count instructions as a disassemble answer lists them, from those at and after the
// reference (after) and those before it (before, in order, ending just before it): the window
// starts offset instructions from the reference. Where the debugger gave too few, the missing
// ones are invalid entries, as editors expect.
Json instructionWindow(const std::vector<Instruction> &before, const std::vector<Instruction> &after,
                       uint64_t reference, int64_t offset, int64_t count, bool symbols);

// A setInstructionBreakpoints request's breakpoints in order, each where its instructionReference
// and offset put it (where: the address, a number), or why it cannot be set.
std::vector<BreakpointRequest> instructionBreakpointRequests(const Json &arguments);

// The address a pointer's value holds ("0x7ffe... <symbol>", or with a string after it), for its
// memoryReference; nullopt for a value of another type.
std::optional<uint64_t> pointerAddress(std::string_view type, std::string_view value);

} // namespace local_debugger::dap
