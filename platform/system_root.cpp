#include "platform/system_root.h"

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <string_view>
#include <unistd.h>

namespace {

std::mutex rootLock;
std::string currentRoot = "/";

std::string currentDirectory()
{
    std::string buffer(256, '\0');
    while (getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE)
            return {};
        buffer.resize(buffer.size() * 2);
    }
    buffer.resize(buffer.find('\0'));
    return buffer;
}

std::string normalisedRoot(std::string_view requested)
{
    std::string root(requested);
    if (root.empty())
        return "/";
    if (!root.starts_with('/')) {
        std::string base = currentDirectory();
        // Without a current directory there is nothing sensible to anchor to.
        if (base.empty())
            return "/";
        if (base.back() != '/')
            base.push_back('/');
        root = base + root;
    }
    while (root.size() > 1 && root.back() == '/')
        root.pop_back();
    return root;
}

} // namespace

void initSystemRoot()
{
    const char *root = std::getenv("TORVEX_DEBUGGER_ROOT");
    setSystemRoot(root != nullptr ? root : "/");
}

void setSystemRoot(std::string root)
{
    std::string normalised = normalisedRoot(root);
    std::lock_guard<std::mutex> guard(rootLock);
    currentRoot = std::move(normalised);
}

std::string systemRoot()
{
    std::lock_guard<std::mutex> guard(rootLock);
    return currentRoot;
}

std::string rootedPath(std::string_view fixedAbsolutePath)
{
    std::string root = systemRoot();
    if (root == "/")
        return std::string(fixedAbsolutePath);
    size_t start = fixedAbsolutePath.find_first_not_of('/');
    if (start == std::string_view::npos)
        return root;
    root.push_back('/');
    root.append(fixedAbsolutePath.substr(start));
    return root;
}
