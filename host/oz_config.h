// Host singletons: the global configuration (flags, UUIDs, variables) and the
// running instance (address lookup, API manager). Their getters throw when
// the host has not set them up.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "host/oz_addr.h"
#include "host/oz_api.h"
#include "host/oz_export.h"
#include "host/oz_util.h"

enum ozUUID : uint8_t { UUID_NONE = 0, UUID_AGENT = 1, UUID_SITE = 2, UUID_SERIAL = 3 };

class OZ_HOST_API ozGlobalConfig
{
public:
    // Bits of the global flags word.
    enum Flag : uint64_t {
        GF_DEBUG = 0x1,
        GF_DEBUG_PAYLOAD = 0x2,
        GF_VERBOSE = 0x8000,
    };

    ozGlobalConfig() = default;
    ~ozGlobalConfig();
    ozGlobalConfig(const ozGlobalConfig &) = delete;
    ozGlobalConfig &operator=(const ozGlobalConfig &) = delete;

    static ozGlobalConfig *instance;

    // Throws ozException "%s: instance not found" when `instance` is null.
    static ozGlobalConfig &GetInstance();

    bool IsDebug() const { return flags & GF_DEBUG; }
    bool IsVerbose() const { return flags & GF_VERBOSE; }
    bool IsDebugPayload() const { return flags & GF_DEBUG_PAYLOAD; }
    uint8_t GetDebugLevel() const { return debug_level; }

    // False when the host has no UUID of that kind; `uuid` is then untouched.
    bool LoadUUID(ozUUID kind, std::string &uuid) const;

    std::atomic<uint64_t> flags {0};
    std::atomic<uint8_t> debug_level {0};

    // Variables for oz_expand_variables; set up before plug-ins start.
    ozVariableMap variables;
};

class OZ_HOST_API ozInstance
{
public:
    static ozInstance *instance;

    // Throws ozException "%s: instance not found" when `instance` is null.
    static ozInstance &GetInstance();

    ozAddrLookup addr_lookup;
    ozOstrelApiManager api_manager;
};
