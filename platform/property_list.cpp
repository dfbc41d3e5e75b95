#include "platform/property_list.h"

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <limits>
#include <memory>
#include <new>
#include <plist/plist.h>
#include <unistd.h>

namespace {

struct PlistDeleter {
    void operator()(void *node) const { plist_free(static_cast<plist_t>(node)); }
};
using PlistHolder = std::unique_ptr<void, PlistDeleter>;

// The whole file, or nothing when it cannot be opened or read to its end.
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
        }
    } catch (const std::bad_alloc &) {
        complete = false;
    }
    close(fd);
    if (!complete)
        return std::nullopt;
    return contents;
}

} // namespace

std::optional<std::string> readPropertyListString(const std::string &path, const std::string &key)
{
    if (path.find('\0') != std::string::npos)
        return std::nullopt;
    std::optional<std::string> contents = readWholeFile(path);
    // The parser takes a 32-bit length; an empty buffer is no property list either.
    if (!contents || contents->empty() || contents->size() > std::numeric_limits<uint32_t>::max())
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
