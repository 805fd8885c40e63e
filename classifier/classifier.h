// The local classification service's core: a verdict for each device object
// of the device-discovery API from the kinds of the rule files (rules.h),
// the signs weighed by evidence.h, and the replies of the API's two
// requests. No I/O of its own; the service (ostrel_classifier.cpp) calls it
// from its HTTP threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "classifier/mac_registry.h"
#include "classifier/rules.h"

namespace ostrel_classifier {

using json = nlohmann::json;

// What the service knows of one device, from its report form (the upload
// of docs/PLUGIN.md).
struct DeviceFacts {
    std::string mac;
    std::string dhcp_vendor;
    std::string dhcp_fingerprint;
    std::string dhcp_hostname;
    std::vector<std::string> mdns_services;
    std::vector<std::string> http_user_agents;
    std::vector<std::string> ssdp_user_agents;
    std::vector<std::string> ja4_clients;
    // Classify fills these: the registry's organisation; the DHCP host name
    // and the host and instance names the device announces in mDNS; the
    // service types of those instances (what it offers, not what it asks).
    std::string mac_vendor;
    std::vector<std::string> host_names;
    std::vector<std::string> mdns_offers;
};

struct Verdict {
    std::string label; // empty: no kind matched
    unsigned score = 0; // the best class's calibrated share, 0 to 99
    std::string type;
    std::string vendor; // the kind's own, else the MAC's registry assignment
    bool mac_randomised = false; // the MAC is locally administered
    std::string tied_with; // another kind whose signs weigh as much
    std::vector<std::string> reasons; // the sign of each source that counted; competing claims
};

// Reads one device object; false with `error` naming the field.
bool ReadDevice(const json &device, DeviceFacts &facts, std::string &error);

// Each matching rule is a sign for its kind's class; the class its signs
// support most wins (evidence.h), and its label is that of the class's kind
// best supported by its own signs, the first in the file on a tie. A kind
// that names no vendor takes the one `registry` has for the MAC.
Verdict Classify(const std::vector<Kind> &kinds, const DeviceFacts &facts, const MacRegistry &registry);
Verdict Classify(const std::vector<Kind> &kinds, const DeviceFacts &facts);

// The "discovery" member of an answer entry. "mac_randomised" and
// "tied_with" appear only when they say something, so that other answers
// keep their form; "reasons" (array of texts) whenever there is a label.
json DiscoveryJson(const Verdict &verdict);

struct Reply {
    int http_status = 200;
    json body;
};

// Who asks: the agent UUID and serial its requests carry ("X-UUID",
// "X-UUID-Serial"). Either may be empty or "-" (none set).
struct AgentId {
    std::string uuid;
    std::string serial;

    // False when neither names the agent.
    bool Known() const;
    bool operator<(const AgentId &other) const
    {
        return uuid != other.uuid ? uuid < other.uuid : serial < other.serial;
    }
};

// The API: answers in the envelope {"status_code", "status_message", "data"}.
// Safe to call from several threads.
class Service
{
public:
    // Devices whose verdicts the index remembers per agent; more are answered only.
    static constexpr size_t MAX_REMEMBERED = 10000;
    // Agents whose indexes are kept; a new one makes room by dropping the
    // one that asked least recently.
    static constexpr size_t MAX_AGENTS = 16;
    // Devices one upload may carry.
    static constexpr size_t MAX_UPLOAD_DEVICES = 10000;

    Service(std::vector<Kind> kinds, std::string token, MacRegistry registry = MacRegistry())
        : kinds(std::move(kinds))
        , token(std::move(token))
        , registry(std::move(registry))
    {
    }

    // `authorization`: the request's Authorization header ("" when none).
    // Each agent has an index of its own; an unknown one's is always empty,
    // so that its verdicts never reach another agent.
    Reply Index(const std::string &authorization, const AgentId &agent = AgentId());
    Reply Upload(const std::string &authorization, const std::string &body, const AgentId &agent = AgentId());

    // Called with one line per classified device (MAC, label, score, reasons);
    // set before the service answers.
    void SetLog(std::function<void(const std::string &)> to) { log = std::move(to); }

    static Reply Error(int http_status, const std::string &message);
    static Reply Unauthorized();

    // True when `authorization` carries the token, or no token is set.
    bool Authorized(const std::string &authorization) const;

private:
    const std::vector<Kind> kinds;
    const std::string token;
    const MacRegistry registry;
    std::function<void(const std::string &)> log;
    struct AgentIndex {
        std::map<std::string, json> remembered; // by MAC
        uint64_t last_asked = 0;
    };
    // The agent's index, made (dropping the least recent when full) if new.
    AgentIndex &IndexOf(const AgentId &agent);

    std::mutex lock;
    std::map<AgentId, AgentIndex> agents;
    uint64_t asked = 0; // counts requests, for last_asked
};

} // namespace ostrel_classifier
