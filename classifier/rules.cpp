#include "classifier/rules.h"

#include <stdexcept>

#include "classifier/input_file.h"

namespace ostrel_classifier {

namespace {

const char *const FIELDS[]
    = {"mac", "mac_vendor", "dhcp_vendor", "dhcp_fingerprint", "dhcp_hostname", "host_names", "mdns_services",
        "mdns_offers", "http_user_agents", "ssdp_user_agents", "user_agents", "ja4_clients"};

[[noreturn]] void Fail(const std::string &field, const std::string &why)
{
    throw std::runtime_error(field + ": " + why);
}

// Fields that hold several values; the others hold one text.
const char *const LIST_FIELDS[] = {"host_names", "mdns_services", "mdns_offers", "http_user_agents",
    "ssdp_user_agents", "user_agents", "ja4_clients"};

bool IsOp(const std::string &key)
{
    return key == "equals" || key == "prefix" || key == "suffix" || key == "contains" || key == "all";
}

std::vector<std::string> ParseAll(const std::string &field, const json &v)
{
    if (!v.is_array() || v.empty()) Fail(field, "must be a non-empty array of non-empty strings");
    std::vector<std::string> texts;
    for (const json &text : v) {
        if (!text.is_string() || text.get<std::string>().empty())
            Fail(field, "must be a non-empty array of non-empty strings");
        texts.push_back(LowerAscii(text.get<std::string>()));
    }
    return texts;
}

// `with` gets the id the rule's "with" names ("" when none); the kind
// resolves it.
Rule ParseRule(const std::string &at, const json &value, std::string &with)
{
    if (!value.is_object()) Fail(at, "must be an object");
    Rule rule;
    bool has_op = false;
    for (const auto &item : value.items()) {
        const std::string field = at + "." + item.key();
        const json &v = item.value();
        if (item.key() == "field") {
            if (!v.is_string()) Fail(field, "must be a string");
            rule.field = v.get<std::string>();
            bool known = false;
            for (const char *name : FIELDS)
                known = known || rule.field == name;
            if (!known) Fail(field, "unknown field \"" + rule.field + "\"");
        } else if (item.key() == "score") {
            if (!v.is_number_unsigned() || v.get<uint64_t>() < 1 || v.get<uint64_t>() > 100)
                Fail(field, "must be a whole number from 1 to 100");
            rule.score = v.get<unsigned>();
        } else if (IsOp(item.key())) {
            if (has_op) Fail(field, "a rule has exactly one of equals, prefix, suffix, contains or all");
            has_op = true;
            if (item.key() == "all") {
                rule.op = Rule::Op::ALL;
                rule.all = ParseAll(field, v);
                continue;
            }
            if (!v.is_string() || v.get<std::string>().empty()) Fail(field, "must be a non-empty string");
            rule.text = LowerAscii(v.get<std::string>());
            rule.op = item.key() == "equals" ? Rule::Op::EQUALS
                : item.key() == "prefix"     ? Rule::Op::PREFIX
                : item.key() == "suffix"     ? Rule::Op::SUFFIX
                                             : Rule::Op::CONTAINS;
        } else if (item.key() == "id" || item.key() == "with") {
            if (!v.is_string() || v.get<std::string>().empty()) Fail(field, "must be a non-empty string");
            (item.key() == "id" ? rule.id : with) = v.get<std::string>();
        } else if (item.key() != "note") {
            Fail(field, "unknown key");
        }
    }
    if (rule.field.empty()) Fail(at + ".field", "missing");
    if (!has_op) Fail(at, "needs one of equals, prefix, suffix, contains or all");
    if (rule.score == 0) Fail(at + ".score", "missing");
    if (rule.op == Rule::Op::ALL) {
        bool list = false;
        for (const char *name : LIST_FIELDS)
            list = list || rule.field == name;
        if (!list)
            Fail(at + ".all",
                "field \"" + rule.field + "\" holds one value; \"all\" needs one that holds several");
    }
    return rule;
}

void ParseRuleList(const std::string &at, const json &v, std::vector<Rule> &rules)
{
    if (!v.is_array() || v.empty()) Fail(at, "must be a non-empty array of rules");
    for (size_t i = 0; i < v.size(); i++) {
        const std::string rule_at = at + "[" + std::to_string(i) + "]";
        std::string with;
        Rule rule = ParseRule(rule_at, v[i], with);
        for (const Rule &earlier : rules) {
            if (!rule.id.empty() && earlier.id == rule.id)
                Fail(rule_at + ".id", "\"" + rule.id + "\" is taken by an earlier rule");
        }
        if (!with.empty()) {
            // Only earlier rules, so that no rule can wait on itself.
            for (size_t j = 0; j < rules.size() && rule.with < 0; j++) {
                if (rules[j].id == with) rule.with = static_cast<int>(j);
            }
            if (rule.with < 0)
                Fail(rule_at + ".with", "no earlier rule of this kind has id \"" + with + "\"");
        }
        rules.push_back(std::move(rule));
    }
}

Kind ParseKind(const std::string &at, const json &value)
{
    if (!value.is_object()) Fail(at, "must be an object");
    Kind kind;
    for (const auto &item : value.items()) {
        const std::string field = at + "." + item.key();
        const json &v = item.value();
        if (item.key() == "label" || item.key() == "type" || item.key() == "vendor") {
            if (!v.is_string()) Fail(field, "must be a string");
            std::string &target = item.key() == "label" ? kind.label
                : item.key() == "type"                  ? kind.type
                                                        : kind.vendor;
            target = v.get<std::string>();
        } else if (item.key() == "generic") {
            if (!v.is_boolean()) Fail(field, "must be true or false");
            kind.generic = v.get<bool>();
        } else if (item.key() == "rules") {
            ParseRuleList(field, v, kind.rules);
        } else if (item.key() != "note") {
            Fail(field, "unknown key");
        }
    }
    if (kind.label.empty()) Fail(at + ".label", "missing or empty");
    if (kind.rules.empty()) Fail(at + ".rules", "missing");
    return kind;
}

} // namespace

std::string LowerAscii(std::string text)
{
    for (char &c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

std::vector<Kind> ParseRules(const std::string &text, std::vector<std::string> *includes)
{
    json doc;
    try {
        doc = json::parse(text, nullptr, true, true);
    } catch (const json::exception &e) {
        throw std::runtime_error(std::string("not valid JSON: ") + e.what());
    }
    if (!doc.is_object()) Fail("rules file", "must hold one JSON object");
    std::vector<Kind> kinds;
    for (const auto &item : doc.items()) {
        if (item.key() == "kinds") {
            if (!item.value().is_array()) Fail("kinds", "must be an array");
            for (size_t i = 0; i < item.value().size(); i++)
                kinds.push_back(ParseKind("kinds[" + std::to_string(i) + "]", item.value()[i]));
        } else if (item.key() == "include") {
            if (!includes) Fail("include", "only the first rule file may include others");
            if (!item.value().is_array()) Fail("include", "must be an array of file names");
            for (const json &file : item.value()) {
                if (!file.is_string() || file.get<std::string>().empty())
                    Fail("include", "must be an array of file names");
                includes->push_back(file.get<std::string>());
            }
        } else if (item.key() != "note") {
            Fail(item.key(), "unknown key");
        }
    }
    if (kinds.empty()) Fail("kinds", "missing or empty");
    return kinds;
}

namespace {

std::vector<Kind> LoadOne(const std::string &path, std::vector<std::string> *includes)
{
    std::string text, why;
    if (!ReadInputFile(path, text, why)) throw std::runtime_error(path + ": " + why);
    try {
        return ParseRules(text, includes);
    } catch (const std::exception &e) {
        throw std::runtime_error(path + ": " + e.what());
    }
}

} // namespace

std::vector<Kind> LoadRules(const std::string &path)
{
    std::vector<std::string> includes;
    std::vector<Kind> kinds = LoadOne(path, &includes);
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    for (const std::string &file : includes) {
        std::vector<Kind> more = LoadOne(file.front() == '/' ? file : folder + file, nullptr);
        kinds.insert(kinds.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
    }
    return kinds;
}

} // namespace ostrel_classifier
