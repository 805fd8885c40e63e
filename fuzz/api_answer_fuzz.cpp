// The reader of the cloud's answers from any body, with any HTTP code and
// content type: what it gives as applied, skipped and failed must agree with
// the body read again here, and every verdict must be within its bounds.
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "report/api_response.h"

namespace {

using ostrel_fuzz::ByteReader;
using ostrel_fuzz::FuzzHost;
using ostrel_fuzz::Require;

const char *const CONTENT_TYPES[] = {"application/json", "application/json", "application/json", "",
    "application/json; charset=utf-8", "text/html", "Application/JSON"};
const int64_t CODES[] = {200, 200, 200, -1, 0, 201, 204, 401, 429, 500, 503};

bool IsHostMac(const std::string &mac)
{
    ozAddr addr;
    return ozAddr::Create(addr, mac) && addr.IsEthernet() && addr.GetString() == mac;
}

void CheckVerdict(const ozpVerdict &verdict)
{
    Require(IsHostMac(verdict.mac), "a verdict is about a MAC in the host's form");
    Require(verdict.label.size() <= 256, "a label is cut to its bound");
    Require(verdict.response.is_object(), "the verdict kept is the discovery object");
    Require(verdict.response.at("label") == verdict.label, "the verdict kept holds the label kept");
    Require(verdict.response.at("score") == verdict.score, "the verdict kept holds the score");
    Require(verdict.response.dump().size() <= 16 * 1024, "a verdict kept is within its bound");
}

// A good answer: each applied verdict is the next entry of "data" that is
// not skipped, as a plain parse of the body shows.
void CheckAgainstBody(
    const std::string &body, const ozpApiAnswer &answer, const std::vector<ozpVerdict> &applied)
{
    const json parsed = json::parse(body);
    const json &data = parsed.at("data");
    Require(data.size() == answer.entries, "every entry of data is counted");
    size_t next = 0;
    for (const json &entry : data) {
        if (next == applied.size()) break;
        const json *mac = entry.is_object() && entry.contains("mac") ? &entry.at("mac") : nullptr;
        if (mac != nullptr && *mac == applied[next].mac) next++;
    }
    Require(next == applied.size(), "verdicts are applied in the order of data");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzHost::Get();
    ByteReader in(data, size);
    // First byte: code; second: content type (a choice or a text); the rest
    // is the body.
    uint8_t code = in.Byte();
    int64_t response_code = code < 11 ? CODES[code] : static_cast<int64_t>(code) * 3;
    uint8_t type = in.Byte();
    std::string content_type = type < 7 ? CONTENT_TYPES[type] : in.Text(type - 7);
    std::string body = in.Rest();

    std::vector<ozpVerdict> applied;
    ozpApiAnswer answer = ozpReadApiAnswer("fuzz", response_code, content_type, body,
        [&applied](ozpVerdict &verdict) { applied.push_back(verdict); });

    for (const ozpVerdict &verdict : applied)
        CheckVerdict(verdict);
    Require(applied.size() + answer.skipped == answer.entries, "each entry is applied or skipped");
    Require((answer.skipped == 0) == answer.first_skipped.empty(), "the first skipped entry is said");
    Require(answer.kept_due.size() <= answer.skipped, "only skipped entries stay due");
    if (response_code != 200)
        Require(answer.fault == "unexpected HTTP response: " + std::to_string(response_code),
            "a wrong code is the first fault");
    else if (content_type != "application/json")
        Require(!answer.fault.empty() && applied.empty(), "only JSON is read");
    if (answer.status_code != 0)
        Require(!answer.fault.empty() && applied.empty(), "a refusal applies nothing");
    if (answer.fault.empty() || (response_code != 200 && answer.entries != 0))
        CheckAgainstBody(body, answer, applied);
    return 0;
}
