#include "host/console/gdb_init_files.h"

#include <climits>
#include <cstdlib>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace local_debugger::console {

namespace {

bool isFile(const std::string &path, struct stat *info = nullptr)
{
    struct stat own {};
    struct stat &found = info != nullptr ? *info : own;
    return stat(path.c_str(), &found) == 0 && S_ISREG(found.st_mode);
}

std::string environment(const char *name)
{
    const char *value = getenv(name);
    return value != nullptr && *value == '/' ? value : "";
}

std::vector<std::string> splitList(const std::string &list)
{
    std::vector<std::string> parts;
    for (size_t start = 0; start <= list.size();) {
        size_t colon = list.find(':', start);
        if (colon == std::string::npos)
            colon = list.size();
        if (colon > start)
            parts.push_back(list.substr(start, colon - start));
        start = colon + 1;
    }
    return parts;
}

void replaceAll(std::string &text, const std::string &from, const std::string &to)
{
    for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
        text.replace(at, from.size(), to);
}

std::optional<std::string> realPath(const std::string &path)
{
    char *resolved = realpath(path.c_str(), nullptr);
    if (resolved == nullptr)
        return std::nullopt;
    std::string text = resolved;
    free(resolved);
    return text;
}

// The pattern names the file or a directory above it; a pattern of slashes alone, every file.
bool matchesAtOrAbove(std::string pattern, std::string file)
{
    while (!pattern.empty() && pattern.back() == '/')
        pattern.pop_back();
    if (pattern.empty())
        return true;
    for (;;) {
        if (fnmatch(pattern.c_str(), file.c_str(), FNM_PATHNAME | FNM_NOESCAPE) == 0)
            return true;
        const size_t slash = file.find_last_of('/');
        if (slash == std::string::npos || slash == 0)
            return false;
        file.erase(slash);
    }
}

} // namespace

std::optional<std::string> gdbHomeInitFile()
{
    const std::string config = environment("XDG_CONFIG_HOME");
    const std::string home = environment("HOME");
    std::vector<std::string> candidates;
    if (!config.empty())
        candidates.push_back(config + "/gdb/gdbinit");
    if (!home.empty()) {
        candidates.push_back(home + "/.config/gdb/gdbinit");
        candidates.push_back(home + "/.gdbinit");
    }
    for (const auto &candidate : candidates) {
        if (isFile(candidate))
            return candidate;
    }
    return std::nullopt;
}

std::optional<std::string> gdbLocalInitFile()
{
    char directory[PATH_MAX];
    if (getcwd(directory, sizeof directory) == nullptr)
        return std::nullopt;
    const std::string local = std::string(directory) + "/.gdbinit";
    struct stat localInfo {};
    struct stat homeInfo {};
    if (!isFile(local, &localInfo))
        return std::nullopt;
    if (auto home = gdbHomeInitFile();
        home && isFile(*home, &homeInfo) && homeInfo.st_dev == localInfo.st_dev && homeInfo.st_ino == localInfo.st_ino)
        return std::nullopt;
    return local;
}

bool gdbReadsLocalInitFile(const std::string &file, const GdbAutoLoad &settings)
{
    if (settings.localGdbinit != "on")
        return false;
    std::string list = settings.safePath;
    replaceAll(list, "$debugdir", settings.debugFileDirectory);
    replaceAll(list, "$datadir", settings.dataDirectory);
    std::vector<std::string> patterns;
    for (std::string entry : splitList(list)) {
        if (entry.starts_with("~"))
            entry = environment("HOME") + entry.substr(1);
        patterns.push_back(entry);
        if (auto real = realPath(entry); real && *real != entry)
            patterns.push_back(*real);
    }
    std::vector<std::string> names{file};
    if (auto real = realPath(file); real && *real != file)
        names.push_back(*real);
    for (const auto &name : names) {
        for (const auto &pattern : patterns) {
            if (matchesAtOrAbove(pattern, name))
                return true;
        }
    }
    return false;
}

std::string gdbDeclinedText(const std::string &file, const std::string &safePath)
{
    std::string config = gdbHomeInitFile().value_or("");
    if (config.empty() && !environment("XDG_CONFIG_HOME").empty())
        config = environment("XDG_CONFIG_HOME") + "/gdb/gdbinit";
    else if (config.empty())
        config = environment("HOME") + "/.config/gdb/gdbinit";
    return "warning: File \"" + file + "\" auto-loading has been declined by your `auto-load safe-path' set to \"" +
           safePath + "\".\nTo enable execution of this file add\n\tadd-auto-load-safe-path " + file +
           "\nline to your configuration file \"" + config +
           "\".\nTo completely disable this security protection add\n\tset auto-load safe-path /\n"
           "line to your configuration file \"" +
           config +
           "\".\nFor more information about this security protection see the\n\"Auto-loading safe path\" section "
           "in the GDB manual.  E.g., run from the shell:\n\tinfo \"(gdb)Auto-loading safe path\"\n";
}

} // namespace local_debugger::console
