// GDB behind the adapter: the program's modules (the executable and its shared libraries) and
// the source files GDB knows.

#include "host/dap/gdb_driver.h"
#include "host/dap/program_lists.h"

namespace local_debugger::dap {

Json GdbDriver::library(const MiValue &info)
{
    const std::string path(info.text("target-name").value_or(info.text("id").value_or("")));
    Json module = {{"id", path},
                   {"name", path.substr(path.rfind('/') + 1)},
                   {"path", path},
                   {"symbolStatus", info.text("symbols-loaded") == "1" ? "Symbols loaded" : "Symbols not loaded"}};
    if (const auto from = info.text("ranges.0.from"), to = info.text("ranges.0.to"); from && to)
        module["addressRange"] = std::string(*from) + "-" + std::string(*to);
    return module;
}

void GdbDriver::libraryLoaded(const Json &module)
{
    const std::string id = module.value("id", "");
    const auto told = toldModules_.find(id);
    if (told == toldModules_.end()) {
        channel_.event("module", {{"reason", "new"}, {"module", module}});
        toldModules_.emplace(id, module);
    } else if (told->second != module) {
        channel_.event("module", {{"reason", "changed"}, {"module", module}});
        told->second = module;
    }
}

void GdbDriver::libraryUnloaded(const Json &module)
{
    const auto told = toldModules_.find(module.value("id", ""));
    if (told == toldModules_.end())
        return;
    channel_.event("module", {{"reason", "removed"}, {"module", told->second}});
    toldModules_.erase(told);
}

void GdbDriver::modules(const Json &request, const Json &arguments)
{
    MiAnswer answer = command("-file-list-shared-libraries");
    if (!answer.ok()) {
        fail(request, answer.error());
        return;
    }
    const std::string program = program_.is_string() ? program_.get<std::string>() : "";
    Json list = Json::array();
    if (!program.empty()) // GDB read its symbols when it loaded it
        list.push_back({{"id", program},
                        {"name", program.substr(program.rfind('/') + 1)},
                        {"path", program},
                        {"symbolStatus", "Symbols loaded"}});
    if (const MiValue *libraries = answer.record->find("shared-libraries")) {
        for (const auto &entry : libraries->items)
            list.push_back(library(entry.value));
    }
    channel_.respond(request, modulesPage(list, arguments));
}

void GdbDriver::loadedSources(const Json &request)
{
    MiAnswer answer = command("-file-list-exec-source-files");
    if (!answer.ok()) {
        fail(request, answer.error());
        return;
    }
    SourceList sources;
    if (const MiValue *files = answer.record->find("files")) {
        for (const auto &entry : files->items) {
            const auto path = entry.value.text("fullname") ? entry.value.text("fullname") : entry.value.text("file");
            if (path && !sources.add(std::string(*path)))
                break;
        }
    }
    channel_.respond(request, {{"sources", sources.list()}});
}

} // namespace local_debugger::dap
