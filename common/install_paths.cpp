#include "common/install_paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include <vector>

// The install layout, relative to the installed bin/ folder, and the build
// tree's paths; both come from common/CMakeLists.txt.
#ifndef OSTREL_INSTALLED_PLUGIN
#define OSTREL_INSTALLED_PLUGIN "../lib/ostreld/plugins/libostrel-proc-dev-discovery.so"
#endif
#ifndef OSTREL_BUILD_PLUGIN
#define OSTREL_BUILD_PLUGIN "libostrel-proc-dev-discovery.so"
#endif
#ifndef OSTREL_INSTALLED_HOST_CONFIG
#define OSTREL_INSTALLED_HOST_CONFIG "../../etc/ostrel/ostrel-host.json"
#endif
#ifndef OSTREL_INSTALLED_RULES
#define OSTREL_INSTALLED_RULES "../share/ostrel-proc-dev-discovery/rules/classifier-rules.json"
#endif
#ifndef OSTREL_BUILD_RULES
#define OSTREL_BUILD_RULES "examples/classifier-rules.json"
#endif

namespace ostrel_tools {

std::string ExecutableDir()
{
    std::vector<char> buffer(4096);
    ssize_t length = readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (length <= 0) return "";
    std::string path(buffer.data(), static_cast<size_t>(length));
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return "";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string InstalledOr(const std::string &dir, const std::string &relative, const std::string &fallback)
{
    if (dir.empty()) return fallback;
    std::string path = dir + "/" + relative;
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return fallback;
    // Logs then name /usr/lib/..., not /usr/bin/../lib/...
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? std::string(resolved) : path;
}

std::string DefaultPluginPath()
{
    return InstalledOr(ExecutableDir(), OSTREL_INSTALLED_PLUGIN, OSTREL_BUILD_PLUGIN);
}

std::string DefaultHostConfigPath()
{
    // Only an installed host reads /etc: a build-tree run keeps its flags.
    const std::string dir = ExecutableDir();
    if (InstalledOr(dir, OSTREL_INSTALLED_PLUGIN, "").empty()) return "";
    return InstalledOr(dir, OSTREL_INSTALLED_HOST_CONFIG, "");
}

std::string DefaultRulesPath()
{
    return InstalledOr(ExecutableDir(), OSTREL_INSTALLED_RULES, OSTREL_BUILD_RULES);
}

} // namespace ostrel_tools
