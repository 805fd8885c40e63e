#include "classifier/mac_registry.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <unordered_map>

#include "classifier/input_file.h"

namespace ostrel_classifier {

namespace {

// By index into MacRegistry's blocks: longest prefix first.
constexpr unsigned PREFIX_BITS[3] = {36, 28, 24};
constexpr size_t HEX_DIGITS[3] = {9, 7, 6};
constexpr const char *REGISTRY_NAMES[3] = {"MA-S", "MA-M", "MA-L"};
constexpr const char *FILES[] = {"oui.csv", "mam.csv", "oui36.csv"};

int HexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool ParseHex(std::string_view text, uint64_t &out)
{
    uint64_t value = 0;
    for (char c : text) {
        int digit = HexValue(c);
        if (digit < 0) return false;
        value = value << 4 | static_cast<uint64_t>(digit);
    }
    out = value;
    return true;
}

std::string_view Trim(std::string_view text)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    return text;
}

// Length of the valid UTF-8 sequence at the start of `text`, 0 when none.
size_t Utf8Length(std::string_view text)
{
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return 1;
    size_t length = lead >= 0xc2 && lead <= 0xdf ? 2
        : lead >= 0xe0 && lead <= 0xef           ? 3
        : lead >= 0xf0 && lead <= 0xf4           ? 4
                                                 : 0;
    if (length == 0 || text.size() < length) return 0;
    for (size_t i = 1; i < length; i++) {
        if ((byte(i) & 0xc0) != 0x80) return 0;
    }
    // Overlong forms, surrogates and code points past U+10FFFF.
    if ((lead == 0xe0 && byte(1) < 0xa0) || (lead == 0xed && byte(1) > 0x9f)
        || (lead == 0xf0 && byte(1) < 0x90) || (lead == 0xf4 && byte(1) > 0x8f))
        return 0;
    return length;
}

// Names go into JSON answers: control characters become spaces and bytes
// that are not UTF-8 become '?', so that every answer can be sent.
std::string CleanName(std::string_view text)
{
    std::string clean;
    clean.reserve(text.size());
    while (!text.empty()) {
        size_t length = Utf8Length(text);
        if (length == 0) {
            clean += '?';
            length = 1;
        } else if (length == 1 && (static_cast<unsigned char>(text[0]) < 0x20 || text[0] == 0x7f)) {
            clean += ' ';
        } else {
            clean.append(text.data(), length);
        }
        text.remove_prefix(length);
    }
    return clean;
}

// Reads one CSV record from `text` at `pos`: fields separated by commas,
// quoted fields may hold commas, line breaks and doubled quotes. Keeps the
// first fields.size() fields and says in `count` how many there were. False
// when the record is malformed; `pos` then points past it all the same.
// `lines` counts the line breaks read.
bool ReadRecord(
    std::string_view text, size_t &pos, std::vector<std::string> &fields, size_t &count, size_t &lines)
{
    count = 0;
    bool good = true;
    for (;;) {
        std::string *field = count < fields.size() ? &fields[count] : nullptr;
        if (field) field->clear();
        count++;
        const bool quoted = pos < text.size() && text[pos] == '"';
        if (quoted) {
            pos++;
            for (;;) {
                // Spans between quotes are taken whole: the files are large.
                const size_t quote = text.find('"', pos);
                if (quote == std::string_view::npos) {
                    pos = text.size(); // no closing quote: the rest is this record
                    return false;
                }
                const std::string_view span = text.substr(pos, quote - pos);
                lines += static_cast<size_t>(std::count(span.begin(), span.end(), '\n'));
                if (field) field->append(span);
                pos = quote + 1;
                if (pos >= text.size() || text[pos] != '"') break;
                if (field) *field += '"';
                pos++;
            }
        }
        size_t end = pos;
        while (end < text.size() && text[end] != ',' && text[end] != '\n')
            end++;
        const std::string_view rest = text.substr(pos, end - pos);
        pos = end;
        if (!quoted && field) field->append(rest);
        // After a closing quote only blanks may come before the comma.
        if (quoted && rest.find_first_not_of(" \t\r") != std::string_view::npos) good = false;
        if (pos >= text.size()) return good;
        if (text[pos++] == '\n') {
            lines++;
            return good;
        }
    }
}

} // namespace

bool ParseMac(std::string_view text, uint64_t &mac)
{
    // Twelve digits, bare or in six pairs joined by one kind of separator.
    const bool joined = text.size() == 17;
    if (!joined && text.size() != 12) return false;
    const char separator = joined ? text[2] : 0;
    if (joined && separator != ':' && separator != '-') return false;
    uint64_t value = 0;
    for (size_t i = 0; i < text.size(); i++) {
        if (joined && i % 3 == 2) {
            if (text[i] != separator) return false;
            continue;
        }
        int digit = HexValue(text[i]);
        if (digit < 0) return false;
        value = value << 4 | static_cast<uint64_t>(digit);
    }
    mac = value;
    return true;
}

