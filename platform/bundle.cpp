#include "platform/bundle.h"

#include <climits>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::optional<std::string> regularFileInBundle(const std::string &fileName, bool executable)
{
    auto directory = bundleDirectory();
    if (!directory)
        return std::nullopt;
    std::string path = *directory + "/" + fileName;
    if (path.size() > maxChildPathLength)
        return std::nullopt;
    struct stat info {};
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    if (executable && access(path.c_str(), X_OK) != 0)
        return std::nullopt;
    return path;
}

} // namespace

namespace {

std::optional<std::string> directoryOfExecutable()
{
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return std::nullopt;
    std::string executable(path, static_cast<size_t>(length));
    size_t slash = executable.rfind('/');
    if (slash == std::string::npos)
        return std::nullopt;
    return slash == 0 ? std::string("/") : executable.substr(0, slash);
}

} // namespace

std::optional<std::string> bundleDirectory()
{
    // The running executable's directory does not change while it runs.
    static const std::optional<std::string> directory = directoryOfExecutable();
    return directory;
}

std::optional<std::string> auxiliaryExecutablePath(const std::string &name)
{
    return regularFileInBundle(name, true);
}

std::optional<std::string> resourcePath(const std::string &name, const std::string &type)
{
    return regularFileInBundle(name + "." + type, false);
}
