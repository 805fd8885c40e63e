// One plug-in instance's hold on its device cache path. Two instances in one
// process sharing a cache file would each save over the other's devices, so
// a path is held by one live instance at a time; paths are compared in a
// canonical form ("./a/../cache.json" and "cache.json" are one path). Used
// on the owning instance's thread; the registry behind it is shared by all.
#pragma once

#include <string>

class ozpCacheClaim
{
public:
    ozpCacheClaim() = default;
    ~ozpCacheClaim() { Release(); }
    ozpCacheClaim(const ozpCacheClaim &) = delete;
    ozpCacheClaim &operator=(const ozpCacheClaim &) = delete;

    // Holds `path` for the instance tagged `tag`, letting go of any other
    // path it held. False when another live claim holds it; `holder` is
    // then that claim's tag, and this claim holds nothing.
    bool Hold(const std::string &tag, const std::string &path, std::string &holder);
    void Release();

private:
    std::string held;
};
