#include "platform/paths.h"

#include <sys/stat.h>

namespace {

// Drops trailing slashes, keeping a lone leading one.
void trimTrailingSlashes(std::string &path)
{
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
}

} // namespace

bool pathExists(const std::string &path)
{
    if (path.empty() || path.find('\0') != std::string::npos)
        return false;
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

std::string parentPath(const std::string &path)
{
    std::string parent = path;
    trimTrailingSlashes(parent);
    size_t slash = parent.find_last_of('/');
    if (slash == std::string::npos)
        return {};
    parent.resize(slash);
    trimTrailingSlashes(parent);
    if (parent.empty())
        return "/";
    return parent;
}

std::string joinPath(const std::string &base, const std::string &component)
{
    std::string head = base;
    trimTrailingSlashes(head);
    if (head.empty()) {
        std::string whole = component;
        trimTrailingSlashes(whole);
        return whole;
    }
    size_t start = component.find_first_not_of('/');
    std::string tail = start == std::string::npos ? std::string() : component.substr(start);
    trimTrailingSlashes(tail);
    if (tail.empty())
        return head;
    if (head != "/")
        head.push_back('/');
    return head + tail;
}
