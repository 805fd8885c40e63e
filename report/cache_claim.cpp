#include "report/cache_claim.h"

#include <filesystem>
#include <map>
#include <mutex>
#include <system_error>

namespace {

struct Holder {
    const ozpCacheClaim *claim;
    std::string tag;
};

// Set once the registry is gone at exit, for claims released after it (by
// objects that static storage destroys later).
bool registry_gone = false;

struct Registry {
    ~Registry() { registry_gone = true; }
    std::mutex lock;
    std::map<std::string, Holder> paths;
};

Registry &Paths()
{
    static Registry registry;
    return registry;
}

// Links and dots resolved as far as the path exists; the rest as written.
std::string Canonical(const std::string &path)
{
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(path, error);
    if (error) return path;
    std::filesystem::path canonical = std::filesystem::weakly_canonical(absolute, error);
    return error ? absolute.lexically_normal().string() : canonical.string();
}

} // namespace

bool ozpCacheClaim::Hold(const std::string &tag, const std::string &path, std::string &holder)
{
    if (registry_gone) return true;
    std::string key = Canonical(path);
    Registry &registry = Paths();
    std::lock_guard<std::mutex> guard(registry.lock);
    if (!held.empty() && held != key) {
        registry.paths.erase(held);
        held.clear();
    }
    auto [entry, inserted] = registry.paths.try_emplace(key, Holder {this, tag});
    if (!inserted && entry->second.claim != this) {
        holder = entry->second.tag;
        return false;
    }
    held = key;
    return true;
}

void ozpCacheClaim::Release()
{
    if (held.empty() || registry_gone) return;
    Registry &registry = Paths();
    std::lock_guard<std::mutex> guard(registry.lock);
    registry.paths.erase(held);
    held.clear();
}
