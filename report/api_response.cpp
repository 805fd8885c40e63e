#include <algorithm>
#include <cinttypes>
#include <cstdint>

#include "device/text_bound.h"
#include "plugin/plugin.h"

namespace {

// Far deeper than any answer of the API. Copying a JSON value recurses once
// per level: an answer nested a hundred thousand deep would exhaust the
// plug-in thread's stack when its verdict is stored.
constexpr size_t MAX_ANSWER_DEPTH = 64;

// The deepest nesting of arrays and objects in `text` (brackets inside
// strings aside); exact for valid JSON, which is all that matters here.
size_t NestingDepth(const std::string &text)
{
    size_t depth = 0, deepest = 0;
    bool in_string = false, escaped = false;
    for (char c : text) {
        if (in_string) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                in_string = false;
        } else if (c == '"')
            in_string = true;
        else if (c == '[' || c == '{')
            deepest = std::max(deepest, ++depth);
        else if ((c == ']' || c == '}') && depth > 0)
            depth--;
    }
    return deepest;
}

// Longest label kept. Labels name a kind of device ("Android phone"); 256
// bytes leave room for long model names in any script while a table of
// 100,000 devices holds at most 25 MiB of them.
constexpr size_t MAX_LABEL_BYTES = 256;

// Longest verdict kept, as JSON text. The verdict is stored with the device
// and passed to the sinks: an answer of a few megabytes must not grow a
// device, answer after answer, by as much.
constexpr size_t MAX_VERDICT_BYTES = 16 * 1024;

bool IsUnsigned(const json &value)
{
    return value.is_number_unsigned();
}

bool IsString(const json &value)
{
    return value.is_string();
}

bool IsArray(const json &value)
{
    return value.is_array();
}

bool IsObject(const json &value)
{
    return value.is_object();
}

// A score becomes a 32-bit confidence: a larger one is no score at all.
bool IsScore(const json &value)
{
    return value.is_number_unsigned() && value.get<uint64_t>() <= UINT32_MAX;
}

// Logs the missing or mistyped key; false stops the processing. A value that
// is not an object has no keys at all.
bool Check(const std::string &tag, const json &object, const char *key, bool (*fits)(const json &))
{
    auto found = object.find(key);
    if (found != object.end() && fits(*found)) return true;
    oz_dprintf("%s: %s not found or wrong type.\n", tag.c_str(), key);
    return false;
}

// A text from the cloud made safe for one log line: as it is when short and
// plain, else quoted, escaped and cut.
std::string Printable(const std::string &text)
{
    bool plain = text.size() <= 64
        && std::all_of(text.begin(), text.end(), [](char c) { return c >= 0x20 && c < 0x7f; });
    if (plain) return text;
    std::string quoted = json(text).dump(-1, ' ', true, json::error_handler_t::replace);
    return quoted.size() > 64 ? quoted.substr(0, 60) + "...\"" : quoted;
}

// The MAC text of a device as the host writes it: anything else would be a
// device that no flow could ever match.
bool IsHostMac(const std::string &mac)
{
    ozAddr addr;
    return ozAddr::Create(addr, mac) && addr.IsEthernet() && addr.GetString() == mac;
}

std::string NotFound(const char *key)
{
    return std::string(key) + " not found or wrong type";
}

} // namespace

void ozpPlugin::ProcessApiResponse()
{
    const ozpApiDeviceDiscovery &request = *api_thread;
    bool good = ProcessApiAnswer(request.GetApiResponseCode(), request.GetResponseContentType(),
        request.GetResponseBody(), request.GetError());
    if (!good) return;

    // Changes that came in while the request was out stay due.
    for (const auto &sent : request.GetReported()) {
        auto due = unreported.find(sent.first);
        if (due == unreported.end()) continue;
        if (due->second > sent.second) {
            due->second -= sent.second;
            continue;
        }
        unreported.erase(due);
        // Another endpoint's device is reported once, then left alone.
        auto entry = devices.find(sent.first);
        if (entry != devices.end() && entry->second.other_device && entry->second.pending_updates == 0)
            RetireDevice(entry);
    }
}

bool ozpPlugin::ProcessApiAnswer(int64_t response_code, const std::string &content_type,
    const std::string &body, const std::string &request_error)
{
    bool said = false;
    std::string fault = ApplyApiAnswer(response_code, content_type, body, said);
    // Without a response, what the answer lacks follows from that.
    if (!request_error.empty()) fault = request_error;
    if (fault.empty()) return true;
    if (!said)
        request_failures.Printf(tag.c_str(), "%s: API request failed: %s\n", tag.c_str(), fault.c_str());
    return false;
}

