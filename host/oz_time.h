// Host clock, in monotonic seconds.
#pragma once

#include <cstdint>
#include <string>

#include "host/oz_export.h"

OZ_HOST_API int64_t oz_time_monotonic();

// True once `ttl` seconds have passed since `since`. `now` 0 means the current
// time; a `since` of 0 means "never" and has always expired.
OZ_HOST_API bool oz_has_expired(
    const std::string &name, uint64_t ttl, int64_t since, bool monotonic = true, int64_t now = 0);
