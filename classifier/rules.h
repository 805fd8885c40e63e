// The classifier's rule files: device kinds, each with the rules that are
// signs of it, read from JSON (the language is in docs/HOST.md, "Rule file").
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace ostrel_classifier {

using json = nlohmann::json;

struct Rule {
    // ALL: every text of `all` is one of the field's values.
    enum class Op { EQUALS, PREFIX, SUFFIX, CONTAINS, ALL };

    std::string field; // "dhcp_vendor", "mdns_services", "user_agents", "mac_vendor", ...
    Op op = Op::EQUALS;
    std::string text; // lower case; matching ignores ASCII letter case
    std::vector<std::string> all; // lower case, for ALL
    unsigned score = 0; // the score this sign alone gives
    std::string id; // "" when none
    // An earlier rule of the same kind that must count for this one to count;
    // -1 when none.
    int with = -1;
};

struct Kind {
    std::string label;
    std::string type; // the class (docs/CLASSIFIER.md); kinds of one type pool their signs
    std::string vendor;
    // Names its class only ("TV or media player"): its label is given only
    // when no kind of the class that names a product has a sign.
    bool generic = false;
    std::vector<Rule> rules;
};

// Parses a rule file's text. Throws std::runtime_error "FIELD: why" (the
// caller adds the file name). `includes` gets the files its "include" names,
// as written.
std::vector<Kind> ParseRules(const std::string &text, std::vector<std::string> *includes = nullptr);
// Reads the file and the files it includes (paths relative to its folder;
// an included file's own includes are refused), their kinds after its own.
std::vector<Kind> LoadRules(const std::string &path);

// ASCII letters in lower case: rule texts are kept so, and values compared so.
std::string LowerAscii(std::string text);

} // namespace ostrel_classifier
