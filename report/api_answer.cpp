// The plug-in's side of a cloud answer: the reader's verdicts applied to the
// table, the failures said, and the changes the answer covers counted.
#include <cinttypes>
#include <cstdint>
#include <set>
#include <string>

#include "plugin/plugin.h"
#include "report/api_response.h"
#include "report/reported_changes.h"

void ozpPlugin::ProcessApiResponse()
{
    const ozpApiDeviceDiscovery &request = *api_thread;
    ProcessApiAnswer(request.GetApiResponseCode(), request.GetResponseContentType(),
        request.GetResponseBody(), request.GetError(), request.GetReported());
}

bool ozpPlugin::ProcessApiAnswer(int64_t response_code, const std::string &content_type,
    const std::string &body, const std::string &request_error,
    const ozpApiDeviceDiscovery::Reported &reported)
{
    std::set<std::string> sent, kept_due;
    for (const auto &device : reported)
        sent.insert(device.first);
    bool said = false;
    std::string fault = ApplyApiAnswer(response_code, content_type, body, sent, kept_due, said);
    // Without a response, what the answer lacks follows from that.
    if (!request_error.empty()) fault = request_error;
    if (fault.empty()) {
        CountReported(reported, kept_due);
        return true;
    }
    if (!said)
        request_failures.Printf(tag.c_str(), "%s: API request failed: %s\n", tag.c_str(), fault.c_str());
    return false;
}

// Another endpoint's device is reported once, then left alone.
void ozpPlugin::CountReported(
    const ozpApiDeviceDiscovery::Reported &reported, const std::set<std::string> &kept_due)
{
    for (const std::string &mac : ozpCountReported(unreported, reported, kept_due)) {
        auto entry = devices.find(mac);
        if (entry != devices.end() && entry->second.other_device && entry->second.pending_updates == 0)
            RetireDevice(entry);
    }
}

// The result is the answer's first fault, empty when the request was
// answered well. `said` tells that the fault's always-written line is out
// already.
std::string ozpPlugin::ApplyApiAnswer(int64_t response_code, const std::string &content_type,
    const std::string &body, const std::set<std::string> &sent, std::set<std::string> &kept_due, bool &said)
{
    ozpApiAnswer answer = ozpReadApiAnswer(tag, response_code, content_type, body,
        [this, &sent](ozpVerdict &verdict) { ApplyVerdict(verdict, sent); });
    if (answer.status_code != 0) {
        // Said whole: a code above 2^31 must not show as another number.
        request_failures.Printf(tag.c_str(), "%s: API error: %s [%" PRIu64 "]\n", tag.c_str(),
            answer.status_message.c_str(), answer.status_code);
        said = true;
    }
    if (answer.skipped != 0)
        verdict_faults.Printf(tag.c_str(), "%s: answer: %zu of %zu verdict(s) skipped; first: %s\n",
            tag.c_str(), answer.skipped, answer.entries, answer.first_skipped.c_str());
    kept_due.insert(answer.kept_due.begin(), answer.kept_due.end());
    return answer.fault;
}

// A verdict about a device that must not be one is skipped: the ones after
// it are about other devices. One about a MAC neither seen nor asked about
// is held until a flow shows it.
void ozpPlugin::ApplyVerdict(ozpVerdict &verdict, const std::set<std::string> &sent)
{
    const std::string &mac = verdict.mac;
    if (IgnoreDeviceMac(mac)) {
        oz_dprintf("%s: %s: answer skipped; ignored.\n", tag.c_str(), mac.c_str());
        return;
    }
    if (identified.count(mac) != 0) {
        oz_dprintf("%s: %s: answer skipped; identified.\n", tag.c_str(), mac.c_str());
        return;
    }

    oz_dprintf("%s: %s: %s: score: %u\n", tag.c_str(), mac.c_str(),
        verdict.label.empty() ? "<NO LABEL>" : verdict.label.c_str(), verdict.score);

    if (devices.count(mac) == 0 && sent.count(mac) == 0) {
        held_verdicts.Hold(verdict);
        oz_dprintf("%s: %s: held until a flow shows the device.\n", tag.c_str(), mac.c_str());
        return;
    }

    ozpDevice update(mac, true);
    update.label = verdict.label;
    update.confidence = verdict.score;
    update.response = std::move(verdict.response);
    AddUpdateDevice(mac, update, true);
}
