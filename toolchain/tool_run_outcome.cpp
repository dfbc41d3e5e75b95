#include "toolchain/tool_run_outcome.h"

#include <algorithm>
#include <cstdint>

#include "platform/paths.h"
#include "platform/tool_run.h"

namespace {

// Strict UTF-8: no overlong forms, no surrogates, nothing beyond U+10FFFF.
bool isValidUtf8(const std::string &text)
{
    size_t i = 0;
    const size_t size = text.size();
    while (i < size) {
        const auto byte = static_cast<uint8_t>(text[i]);
        size_t length;
        uint32_t lowest;
        uint32_t codePoint;
        if (byte < 0x80) {
            ++i;
            continue;
        } else if ((byte & 0xE0) == 0xC0) {
            length = 2;
            lowest = 0x80;
            codePoint = byte & 0x1F;
        } else if ((byte & 0xF0) == 0xE0) {
            length = 3;
            lowest = 0x800;
            codePoint = byte & 0x0F;
        } else if ((byte & 0xF8) == 0xF0) {
            length = 4;
            lowest = 0x10000;
            codePoint = byte & 0x07;
        } else {
            return false;
        }
        if (size - i < length)
            return false;
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<uint8_t>(text[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        if (codePoint < lowest || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

} // namespace

ToolRunOutcome runToolForPath(const std::string &toolPath, const std::vector<std::string> &arguments)
{
    ToolRunResult run = runTool(toolPath, arguments);
    if (!run.exitedWithStatus(0) || run.output.empty())
        return ToolRunOutcome::failed();

    // The answer is text: what follows a NUL is not part of it.
    std::string path = std::move(run.output);
    path.resize(std::min(path.size(), path.find('\0')));
    if (!path.empty() && path.back() == '\n')
        path.pop_back();
    if (!isValidUtf8(path))
        return ToolRunOutcome::missing();
    if (!pathExists(path))
        return ToolRunOutcome::missing();
    return ToolRunOutcome::found(std::move(path));
}
