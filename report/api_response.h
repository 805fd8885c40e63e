// Reading the cloud's answers into verdicts.
#pragma once

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
