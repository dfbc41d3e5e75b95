#include "backends/lldb_helper/program_modules.h"

#include "backends/lldb_helper/utf8.h"

#include <cstdio>
#include <set>
#include <string>

namespace lldb_helper {

namespace {

std::string path_of(const lldb::SBFileSpec& file)
{
    char path[4096];
    return file.IsValid() && file.GetPath(path, sizeof path) > 0 ? to_utf8_lossy(path) : "";
}

}  // namespace

requests::Answer program_modules(lldb::SBTarget target)
{
    if (!target.IsValid())
        return requests::refused("error: no target\n");
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (std::uint32_t index = 0; index < target.GetNumModules(); ++index) {
        lldb::SBModule module = target.GetModuleAtIndex(index);
        const std::string path = path_of(module.GetFileSpec());
        nlohmann::ordered_json entry = {
            {"path", path}, {"name", path.substr(path.rfind('/') + 1)}, {"symbols", module.GetNumCompileUnits() > 0}};
        const lldb::addr_t loaded = module.GetObjectFileHeaderAddress().GetLoadAddress(target);
        if (loaded != LLDB_INVALID_ADDRESS) {
            char address[32];
            std::snprintf(address, sizeof address, "0x%llx", static_cast<unsigned long long>(loaded));
            entry["address"] = address;
        }
        list.push_back(entry);
    }
    return requests::answered({{"modules", list}});
}

requests::Answer program_sources(lldb::SBTarget target)
{
    if (!target.IsValid())
        return requests::refused("error: no target\n");
    std::set<std::string> seen;
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (std::uint32_t index = 0; index < target.GetNumModules() && list.size() < kMaxSources; ++index) {
        lldb::SBModule module = target.GetModuleAtIndex(index);
        for (std::uint32_t unit = 0; unit < module.GetNumCompileUnits() && list.size() < kMaxSources; ++unit) {
            const std::string path = path_of(module.GetCompileUnitAtIndex(unit).GetFileSpec());
            if (!path.empty() && seen.insert(path).second)
                list.push_back(path);
        }
    }
    return requests::answered({{"files", list}});
}

}  // namespace lldb_helper
