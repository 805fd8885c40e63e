#include "capture/mdns.h"

#include "capture/byte_reader.h"

namespace ostrel_capture {
namespace {

constexpr size_t kHeaderSize = 12;
constexpr uint16_t kTypePtr = 12;
constexpr uint16_t kTypeSrv = 33;
constexpr size_t kMaxLabel = 63;
constexpr size_t kMaxNameWire = 255; // length bytes and the final zero included
// Pointers may only go backwards, which already rules out loops; the cap
// bounds the work a crafted chain of back pointers can cause.
constexpr int kMaxJumps = 32;
// A crafted message can make hundreds of distinct long names out of a few
// bytes each; real announcements carry a few dozen.
constexpr size_t kMaxNamesPerMessage = 64;

// Reads the name at the reader's position into `name` and moves the reader
// past it (past the first pointer when there is one); `reader` covers the
// whole message, which pointers refer to. False on any fault.
bool ReadName(const uint8_t *data, size_t size, ByteReader &reader, std::string &name)
{
    name.clear();
    size_t at = reader.Pos();
    size_t end = at;
    size_t wire = 1;
    int jumps = 0;
    bool jumped = false;
    for (;;) {
        if (at >= size) return false;
        const uint8_t length = data[at];
        if ((length & 0xc0) == 0xc0) {
            if (at + 1 >= size || ++jumps > kMaxJumps) return false;
            const size_t target = static_cast<size_t>(length & 0x3f) << 8 | data[at + 1];
            if (target >= at) return false;
            if (!jumped) end = at + 2;
            jumped = true;
            at = target;
            continue;
        }
        if (length > kMaxLabel) return false; // 0x40 and 0x80: extended label types, not used by mDNS
        if (length == 0) {
            if (!jumped) end = at + 1;
            reader.Skip(end - reader.Pos());
            return true;
        }
        wire += 1 + length;
        if (wire > kMaxNameWire || size - at - 1 < length) return false;
        if (!name.empty()) name.push_back('.');
        // A "." inside a label stays as it is; control bytes go.
        for (size_t i = 0; i < length; ++i) {
            const uint8_t c = data[at + 1 + i];
            if (c >= 0x20 && c != 0x7f) name.push_back(static_cast<char>(c));
        }
        at += 1 + length;
    }
}

bool EndsWithNoCase(const std::string &text, const char *suffix, size_t suffix_size)
{
    if (text.size() < suffix_size) return false;
    const char *tail = text.data() + text.size() - suffix_size;
    for (size_t i = 0; i < suffix_size; ++i) {
        char c = tail[i];
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (c != suffix[i]) return false;
    }
    return true;
}

// The reverse zones themselves count as reverse mappings too.
bool IsReverseMapping(const std::string &name)
{
    static const char kV4[] = "in-addr.arpa";
    static const char kV6[] = "ip6.arpa";
    const auto zone = [&name](const char *suffix, size_t n) {
        return EndsWithNoCase(name, suffix, n) && (name.size() == n || name[name.size() - n - 1] == '.');
    };
    return zone(kV4, sizeof kV4 - 1) || zone(kV6, sizeof kV6 - 1);
}

class NameList
{
public:
    explicit NameList(std::vector<std::string> &names)
        : names(names)
        , first(names.size())
    {
    }

    bool Full() const { return names.size() - first >= kMaxNamesPerMessage; }

    void Add(const std::string &name)
    {
        if (name.empty() || IsReverseMapping(name) || Full()) return;
        for (size_t i = first; i < names.size(); ++i) {
            if (names[i] == name) return;
        }
        names.push_back(name);
    }

private:
    std::vector<std::string> &names;
    size_t first;
};

// A name the sender gives itself or one of its instances: not a service type
// (whose first label starts with "_"), nor a reverse mapping.
bool IsOwnName(const std::string &name)
{
    return !name.empty() && name[0] != '_';
}

// Reads one resource record of a section; adds its service type as today
// (`types`), and with `own` the instance and host names it announces.
bool ReadRecord(const uint8_t *data, size_t size, ByteReader &reader, NameList &list, bool types, bool own)
{
    std::string owner;
    std::string target;
    if (!ReadName(data, size, reader, owner)) return false;
    const uint16_t type = reader.U16();
    reader.Skip(6); // the class with the cache-flush bit, then the TTL
    const uint16_t length = reader.U16();
    if (!reader.Ok() || length > size - reader.Pos()) return false;
    const size_t next = reader.Pos() + length;
    // The owner of a PTR record is the service; its data names one instance.
    if (type == kTypePtr && types) list.Add(owner);
    if (own) {
        if (type == kTypePtr || type == kTypeSrv) {
            ByteReader rdata = reader;
            if (type == kTypeSrv) rdata.Skip(6); // priority, weight, port
            if (!rdata.Ok() || !ReadName(data, size, rdata, target)) return false;
            if (IsOwnName(target)) list.Add(target);
        }
        if (type != kTypePtr && IsOwnName(owner)) list.Add(owner);
    }
    reader.Skip(next - reader.Pos());
    return reader.Ok();
}

} // namespace

bool ParseMdnsNames(const uint8_t *data, size_t size, std::vector<std::string> &names)
{
    if (data == nullptr || size < kHeaderSize) return false;
    ByteReader reader(data, size);
    reader.Skip(2);
    const bool response = (reader.U16() & 0x8000) != 0;
    const uint16_t questions = reader.U16();
    const uint16_t answers = reader.U16();
    const uint16_t authorities = reader.U16();
    const uint16_t additionals = reader.U16();
    NameList list(names);
    std::string name;

    for (unsigned i = 0; i < questions; ++i) {
        if (!ReadName(data, size, reader, name)) return false;
        const uint16_t type = reader.U16();
        reader.Skip(2); // the class (and its unicast-response bit) does not matter here
        if (!reader.Ok()) return false;
        if (type == kTypePtr) list.Add(name);
    }
    // A query's answers are what the asker already knows of others (known-
    // answer suppression), so only a response's records, and a probe's
    // proposed records (a query's authority section), name the sender itself.
    const unsigned sections[3] = {answers, authorities, additionals};
    for (unsigned section = 0; section < 3; ++section) {
        const bool types = section == 0;
        const bool own = response || section == 1;
        if (!types && !own) break;
        for (unsigned i = 0; i < sections[section] && !list.Full(); ++i) {
            if (!ReadRecord(data, size, reader, list, types, own)) return false;
        }
    }
    return true;
}

DatagramVerdict MdnsStep(const Datagram &in, Attributes &out)
{
    std::vector<std::string> names;
    ParseMdnsNames(in.data, in.size, names);
    for (const std::string &name : names)
        out.MdnsName(name);
    return DatagramVerdict::MORE;
}

} // namespace ostrel_capture
