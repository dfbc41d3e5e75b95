#include "backends/lldb_helper/process_tree.h"

#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <unistd.h>

namespace lldb_helper {

namespace {

std::vector<pid_t> all_pids()
{
    std::vector<pid_t> pids;
    DIR* proc = ::opendir("/proc");
    if (proc == nullptr)
        return pids;
    while (const dirent* entry = ::readdir(proc)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid > 0 && *end == '\0')
            pids.push_back(static_cast<pid_t>(pid));
    }
    ::closedir(proc);
    return pids;
}

}  // namespace

std::optional<pid_t> parent_of(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string content;
    if (!stat || !std::getline(stat, content))
        return std::nullopt;
    // The command name may hold spaces and parentheses; the fields resume after the last ")".
    const std::size_t close = content.rfind(')');
    if (close == std::string::npos)
        return std::nullopt;
    std::istringstream fields(content.substr(close + 1));
    std::string state;
    long parent = 0;
    if (!(fields >> state >> parent))
        return std::nullopt;
    return static_cast<pid_t>(parent);
}

std::optional<std::vector<pid_t>> own_children()
{
    std::vector<pid_t> pids;
    // Exact for a single-threaded caller, which is the only kind that asks.
    const std::string path = "/proc/self/task/" + std::to_string(::getpid()) + "/children";
    if (std::ifstream file(path); file) {
        long pid = 0;
        while (file >> pid)
            pids.push_back(static_cast<pid_t>(pid));
        return pids;
    }
    // Kernels without the children file: look for our pid as a parent in every /proc entry.
    if (::access("/proc/self/stat", R_OK) != 0)
        return std::nullopt;
    const pid_t self = ::getpid();
    for (const pid_t pid : all_pids()) {
        if (parent_of(pid) == self)
            pids.push_back(pid);
    }
    return pids;
}

std::vector<pid_t> descendants_of(pid_t root)
{
    std::multimap<pid_t, pid_t> children;
    for (const pid_t pid : all_pids()) {
        if (const std::optional<pid_t> parent = parent_of(pid))
            children.emplace(*parent, pid);
    }
    std::vector<pid_t> found;
    std::vector<pid_t> level = {root};
    while (!level.empty()) {
        std::vector<pid_t> next;
        for (const pid_t parent : level) {
            const auto [first, last] = children.equal_range(parent);
            for (auto it = first; it != last; ++it) {
                found.push_back(it->second);
                next.push_back(it->second);
            }
        }
        level = std::move(next);
    }
    return found;
}

}  // namespace lldb_helper
