// How a host sets up the singletons the plug-in reads: UUIDs, address groups,
// each API's bootstrap data and the HTTP client settings. A real host fills
// these from its own configuration; here the ostrel-host daemon and the tests
// do, never the plug-in.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "host/oz_addr.h"
#include "host/oz_api.h"
#include "host/oz_config.h"
#include "host/oz_export.h"

namespace ostrel_standin {

// HTTP client settings of the host's request threads.
struct HttpOptions {
    long connect_timeout_ms = 10000;
    long total_timeout_ms = 30000;
    size_t max_response_bytes = 8 * 1024 * 1024;
    std::string ca_file; // empty: the system's trust store
};

// UUIDs go out as header values: one holding a control character throws
// ozException and leaves the stored UUID as it was.
OZ_HOST_API void SetUUID(ozGlobalConfig &global, ozUUID kind, const std::string &uuid);

// Reads the file behind a group at once and remembers it, so that a later
// SetGroupFilename of that group reads it again. False (with a log line) when
// it cannot be read; the group then stays as it was.
OZ_HOST_API bool AddGroupFile(ozAddrLookup &lookup, const std::string &group, const std::string &path);
OZ_HOST_API void AddGroupAddress(ozAddrLookup &lookup, const std::string &group, const ozAddr &addr);

// Credentials go out in the Authorization header: ones holding a control
// character throw ozException and leave the stored data as it was.
OZ_HOST_API void SetBootstrapData(
    ozOstrelApiManager &manager, ozOstrelApiData::Type type, const ozOstrelApiData::Bootstrap &data);

// The defaults above until set.
OZ_HOST_API HttpOptions GetHttpOptions(const ozOstrelApiManager &manager);
OZ_HOST_API void SetHttpOptions(ozOstrelApiManager &manager, const HttpOptions &options);

} // namespace ostrel_standin
