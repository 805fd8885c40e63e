// Reading the cloud's answers into verdicts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "device/held_verdicts.h"

// Reads one entry of an answer's "data" into `verdict`. False when the entry
// fails a check (not an object; "mac", "discovery", "label" or "score"
// missing or mistyped; a MAC not in the host's form; a verdict over its
// bound): `fault` then says why, and `verdict.mac` holds the entry's MAC
// when it had a string one. Each fault has its debug line, with `tag`.
bool ozpReadVerdict(
    const std::string &tag, const nlohmann::json &entry, ozpVerdict &verdict, std::string &fault);

// What an answer said, once read and checked.
struct ozpApiAnswer {
    // The first fault, empty when the request was answered well; a wrong
    // HTTP code comes before anything the body lacks.
    std::string fault;
    // The API's own refusal (fault "API error"): its code, never 0, and
    // message.
    uint64_t status_code = 0;
    std::string status_message;
    // The entries of "data", those skipped and why the first was.
    size_t entries = 0;
    size_t skipped = 0;
    std::string first_skipped;
    // The MACs of skipped entries that had one: their devices stay due.
    std::set<std::string> kept_due;
};

// Reads an answer of the upload or the index; each verdict that passes its
// checks goes to `apply` in the order of "data". The debug lines, with
// `tag`, say each fault as it is found; the always-written lines (a refusal,
// skipped entries) are the caller's.
ozpApiAnswer ozpReadApiAnswer(const std::string &tag, int64_t response_code, const std::string &content_type,
    const std::string &body, const std::function<void(ozpVerdict &)> &apply);
