#include "report/api_response.h"

#include <algorithm>
#include <cstdint>
#include <set>

#include "device/text_bound.h"
#include "host/oz_addr.h"
#include "host/oz_log.h"

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

// Logs the missing or mistyped key; false when it is. A value that is not an
// object has no keys at all.
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

bool ozpReadVerdict(const std::string &tag, const json &entry, ozpVerdict &verdict, std::string &fault)
{
    verdict.mac.clear();
    if (!Check(tag, entry, "mac", IsString)) {
        fault = entry.is_object() ? NotFound("mac") : "not an object";
        return false;
    }
    verdict.mac = entry.at("mac").get<std::string>();
    const std::string &mac = verdict.mac;
    auto skip = [&fault, &mac](const char *key) {
        fault = Printable(mac) + ": " + NotFound(key);
        return false;
    };
    if (!Check(tag, entry, "discovery", IsObject)) return skip("discovery");
    const json &discovery = entry.at("discovery");
    if (!Check(tag, discovery, "label", IsString)) return skip("label");
    if (!Check(tag, discovery, "score", IsScore)) return skip("score");
    if (!IsHostMac(mac)) {
        oz_dprintf("%s: %s: answer skipped; not a MAC address.\n", tag.c_str(), Printable(mac).c_str());
        fault = Printable(mac) + ": not a MAC address";
        return false;
    }

    const std::string &label = discovery.at("label").get_ref<const std::string &>();
    verdict.label = ozpBoundText(label, MAX_LABEL_BYTES);
    verdict.response = discovery;
    if (verdict.label.size() != label.size()) {
        oz_dprintf("%s: %s: label cut to %zu bytes.\n", tag.c_str(), mac.c_str(), verdict.label.size());
        verdict.response["label"] = verdict.label;
    }
    size_t size = verdict.response.dump().size();
    if (size > MAX_VERDICT_BYTES) {
        oz_dprintf("%s: %s: answer skipped; verdict of %zu bytes.\n", tag.c_str(), mac.c_str(), size);
        fault = mac + ": verdict of " + std::to_string(size) + " bytes, over "
            + std::to_string(MAX_VERDICT_BYTES);
        return false;
    }
    verdict.score = discovery.at("score").get<uint32_t>();
    return true;
}

// The debug lines say each fault as it is found, and each verdict is given
// to `apply` as it is read, so that the lines of applying it fall among them.
ozpApiAnswer ozpReadApiAnswer(const std::string &tag, int64_t response_code, const std::string &content_type,
    const std::string &body, const std::function<void(ozpVerdict &)> &apply)
{
    ozpApiAnswer answer;
    // A wrong code alone is not fatal: an error answer may still carry data.
    std::string code_fault;
    if (response_code != 200) {
        oz_dprintf("%s: unexpected HTTP response: %ld\n", tag.c_str(), static_cast<long>(response_code));
        code_fault = "unexpected HTTP response: " + std::to_string(response_code);
    }
    auto fault = [&code_fault, &answer](const std::string &text) {
        answer.fault = code_fault.empty() ? text : code_fault;
        return answer;
    };

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

    json parsed;
    try {
        parsed = json::parse(body);
    } catch (const json::exception &e) {
        oz_dprintf("%s: malformed JSON: %s\n", tag.c_str(), e.what());
        return fault(std::string("malformed JSON: ") + e.what());
    }

    if (!Check(tag, parsed, "status_code", IsUnsigned)) return fault(NotFound("status_code"));
    if (!Check(tag, parsed, "status_message", IsString)) return fault(NotFound("status_message"));

    answer.status_code = parsed["status_code"].get<uint64_t>();
    if (answer.status_code != 0) {
        answer.status_message = parsed["status_message"].get<std::string>();
        return fault("API error");
    }

    if (!Check(tag, parsed, "data", IsArray)) return fault(NotFound("data"));

    // A faulty entry is skipped and the others applied: each is about its
    // own device.
    const json &data = parsed["data"];
    answer.entries = data.size();
    ozpVerdict verdict;
    for (size_t i = 0; i < data.size(); i++) {
        std::string reason;
        if (ozpReadVerdict(tag, data[i], verdict, reason)) {
            apply(verdict);
            continue;
        }
        if (answer.skipped++ == 0) answer.first_skipped = "data[" + std::to_string(i) + "]: " + reason;
        if (!verdict.mac.empty()) answer.kept_due.insert(verdict.mac);
    }
    answer.fault = code_fault;
    return answer;
}
