// Host addresses: MAC, IPv4 and IPv6, built from text, and the host's named
// address groups.
#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "host/oz_export.h"

class OZ_HOST_API ozAddr
{
public:
    enum Type : uint8_t { TYPE_NONE = 0, TYPE_ETHER = 1, TYPE_IPV4 = 2, TYPE_IPV6 = 3 };

    // Flags of GetString and MakeString. With none, a MAC prints as
    // "aa:bb:cc:dd:ee:ff" and an IP address in its usual short text.
    enum MakeFlags : unsigned { MAKE_NONE = 0, MAKE_UPPERCASE = 0x1, MAKE_IPV6_BRACKETS = 0x2 };

    ozAddr() = default;
    explicit ozAddr(const std::string &text) { Create(*this, text); }

    // Parses a MAC ("aa:bb:cc:dd:ee:ff" or with '-') or an IP address.
    // On failure the address is left empty and false is returned.
    static bool Create(ozAddr &addr, const std::string &text);

    static void MakeString(const ozAddr &addr, std::string &text, unsigned flags = MAKE_NONE);
    std::string GetString(unsigned flags = MAKE_NONE) const;

    bool IsValid() const { return type != TYPE_NONE; }
    bool IsEthernet() const { return type == TYPE_ETHER; }
    Type GetType() const { return type; }

    bool operator==(const ozAddr &other) const { return type == other.type && bytes == other.bytes; }
    bool operator<(const ozAddr &other) const;

private:
    Type type = TYPE_NONE;
    std::array<uint8_t, 16> bytes {};
};

// Named groups of addresses. A group's members come from a file: one address a
// line, '#' starts a comment. Safe to use from any thread. The host names the
// groups' files and members.
class OZ_HOST_API ozAddrLookup
{
public:
    ozAddrLookup() = default;
    ~ozAddrLookup();
    ozAddrLookup(const ozAddrLookup &) = delete;
    ozAddrLookup &operator=(const ozAddrLookup &) = delete;

    // Makes the named group known. When the host has a file for it, the file
    // is read again; when the name is itself a readable file, that file
    // becomes the group of that name.
    void SetGroupFilename(const std::string &name);

    bool LookupGroupAddress(const std::string &group, const ozAddr &addr) const;
};