// The debug lines say each fault as it is found; the result is the first,
// empty when the request was answered well. `said` tells that the fault's
// always-written line is out already.
std::string ozpPlugin::ApplyApiAnswer(
    int64_t response_code, const std::string &content_type, const std::string &body, bool &said)
{
    // A wrong code alone is not fatal: an error answer may still carry data.
    std::string code_fault;
    if (response_code != 200) {
        oz_dprintf("%s: unexpected HTTP response: %ld\n", tag.c_str(), static_cast<long>(response_code));
        code_fault = "unexpected HTTP response: " + std::to_string(response_code);
    }
    auto fault = [&code_fault](const std::string &text) { return code_fault.empty() ? text : code_fault; };

    if (content_type != "application/json") {
        std::string shown = content_type.empty() ? "none" : content_type;
        oz_dprintf("%s: unexpected content-type: %s\n", tag.c_str(), shown.c_str());
        return fault("unexpected content-type: " + Printable(shown));
    }

    if (body.empty()) {
        oz_dprintf("%s: no content returned.\n", tag.c_str());
        return fault("no content returned");
    }

    if (NestingDepth(body) > MAX_ANSWER_DEPTH) {
        std::string reason = "nested deeper than " + std::to_string(MAX_ANSWER_DEPTH) + " levels";
        oz_dprintf("%s: malformed JSON: %s\n", tag.c_str(), reason.c_str());
        return fault("malformed JSON: " + reason);
    }

    json answer;
    try {
        answer = json::parse(body);
    } catch (const json::exception &e) {
        oz_dprintf("%s: malformed JSON: %s\n", tag.c_str(), e.what());
        return fault(std::string("malformed JSON: ") + e.what());
    }

    if (!Check(tag, answer, "status_code", IsUnsigned)) return fault(NotFound("status_code"));
    if (!Check(tag, answer, "status_message", IsString)) return fault(NotFound("status_message"));

    // Said whole: a code above 2^31 must not show as another number.
    uint64_t status_code = answer["status_code"].get<uint64_t>();
    if (status_code != 0) {
        request_failures.Printf(tag.c_str(), "%s: API error: %s [%" PRIu64 "]\n", tag.c_str(),
            answer["status_message"].get<std::string>().c_str(), status_code);
        said = true;
        return fault("API error");
    }

    if (!Check(tag, answer, "data", IsArray)) return fault(NotFound("data"));

    for (const json &entry : answer["data"]) {
        // A malformed entry ends the array, as the ones before it stay
        // applied; the request itself was answered.
        if (!Check(tag, entry, "mac", IsString)) break;
        if (!Check(tag, entry, "discovery", IsObject)) break;
        const json &discovery = entry.at("discovery");
        if (!Check(tag, discovery, "label", IsString)) break;
        if (!Check(tag, discovery, "score", IsScore)) break;
        ApplyVerdict(entry.at("mac").get<std::string>(), discovery);
    }
    return code_fault;
}

// A well-formed verdict about a device that must not be one is skipped, not
// fatal: the verdicts after it are about other devices.
void ozpPlugin::ApplyVerdict(const std::string &mac, const json &discovery)
{
    if (!IsHostMac(mac)) {
        oz_dprintf("%s: %s: answer skipped; not a MAC address.\n", tag.c_str(), Printable(mac).c_str());
        return;
    }
    if (IgnoreDeviceMac(mac)) {
        oz_dprintf("%s: %s: answer skipped; ignored.\n", tag.c_str(), mac.c_str());
        return;
    }
    if (identified.count(mac) != 0) {
        oz_dprintf("%s: %s: answer skipped; identified.\n", tag.c_str(), mac.c_str());
        return;
    }

    json kept = discovery;
    std::string label = ozpBoundText(discovery.at("label").get<std::string>(), MAX_LABEL_BYTES);
    if (label.size() != discovery.at("label").get_ref<const std::string &>().size()) {
        oz_dprintf("%s: %s: label cut to %zu bytes.\n", tag.c_str(), mac.c_str(), label.size());
        kept["label"] = label;
    }
    size_t size = kept.dump().size();
    if (size > MAX_VERDICT_BYTES) {
        oz_dprintf("%s: %s: answer skipped; verdict of %zu bytes.\n", tag.c_str(), mac.c_str(), size);
        return;
    }

    uint32_t score = discovery.at("score").get<uint32_t>();
    oz_dprintf("%s: %s: %s: score: %u\n", tag.c_str(), mac.c_str(),
        label.empty() ? "<NO LABEL>" : label.c_str(), score);

    ozpDevice update(mac, true);
    update.label = label;
    update.confidence = score;
    update.response = std::move(kept);
    AddUpdateDevice(mac, update, true);
}