MacRegistry MacRegistry::Load(const std::string &dir, RegistryProblems &problems)
{
    MacRegistry registry;
    for (const char *file : FILES) {
        const std::string path = dir + "/" + file;
        std::string text;
        std::string why;
        if (ReadInputFile(path, text, why)) {
            registry.AddCsv(text, path, problems);
        } else {
            problems.unreadable.push_back(path + ": " + why);
        }
    }
    registry.Finish();
    return registry;
}

void MacRegistry::AddCsv(std::string_view text, const std::string &where, RegistryProblems &problems)
{
    std::vector<std::string> fields(3);
    std::unordered_map<std::string, uint32_t> known_names;
    size_t pos = 0;
    size_t line = 1;
    while (pos < text.size()) {
        const size_t record_line = line;
        size_t count = 0;
        bool good = ReadRecord(text, pos, fields, count, line);
        if (good && count == 1 && Trim(fields[0]).empty()) continue; // a blank line
        if (good && count >= 3 && fields[0] == "Registry") continue; // the header
        unsigned kind = 3;
        for (unsigned k = 0; k < 3; k++) {
            if (good && count >= 3 && fields[0] == REGISTRY_NAMES[k]) kind = k;
        }
        uint64_t prefix = 0;
        const std::string_view name = kind < 3 ? Trim(fields[2]) : std::string_view();
        if (kind == 3 || fields[1].size() != HEX_DIGITS[kind] || !ParseHex(fields[1], prefix)
            || name.empty()) {
            if (problems.bad_records++ == 0)
                problems.first_bad = where + " line " + std::to_string(record_line);
            continue;
        }
        // Private blocks and the registry's own blocks (which it hands out in
        // smaller pieces) name no maker: kept so that they end the search.
        if (name == "Private" || name == "IEEE Registration Authority") {
            blocks[kind].push_back(Block {prefix, 0, 0});
            continue;
        }
        const std::string clean = CleanName(name);
        auto found = known_names.find(clean);
        if (found == known_names.end()) {
            found = known_names.emplace(clean, static_cast<uint32_t>(names.size())).first;
            names += clean;
        }
        blocks[kind].push_back(Block {prefix, found->second, static_cast<uint32_t>(clean.size())});
    }
}

void MacRegistry::Finish()
{
    for (std::vector<Block> &list : blocks) {
        // The first record of a prefix counts; later ones are repeats.
        std::stable_sort(list.begin(), list.end());
        list.erase(std::unique(list.begin(), list.end(),
                       [](const Block &a, const Block &b) { return a.prefix == b.prefix; }),
            list.end());
        list.shrink_to_fit();
    }
    names.shrink_to_fit();
}

std::string_view MacRegistry::Vendor(uint64_t mac) const
{
    if (LocallyAdministered(mac)) return {};
    for (unsigned k = 0; k < 3; k++) {
        const Block key {mac >> (48 - PREFIX_BITS[k]), 0, 0};
        auto found = std::lower_bound(blocks[k].begin(), blocks[k].end(), key);
        if (found != blocks[k].end() && found->prefix == key.prefix)
            return std::string_view(names).substr(found->name_offset, found->name_length);
    }
    return {};
}

std::string_view MacRegistry::Vendor(std::string_view mac) const
{
    uint64_t value = 0;
    return ParseMac(mac, value) ? Vendor(value) : std::string_view();
}

MacRegistry LoadRegistry(const std::string &dir, std::vector<std::string> &messages)
{
    if (dir == "none") return MacRegistry();
    struct stat info {
    };
    if (stat(dir.c_str(), &info) != 0) {
        messages.push_back(
            "MAC registry " + dir + ": " + strerror(errno) + "; answers name no vendors from it");
        return MacRegistry();
    }
    if (!S_ISDIR(info.st_mode)) {
        messages.push_back("MAC registry " + dir + ": not a directory; answers name no vendors from it");
        return MacRegistry();
    }
    RegistryProblems problems;
    MacRegistry registry = MacRegistry::Load(dir, problems);
    for (const std::string &file : problems.unreadable)
        messages.push_back("MAC registry " + file + "; answers name no vendors from it");
    if (problems.bad_records > 0) {
        messages.push_back("MAC registry " + dir + ": skipped " + std::to_string(problems.bad_records)
            + (problems.bad_records == 1 ? " record" : " records") + " it could not read (the first at "
            + problems.first_bad + ")");
    }
    return registry;
}

} // namespace ostrel_classifier
