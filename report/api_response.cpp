#include <algorithm>
#include <cstdint>

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

// Logs the missing or mistyped key; false stops the processing. A value that
// is not an object has no keys at all.
bool Check(const std::string &tag, const json &object, const char *key, bool (json::*is_type)() const)
{
    auto found = object.find(key);
    if (found != object.end() && ((*found).*is_type)()) return true;
    oz_dprintf("%s: %s not found or wrong type.\n", tag.c_str(), key);
    return false;
}

} // namespace

void ozpPlugin::ProcessApiResponse()
{
    const ozpApiDeviceDiscovery &request = *api_thread;
    ProcessApiAnswer(
        request.GetApiResponseCode(), request.GetResponseContentType(), request.GetResponseBody());
}

void ozpPlugin::ProcessApiAnswer(
    int64_t response_code, const std::string &content_type, const std::string &body)
{
    // A wrong code alone is not fatal: an error answer may still carry data.
    if (response_code != 200)
        oz_dprintf("%s: unexpected HTTP response: %ld\n", tag.c_str(), static_cast<long>(response_code));

    if (content_type != "application/json") {
        oz_dprintf("%s: unexpected content-type: %s\n", tag.c_str(),
            content_type.empty() ? "none" : content_type.c_str());
        return;
    }

    if (body.empty()) {
        oz_dprintf("%s: no content returned.\n", tag.c_str());
        return;
    }

    if (NestingDepth(body) > MAX_ANSWER_DEPTH) {
        oz_dprintf("%s: malformed JSON: nested deeper than %zu levels\n", tag.c_str(), MAX_ANSWER_DEPTH);
        return;
    }

    json answer;
    try {
        answer = json::parse(body);
    } catch (const json::exception &e) {
        oz_dprintf("%s: malformed JSON: %s\n", tag.c_str(), e.what());
        return;
    }

    if (!Check(tag, answer, "status_code", &json::is_number_unsigned)) return;
    if (!Check(tag, answer, "status_message", &json::is_string)) return;

    uint64_t status_code = answer["status_code"].get<uint64_t>();
    if (status_code != 0) {
        oz_printf("%s: API error: %s [%d]\n", tag.c_str(),
            answer["status_message"].get<std::string>().c_str(), static_cast<int>(status_code));
        return;
    }

    if (!Check(tag, answer, "data", &json::is_array)) return;

    for (const json &entry : answer["data"]) {
        if (!Check(tag, entry, "mac", &json::is_string)) return;
        if (!Check(tag, entry, "discovery", &json::is_object)) return;
        const json &discovery = entry.at("discovery");
        if (!Check(tag, discovery, "label", &json::is_string)) return;
        if (!Check(tag, discovery, "score", &json::is_number_unsigned)) return;

        std::string mac = entry.at("mac").get<std::string>();
        std::string label = discovery.at("label").get<std::string>();
        uint32_t score = discovery.at("score").get<uint32_t>();
        oz_dprintf("%s: %s: %s: score: %u\n", tag.c_str(), mac.c_str(),
            label.empty() ? "<NO LABEL>" : label.c_str(), score);

        ozpDevice update(mac, true);
        update.label = label;
        update.confidence = score;
        update.response = discovery;
        AddUpdateDevice(mac, update, true);
    }
}
