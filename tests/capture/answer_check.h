// Checks what a packet path found in a shared capture against the capture's
// known answers (ANSWERS.json). Tests feed it neutral observations, made from
// the capture library's events or from flow lines read back from a dump, and
// get the differences as text: empty when every device matches.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace ostrel_test {

// One flow event as the plug-in would read it.
struct Observation {
    unsigned event = 8; // 2 flow new, 6 DPI update, 8 DPI complete
    std::string mac; // the MAC of the record's origin, "aa:bb:..."; empty when it has none
    unsigned protocol = 0; // detected protocol id; 18 is DHCP
    std::string dhcp_fingerprint, dhcp_vendor, dhcp_hostname;
    std::string user_agent;
    uint8_t user_agent_source = 0; // 1 HTTP, 2 SSDP
    std::string ja4;
    std::string mdns;
};

// What one device is known by.
struct DeviceValues {
    std::string dhcp_fingerprint, dhcp_vendor, dhcp_hostname;
    std::set<std::string> http_user_agents, ssdp_user_agents, mdns_services, ja4;
    // Answers only: JA4 values of later ClientHellos, allowed but not required.
    std::set<std::string> ja4_later;
    // Found only: the instance and host names a device announces of itself,
    // which the answers do not list; not compared.
    std::set<std::string> mdns_own_names;

    bool Empty() const;
};

struct CaptureAnswer {
    std::string file;
    uint64_t size = 0;
    uint64_t packets = 0;
    std::map<std::string, DeviceValues> devices; // by MAC text
};

// How the observed texts reached the check.
enum class TextPath {
    DIRECT, // from the capture library, byte for byte
    DUMPED, // through a flow dump, where bytes that are not UTF-8 became U+FFFD
};

class Answers
{
public:
    // Reads ANSWERS.json (or text of its form); false with `error` set.
    bool Load(const std::string &path, std::string &error);
    bool LoadText(const std::string &text, std::string &error);

    std::vector<std::string> Files() const;
    // Null when `file` has no answers.
    const CaptureAnswer *Find(const std::string &file) const;

private:
    std::vector<CaptureAnswer> captures;
};

// What the plug-in learns from the events: the device is the MAC of the
// record's origin; flow_new carries no values; DHCP texts only from DHCP
// flows, the last non-empty one winning; sets for the rest. Devices with no
// value are left out.
std::map<std::string, DeviceValues> Attribute(const std::vector<Observation> &observations);

// The answers file of the capture folder `captures` (ending in "/"), read
// once and kept: the parameters of the tests are made from it before any
// runs. A file that does not load gives no answers, so no tests.
const Answers &LoadedAnswers(const std::string &captures);

// Every expected value must be found and every value found expected (JA4s of
// later ClientHellos are allowed too). One block of lines per device that
// differs; empty when all match.
std::string Differences(const CaptureAnswer &answer, const std::vector<Observation> &observations,
    TextPath path = TextPath::DIRECT);

// The answers' form of a DHCP text to the packet path's: the answers decode
// bytes as Latin-1 and keep trailing control characters (a NUL), which the
// packet path drops.
std::string AnswerDhcpBytes(const std::string &answer_text);

// A text as a flow dump writes it: each byte sequence that is not UTF-8
// becomes U+FFFD.
std::string AsDumped(const std::string &text);

} // namespace ostrel_test
