#include "classifier/classifier.h"

#include <cmath>
#include <stdexcept>

#include "classifier/evidence.h"
#include "classifier/input_file.h"

namespace ostrel_classifier {

namespace {

bool Matches(const Rule &rule, const std::string &value)
{
    const std::string text = LowerAscii(value);
    switch (rule.op) {
    case Rule::Op::EQUALS:
        return text == rule.text;
    case Rule::Op::PREFIX:
        return text.compare(0, rule.text.size(), rule.text) == 0;
    case Rule::Op::SUFFIX:
        return text.size() >= rule.text.size()
            && text.compare(text.size() - rule.text.size(), rule.text.size(), rule.text) == 0;
    case Rule::Op::CONTAINS:
        return text.find(rule.text) != std::string::npos;
    case Rule::Op::ALL:
        break;
    }
    return false;
}

// A value of the device that a rule matched, and the source it came from.
struct Match {
    bool found = false;
    Source source = Source::DHCP;
    std::string value;
};

// Calls `test` with each value of the field until it answers true.
template <typename Test> Match AnyValue(const std::string &f, const DeviceFacts &facts, Test test)
{
    Match match;
    const auto one = [&](const std::string &value, Source source) {
        // An empty text is "not seen", not a value that an op could match.
        if (match.found || value.empty() || !test(value)) return;
        match = Match {true, source, value};
    };
    const auto any = [&](const std::vector<std::string> &values, Source source) {
        for (const std::string &value : values)
            one(value, source);
    };
    if (f == "mac") {
        if (test(facts.mac)) match = Match {true, Source::MAC, facts.mac};
    } else if (f == "mac_vendor") {
        one(facts.mac_vendor, Source::MAC);
    } else if (f == "dhcp_vendor") {
        one(facts.dhcp_vendor, Source::DHCP);
    } else if (f == "dhcp_fingerprint") {
        one(facts.dhcp_fingerprint, Source::DHCP);
    } else if (f == "dhcp_hostname") {
        one(facts.dhcp_hostname, Source::HOSTNAME);
    } else if (f == "host_names") {
        any(facts.host_names, Source::HOSTNAME);
    } else if (f == "mdns_services") {
        any(facts.mdns_services, Source::MDNS);
    } else if (f == "mdns_offers") {
        any(facts.mdns_offers, Source::MDNS);
    } else if (f == "http_user_agents" || f == "user_agents") {
        any(facts.http_user_agents, Source::HTTP);
    }
    if (f == "ssdp_user_agents" || f == "user_agents") any(facts.ssdp_user_agents, Source::SSDP);
    if (f == "ja4_clients") any(facts.ja4_clients, Source::JA4);
    return match;
}

Match RuleMatches(const Rule &rule, const DeviceFacts &facts)
{
    if (rule.op != Rule::Op::ALL)
        return AnyValue(rule.field, facts, [&](const std::string &value) { return Matches(rule, value); });
    Match all;
    for (const std::string &text : rule.all) {
        Match one = AnyValue(
            rule.field, facts, [&](const std::string &value) { return LowerAscii(value) == text; });
        if (!one.found) return Match();
        all.found = true;
        all.source = one.source;
        all.value += (all.value.empty() ? "" : " + ") + one.value;
    }
    return all;
}

bool ReadText(
    const json &object, const char *key, const std::string &at, std::string &out, std::string &error)
{
    auto found = object.find(key);
    if (found == object.end()) return true;
    if (!found->is_string()) {
        error = at + "." + key + ": must be a string";
        return false;
    }
    out = found->get<std::string>();
    return true;
}

bool ReadList(const json &object, const char *key, std::vector<std::string> &out, std::string &error)
{
    auto found = object.find(key);
    if (found == object.end()) return true;
    if (!found->is_array()) {
        error = std::string(key) + ": must be an array of strings";
        return false;
    }
    for (const json &value : *found) {
        if (!value.is_string()) {
            error = std::string(key) + ": must be an array of strings";
            return false;
        }
        out.push_back(value.get<std::string>());
    }
    return true;
}

// The class a kind's signs point at: its type, or the kind alone when it
// names none.
std::string ClassOf(const Kind &kind)
{
    return kind.type.empty() ? "kind:" + kind.label : kind.type;
}

std::vector<Sign> Signs(const std::vector<Kind> &kinds, const DeviceFacts &facts)
{
    std::vector<Sign> signs;
    std::vector<char> counted;
    for (size_t k = 0; k < kinds.size(); k++) {
        const Kind &kind = kinds[k];
        counted.assign(kind.rules.size(), 0);
        for (size_t i = 0; i < kind.rules.size(); i++) {
            const Rule &rule = kind.rules[i];
            if (rule.with >= 0 && !counted[static_cast<size_t>(rule.with)]) continue;
            const Match match = RuleMatches(rule, facts);
            if (!match.found) continue;
            counted[i] = 1;
            signs.push_back(Sign {ClassOf(kind), k, match.source, rule.score,
                std::string(SourceName(match.source)) + ": " + rule.field + " \"" + match.value + "\" says "
                    + kind.label + " (" + std::to_string(rule.score) + ")"});
        }
    }
    return signs;
}

// The kind of `klass` its own signs support most, the first on a tie;
// `tied_with` gets the label of another kind (of any class) as well supported.
size_t BestKind(const std::vector<Kind> &kinds, const std::vector<Sign> &signs, const std::string &klass,
    std::string &tied_with)
{
    std::vector<double> odds(kinds.size(), 0.0);
    for (const Sign &sign : signs) {
        if (odds[sign.kind] == 0.0)
            odds[sign.kind]
                = ClassOdds(StrongestPerSource(signs, [&](const Sign &s) { return s.kind == sign.kind; }));
    }
    // A kind that names a product wins over one that names the class only.
    size_t best = kinds.size();
    const auto better = [&](size_t k) {
        if (best == kinds.size()) return true;
        if (kinds[k].generic != kinds[best].generic) return !kinds[k].generic;
        return odds[k] > odds[best];
    };
    for (size_t k = 0; k < kinds.size(); k++) {
        if (odds[k] > 0.0 && ClassOf(kinds[k]) == klass && better(k)) best = k;
    }
    for (size_t k = 0; k < kinds.size() && tied_with.empty(); k++) {
        if (k != best && odds[k] > 0.0 && kinds[k].generic == kinds[best].generic
            && std::fabs(odds[k] - odds[best]) < 1e-9 * odds[best])
            tied_with = kinds[k].label;
    }
    return best;
}

// The names a device gives itself. In mDNS only the device that offers a
// service announces an instance of it ("<instance>._ipp._tcp.local"), and
// only a host names itself ("<host>.local"); a bare service type may be a
// question, and a "._sub." name is a browse for a subtype.
void ReadOwnNames(DeviceFacts &facts)
{
    facts.host_names.clear();
    facts.mdns_offers.clear();
    if (!facts.dhcp_hostname.empty()) facts.host_names.push_back(facts.dhcp_hostname);
    for (const std::string &name : facts.mdns_services) {
        if (name.empty() || name[0] == '_' || name.find("._sub._") != std::string::npos) continue;
        const size_t service = name.find("._");
        if (service == std::string::npos) {
            facts.host_names.push_back(name.substr(0, name.find('.')));
        } else {
            facts.host_names.push_back(name.substr(0, service));
            facts.mdns_offers.push_back(name.substr(service + 1));
        }
    }
}

std::string LogLine(const std::string &mac, const Verdict &verdict)
{
    std::string line = mac + ": " + (verdict.label.empty() ? "<NO LABEL>" : verdict.label) + " ("
        + (verdict.type.empty() ? "unknown" : verdict.type) + "): score " + std::to_string(verdict.score);
    for (size_t i = 0; i < verdict.reasons.size(); i++)
        line += (i == 0 ? ": " : "; ") + verdict.reasons[i];
    return line;
}

json Envelope(unsigned status_code, const std::string &message, json data)
{
    return json {{"status_code", status_code}, {"status_message", message}, {"data", std::move(data)}};
}

} // namespace

bool ReadDevice(const json &device, DeviceFacts &facts, std::string &error)
{
    if (!device.is_object()) {
        error = "must be an object";
        return false;
    }
    auto mac = device.find("mac");
    if (mac == device.end() || !mac->is_string() || mac->get<std::string>().empty()) {
        error = "mac: missing or not a non-empty string";
        return false;
    }
    facts.mac = mac->get<std::string>();
    auto dhcp = device.find("dhcp");
    if (dhcp != device.end()) {
        if (!dhcp->is_object()) {
            error = "dhcp: must be an object";
            return false;
        }
        if (!ReadText(*dhcp, "vendor", "dhcp", facts.dhcp_vendor, error)
            || !ReadText(*dhcp, "fingerprint", "dhcp", facts.dhcp_fingerprint, error)
            || !ReadText(*dhcp, "hostname", "dhcp", facts.dhcp_hostname, error))
            return false;
    }
    return ReadList(device, "mdns_services", facts.mdns_services, error)
        && ReadList(device, "http_user_agents", facts.http_user_agents, error)
        && ReadList(device, "ssdp_user_agents", facts.ssdp_user_agents, error)
        && ReadList(device, "ja4_clients", facts.ja4_clients, error);
}

Verdict Classify(const std::vector<Kind> &kinds, const DeviceFacts &given, const MacRegistry &registry)
{
    DeviceFacts facts = given;
    facts.mac_vendor = std::string(registry.Vendor(facts.mac));
    ReadOwnNames(facts);
    std::vector<Sign> signs = Signs(kinds, facts);
    const Weighed weighed = Weigh(signs);
    Verdict best;
    if (!weighed.klass.empty()) {
        const Kind &kind = kinds[BestKind(kinds, signs, weighed.klass, best.tied_with)];
        best = Verdict {kind.label, weighed.score, kind.type, kind.vendor, false, best.tied_with, {}};
        for (const Sign *sign : weighed.evidence)
            best.reasons.push_back(sign->reason);
        for (const std::string &claim : weighed.against)
            best.reasons.push_back("against: " + claim);
    }
    uint64_t mac = 0;
    best.mac_randomised = ParseMac(facts.mac, mac) && LocallyAdministered(mac);
    if (best.vendor.empty()) best.vendor = facts.mac_vendor;
    return best;
}

Verdict Classify(const std::vector<Kind> &kinds, const DeviceFacts &facts)
{
    static const MacRegistry none;
    return Classify(kinds, facts, none);
}

json DiscoveryJson(const Verdict &verdict)
{
    json discovery {{"label", verdict.label}, {"score", verdict.score},
        {"type", verdict.type.empty() ? "unknown" : verdict.type}, {"vendor", verdict.vendor}};
    if (verdict.mac_randomised) discovery["mac_randomised"] = true;
    if (!verdict.tied_with.empty()) discovery["tied_with"] = verdict.tied_with;
    if (!verdict.reasons.empty()) discovery["reasons"] = verdict.reasons;
    return discovery;
}

Reply Service::Error(int http_status, const std::string &message)
{
    return Reply {http_status, Envelope(static_cast<unsigned>(http_status), message, json::array())};
}

Reply Service::Unauthorized()
{
    return Error(401, "missing or wrong bearer token");
}

bool Service::Authorized(const std::string &authorization) const
{
    if (token.empty()) return true;
    const std::string expected = "Bearer " + token;
    // Compares every byte so that the time taken does not tell how much matched.
    unsigned char differ = authorization.size() == expected.size() ? 0 : 1;
    for (size_t i = 0; i < expected.size(); i++) {
        unsigned char given = i < authorization.size() ? static_cast<unsigned char>(authorization[i]) : 0;
        differ |= static_cast<unsigned char>(given ^ static_cast<unsigned char>(expected[i]));
    }
    return differ == 0;
}

bool AgentId::Known() const
{
    auto names = [](const std::string &value) { return !value.empty() && value != "-"; };
    return names(uuid) || names(serial);
}

Service::AgentIndex &Service::IndexOf(const AgentId &agent)
{
    auto found = agents.find(agent);
    if (found == agents.end()) {
        if (agents.size() >= MAX_AGENTS) {
            auto oldest = agents.begin();
            for (auto at = agents.begin(); at != agents.end(); ++at)
                if (at->second.last_asked < oldest->second.last_asked) oldest = at;
            agents.erase(oldest);
        }
        found = agents.emplace(agent, AgentIndex()).first;
    }
    found->second.last_asked = ++asked;
    return found->second;
}

Reply Service::Index(const std::string &authorization, const AgentId &agent)
{
    if (!Authorized(authorization)) return Unauthorized();
    json data = json::array();
    std::lock_guard<std::mutex> guard(lock);
    auto found = agent.Known() ? agents.find(agent) : agents.end();
    if (found != agents.end()) {
        found->second.last_asked = ++asked;
        for (const auto &entry : found->second.remembered)
            data.push_back(json {{"mac", entry.first}, {"discovery", entry.second}});
    }
    return Reply {200, Envelope(0, "ok", std::move(data))};
}

Reply Service::Upload(const std::string &authorization, const std::string &body, const AgentId &agent)
{
    if (!Authorized(authorization)) return Unauthorized();
    json devices;
    try {
        devices = json::parse(body);
    } catch (const json::exception &e) {
        return Error(400, std::string("request body is not valid JSON: ") + e.what());
    }
    if (!devices.is_array()) return Error(400, "request body must be a JSON array of device objects");
    if (devices.size() > MAX_UPLOAD_DEVICES)
        return Error(400,
            "request carries " + std::to_string(devices.size()) + " devices; at most "
                + std::to_string(MAX_UPLOAD_DEVICES) + " are accepted");
    // Every device is checked before any verdict is remembered.
    std::vector<DeviceFacts> facts(devices.size());
    for (size_t i = 0; i < devices.size(); i++) {
        std::string error;
        if (!ReadDevice(devices[i], facts[i], error))
            return Error(400, "request[" + std::to_string(i) + "]: " + error);
    }
    json data = json::array();
    std::lock_guard<std::mutex> guard(lock);
    // An agent that does not say who it is is answered, never remembered.
    std::map<std::string, json> *remembered = agent.Known() ? &IndexOf(agent).remembered : nullptr;
    for (const DeviceFacts &device : facts) {
        const Verdict verdict = Classify(kinds, device, registry);
        if (log) log(LogLine(device.mac, verdict));
        json discovery = DiscoveryJson(verdict);
        if (remembered && (remembered->size() < MAX_REMEMBERED || remembered->count(device.mac) != 0))
            (*remembered)[device.mac] = discovery;
        data.push_back(json {{"mac", device.mac}, {"discovery", std::move(discovery)}});
    }
    return Reply {200, Envelope(0, "ok", std::move(data))};
}

} // namespace ostrel_classifier
