#pragma once
// What both drivers give for modules and loadedSources: a page of the modules, and the source
// files, each once, up to a bound.

#include <algorithm>
#include <set>
#include <string>

#include "host/dap/dap_channel.h"

namespace local_debugger::dap {

// A program with every library's debug information lists thousands of files (the C library's
// alone); an editor shows the list whole, so it stops here.
constexpr size_t maxLoadedSources = 1000;

// The modules request's page (startModule, moduleCount) of the whole list.
inline Json modulesPage(const Json &all, const Json &arguments)
{
    const size_t start = std::min<size_t>(arguments.value("startModule", size_t{0}), all.size());
    const size_t count = arguments.value("moduleCount", size_t{0});
    const size_t end = count == 0 ? all.size() : std::min(all.size(), start + count);
    return {{"modules",
             Json(all.begin() + static_cast<std::ptrdiff_t>(start), all.begin() + static_cast<std::ptrdiff_t>(end))},
            {"totalModules", all.size()}};
}

class SourceList {
public:
    // False once the list is full.
    bool add(const std::string &path)
    {
        if (seen_.size() >= maxLoadedSources)
            return false;
        if (!path.empty() && seen_.insert(path).second)
            list_.push_back({{"name", path.substr(path.rfind('/') + 1)}, {"path", path}});
        return true;
    }
    const Json &list() const { return list_; }

private:
    std::set<std::string> seen_;
    Json list_ = Json::array();
};

} // namespace local_debugger::dap
