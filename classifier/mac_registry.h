// The organisations that the IEEE registry assigns MAC address blocks to
// (MA-L 24-bit, MA-M 28-bit and MA-S 36-bit prefixes), read once at start-up
// from the registry's CSV files and looked up by longest prefix. Immutable
// after loading, so any thread may look up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ostrel_classifier {

// Where Debian's ieee-data package puts the files.
constexpr const char *DEFAULT_REGISTRY_DIR = "/usr/share/ieee-data";

// Reads "3c:28:6d:41:9a:10" (also with '-' or no separators, either case)
// into its 48 bits; false when the text is not one MAC address.
bool ParseMac(std::string_view text, uint64_t &mac);

// The locally administered bit: set on addresses a device made up itself
// (randomised for privacy), which no registry assignment covers.
inline bool LocallyAdministered(uint64_t mac)
{
    return (mac >> 40) & 0x02;
}

// What loading found wrong; nothing of it stops the service.
struct RegistryProblems {
    std::vector<std::string> unreadable; // "FILE: why", one per file
    size_t bad_records = 0;
    std::string first_bad; // "FILE line N"
};

class MacRegistry
{
public:
    // Reads oui.csv, mam.csv and oui36.csv of `dir`.
    static MacRegistry Load(const std::string &dir, RegistryProblems &problems);

    // Adds the records of one CSV text; `where` names it in `problems`.
    // Lookups see them after Finish().
    void AddCsv(std::string_view text, const std::string &where, RegistryProblems &problems);
    void Finish();

    // The organisation of the longest assigned prefix of `mac`; "" when none,
    // when the block is private, or when the address is locally administered.
    std::string_view Vendor(uint64_t mac) const;
    std::string_view Vendor(std::string_view mac) const;

    // Assignments known (private ones included).
    size_t Size() const { return blocks[0].size() + blocks[1].size() + blocks[2].size(); }

private:
    struct Block {
        uint64_t prefix;
        uint32_t name_offset; // into `names`; length 0 for a private block
        uint32_t name_length;
        bool operator<(const Block &other) const { return prefix < other.prefix; }
    };

    void Add(unsigned kind, uint64_t prefix, std::string_view name);

    // 36-bit, 28-bit and 24-bit blocks, each sorted by prefix.
    std::vector<Block> blocks[3];
    // Every organisation name once, back to back.
    std::string names;
};

// Loads the registry the command line names ("none": no registry) and says
// in `messages` what the operator should know: files that could not be read
// and records that were skipped, one line each.
MacRegistry LoadRegistry(const std::string &dir, std::vector<std::string> &messages);

} // namespace ostrel_classifier
