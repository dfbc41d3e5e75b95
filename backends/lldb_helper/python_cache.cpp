#include "backends/lldb_helper/python_cache.h"

#include <cstdlib>
#include <dlfcn.h>
#include <string>
#include <sys/stat.h>

namespace lldb_helper {

namespace {

// The bundle directory: the one that holds this module.
std::string bundle_directory()
{
    Dl_info info{};
    if (::dladdr(reinterpret_cast<const void*>(&bundle_directory), &info) == 0 || info.dli_fname == nullptr)
        return {};
    const std::string module(info.dli_fname);
    const size_t slash = module.rfind('/');
    return slash == std::string::npos ? std::string() : module.substr(0, slash);
}

}  // namespace

StartupPythonCache::StartupPythonCache()
{
    if (::getenv(kPythonCacheVariable) != nullptr)
        return;
    const std::string bundle = bundle_directory();
    if (bundle.empty())
        return;
    const std::string cache = bundle + "/" + kPythonCacheDirectory;
    struct stat status {};
    if (::stat(cache.c_str(), &status) == 0 && S_ISDIR(status.st_mode))
        set_ = ::setenv(kPythonCacheVariable, cache.c_str(), 1) == 0;
}

StartupPythonCache::~StartupPythonCache()
{
    if (set_)
        ::unsetenv(kPythonCacheVariable);
}

}  // namespace lldb_helper
