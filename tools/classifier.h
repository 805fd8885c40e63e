// The local classification service's core: device kinds described by rules
// from a JSON file, a verdict for each device object of the device-discovery
// API, and the replies of the API's two requests. No I/O of its own; the
// service (ostrel_classifier.cpp) calls it from its HTTP threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace ostrel_classifier {

using json = nlohmann::json;

struct Rule {
    enum class Op { EQUALS, PREFIX, SUFFIX, CONTAINS };

    std::string field; // "dhcp_vendor", "mdns_services", "user_agents", ...
    Op op = Op::EQUALS;
    std::string text;  // lower case; matching ignores ASCII letter case
    unsigned score = 0;
};

struct Kind {
    std::string label;
    std::string type;
    std::string vendor;
    std::vector<Rule> rules;
};

// What the service knows of one device, from its report form.
struct DeviceFacts {
    std::string mac;
    std::string dhcp_vendor;
    std::string dhcp_fingerprint;
    std::string dhcp_hostname;
    std::vector<std::string> mdns_services;
    std::vector<std::string> http_user_agents;
    std::vector<std::string> ssdp_user_agents;
    std::vector<std::string> ja4_clients;
};

struct Verdict {
    std::string label; // empty: no kind matched
    unsigned score = 0; // sum of the matching rules of the best kind, at most 100
    std::string type;
    std::string vendor;
};

// Parses a rule file's text. Throws std::runtime_error "FIELD: why" (the
// caller adds the file name).
std::vector<Kind> ParseRules(const std::string &text);
std::vector<Kind> LoadRules(const std::string &path);

// Reads one device object; false with `error` naming the field.
bool ReadDevice(const json &device, DeviceFacts &facts, std::string &error);

// The best kind: highest sum of matching rule scores, the first in the file
// on a tie; each rule counts once however many values match it.
Verdict Classify(const std::vector<Kind> &kinds, const DeviceFacts &facts);

// The "discovery" member of an answer entry.
json DiscoveryJson(const Verdict &verdict);

struct Reply {
    int http_status = 200;
    json body;
};

// The API: answers in the envelope {"status_code", "status_message", "data"}.
// Safe to call from several threads.
class Service
{
public:
    // Devices whose verdicts the index remembers; more are answered only.
    static constexpr size_t MAX_REMEMBERED = 10000;
    // Devices one upload may carry.
    static constexpr size_t MAX_UPLOAD_DEVICES = 10000;

    Service(std::vector<Kind> kinds, std::string token) : kinds(std::move(kinds)), token(std::move(token)) {}

    // `authorization`: the request's Authorization header ("" when none).
    Reply Index(const std::string &authorization);
    Reply Upload(const std::string &authorization, const std::string &body);

    static Reply Error(int http_status, const std::string &message);
    static Reply Unauthorized();

    // True when `authorization` carries the token, or no token is set.
    bool Authorized(const std::string &authorization) const;

private:

    const std::vector<Kind> kinds;
    const std::string token;
    std::mutex lock;
    std::map<std::string, json> remembered;
};

} // namespace ostrel_classifier
