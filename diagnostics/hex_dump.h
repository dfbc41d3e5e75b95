#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Two upper-case hexadecimal digits per byte, no separators.
std::string hexDump(const uint8_t *bytes, size_t count);

// The same digits written to out, which has room for 2 * count characters.
void hexDumpInto(char *out, const uint8_t *bytes, size_t count);
