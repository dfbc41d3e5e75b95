#include "platform/property_list.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <memory>
#include <new>
#include <string_view>
#include <vector>
#include <plist/plist.h>
#include <unistd.h>

namespace {

struct PlistDeleter {
    void operator()(void *node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistHolder = std::unique_ptr<void, PlistDeleter>;

// Far beyond any real property list, and small enough that reading one costs nothing much.
constexpr size_t maxFileSize = 1 << 20;
// The parser and the free both recurse once per level, and a binary list's shared objects
// expand: a tree past these bounds is not parsed at all.
constexpr size_t maxDepth = 64;
constexpr size_t maxNodes = 1 << 16;

// The whole file, or nothing when it cannot be opened or read to its end, or is too large.
std::optional<std::string> readWholeFile(const std::string &path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string contents;
    char buffer[16384];
    bool complete = false;
    try {
        for (;;) {
            ssize_t n = read(fd, buffer, sizeof buffer);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                break;
            if (n == 0) {
                complete = true;
                break;
            }
            contents.append(buffer, static_cast<size_t>(n));
            if (contents.size() > maxFileSize)
                break;
        }
    } catch (const std::bad_alloc &) {
        complete = false;
    }
    close(fd);
    if (!complete)
        return std::nullopt;
    return contents;
}

// Nesting of container elements, counted from the tags alone; comments, declarations and
// character data are skipped. Conservative: a tag it cannot read ends the count as too deep.
bool xmlWithinBounds(std::string_view text)
{
    size_t depth = 0;
    size_t at = 0;
    const auto skipPast = [&](std::string_view end) {
        size_t found = text.find(end, at);
        at = found == std::string_view::npos ? text.size() : found + end.size();
    };
    while ((at = text.find('<', at)) != std::string_view::npos) {
        std::string_view rest = text.substr(at);
        if (rest.starts_with("<!--")) {
            skipPast("-->");
        } else if (rest.starts_with("<![CDATA[")) {
            skipPast("]]>");
        } else if (rest.starts_with("<?")) {
            skipPast("?>");
        } else {
            const bool closing = rest.starts_with("</");
            const size_t nameStart = closing ? 2 : 1;
            const size_t end = rest.find('>');
            if (end == std::string_view::npos)
                return true; // unterminated: the parser refuses it without going deeper
            std::string_view name = rest.substr(nameStart, rest.find_first_of(" \t\r\n/>", nameStart) - nameStart);
            const bool container = name == "dict" || name == "array";
            const bool empty = rest[end - 1] == '/';
            if (container && closing && depth > 0)
                --depth;
            else if (container && !closing && !empty && ++depth > maxDepth)
                return false;
            at += end + 1;
        }
    }
    return true;
}

uint64_t bigEndian(std::string_view bytes, size_t at, size_t size)
{
    uint64_t value = 0;
    for (size_t i = 0; i < size; ++i)
        value = value << 8 | static_cast<uint8_t>(bytes[at + i]);
    return value;
}

// Walks the object graph from the top object as the parser would expand it, without building
// anything: bounded in depth and in the nodes it expands to. Malformed tables are left to the
// parser, which refuses them.
bool binaryWithinBounds(std::string_view bytes)
{
    constexpr size_t trailerSize = 32;
    if (bytes.size() < 8 + trailerSize)
        return true;
    const size_t trailer = bytes.size() - trailerSize;
    const size_t offsetSize = static_cast<uint8_t>(bytes[trailer + 6]);
    const size_t refSize = static_cast<uint8_t>(bytes[trailer + 7]);
    const uint64_t objects = bigEndian(bytes, trailer + 8, 8);
    const uint64_t top = bigEndian(bytes, trailer + 16, 8);
    const uint64_t table = bigEndian(bytes, trailer + 24, 8);
    if (offsetSize < 1 || offsetSize > 8 || refSize < 1 || refSize > 8 || top >= objects || table > trailer ||
        objects > (trailer - table) / offsetSize)
        return true;
    struct Pending {
        uint64_t object;
        size_t depth;
    };
    std::vector<Pending> pending{{top, 1}};
    size_t expanded = 0;
    while (!pending.empty()) {
        const Pending next = pending.back();
        pending.pop_back();
        if (++expanded > maxNodes || next.depth > maxDepth)
            return false;
        const uint64_t offset = bigEndian(bytes, table + next.object * offsetSize, offsetSize);
        if (offset >= table)
            return true;
        const uint8_t marker = static_cast<uint8_t>(bytes[offset]);
        const uint8_t kind = marker >> 4;
        if (kind != 0xA && kind != 0xC && kind != 0xD)
            continue;
        uint64_t count = marker & 0xF;
        size_t at = offset + 1;
        if (count == 0xF) {
            if (at >= table || static_cast<uint8_t>(bytes[at]) >> 4 != 0x1)
                return true;
            const size_t size = size_t{1} << (static_cast<uint8_t>(bytes[at]) & 0xF);
            if (size > 8 || at + 1 + size > table)
                return true;
            count = bigEndian(bytes, at + 1, size);
            at += 1 + size;
        }
        const uint64_t references = kind == 0xD ? count * 2 : count;
        if (count > table || references > (table - at) / refSize)
            return true;
        if (references > maxNodes - expanded - pending.size())
            return false;
        for (uint64_t i = 0; i < references; ++i) {
            const uint64_t child = bigEndian(bytes, at + i * refSize, refSize);
            if (child >= objects)
                return true;
            pending.push_back({child, next.depth + 1});
        }
    }
    return true;
}

bool withinBounds(std::string_view bytes)
{
    return bytes.starts_with("bplist00") ? binaryWithinBounds(bytes) : xmlWithinBounds(bytes);
}

} // namespace

std::optional<std::string> readPropertyListString(const std::string &path, const std::string &key)
{
    if (path.find('\0') != std::string::npos)
        return std::nullopt;
    std::optional<std::string> contents = readWholeFile(path);
    // The parser takes a 32-bit length; an empty buffer is no property list either.
    if (!contents || contents->empty() || contents->size() > maxFileSize || !withinBounds(*contents))
        return std::nullopt;

    plist_t parsed = nullptr;
    plist_from_memory(contents->data(), static_cast<uint32_t>(contents->size()), &parsed);
    PlistHolder root(parsed);
    if (!root || plist_get_node_type(parsed) != PLIST_DICT)
        return std::nullopt;

    plist_t value = plist_dict_get_item(parsed, key.c_str());
    if (value == nullptr || plist_get_node_type(value) != PLIST_STRING)
        return std::nullopt;
    uint64_t length = 0;
    const char *text = plist_get_string_ptr(value, &length);
    if (text == nullptr)
        return std::nullopt;
    try {
        return std::string(text, static_cast<size_t>(length));
    } catch (const std::bad_alloc &) {
        return std::nullopt;
    }
}
