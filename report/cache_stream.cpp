#include "report/cache_stream.h"

#include "report/json_text.h"

#include <algorithm>
#include <iterator>
#include <utility>

namespace {

constexpr size_t PIECE_SIZE = 1 << 20;

// The device keys by ozpCacheReader::Field.
const char *const FIELD_NAMES[] = {"mac", "label", "dhcp_fingerprint", "dhcp_vendor", "dhcp_hostname",
    "http_user_agents", "ja4_clients", "mdns_services", "ssdp_user_agents", "ip_list", "confidence", "cached",
    "other_device", OZP_CACHE_LAST_SEEN};

void AppendString(std::string &out, const std::string &text)
{
    ozpAppendJsonString(out, text, false);
}

template <typename Texts> void AppendTexts(std::string &out, const Texts &texts)
{
    out += '[';
    for (auto text = texts.begin(); text != texts.end(); ++text) {
        if (text != texts.begin()) out += ',';
        AppendString(out, *text);
    }
    out += ']';
}

void AppendBool(std::string &out, bool value)
{
    out += value ? "true" : "false";
}

// The cache form of `device`, keys in the order a JSON object keeps them.
void AppendDevice(std::string &out, const ozpDevice &device, int64_t last_seen)
{
    out += "{\"cached\":";
    AppendBool(out, device.cached);
    out += ",\"confidence\":";
    out += std::to_string(device.confidence);
    out += ",\"dhcp_fingerprint\":";
    AppendString(out, device.dhcp_fingerprint);
    out += ",\"dhcp_hostname\":";
    AppendString(out, device.dhcp_hostname);
    out += ",\"dhcp_vendor\":";
    AppendString(out, device.dhcp_vendor);
    out += ",\"http_user_agents\":";
    AppendTexts(out, device.http_user_agents);
    out += ",\"ip_list\":";
    AppendTexts(out, device.ip_list);
    out += ",\"ja4_clients\":";
    AppendTexts(out, device.ja4_clients);
    out += ",\"label\":";
    AppendString(out, device.label);
    out += ",\"last_seen\":";
    out += std::to_string(last_seen);
    out += ",\"mac\":";
    AppendString(out, device.mac);
    out += ",\"mdns_services\":";
    AppendTexts(out, device.mdns_services);
    out += ",\"other_device\":";
    AppendBool(out, device.other_device);
    out += ",\"ssdp_user_agents\":";
    AppendTexts(out, device.ssdp_user_agents);
    out += '}';
}

ozpCacheReader::Field FieldOf(const std::string &key)
{
    for (size_t field = 0; field < ozpCacheReader::UNKNOWN; field++) {
        if (key == FIELD_NAMES[field]) return static_cast<ozpCacheReader::Field>(field);
    }
    return ozpCacheReader::UNKNOWN;
}

bool IsText(ozpCacheReader::Field field)
{
    return field <= ozpCacheReader::DHCP_HOSTNAME;
}

bool IsTexts(ozpCacheReader::Field field)
{
    return field >= ozpCacheReader::HTTP_USER_AGENTS && field <= ozpCacheReader::IP_LIST;
}

std::string &Text(ozpDevice &device, ozpCacheReader::Field field)
{
    std::string *texts[]
        = {&device.mac, &device.label, &device.dhcp_fingerprint, &device.dhcp_vendor, &device.dhcp_hostname};
    return *texts[field];
}

std::vector<std::string> &Texts(ozpDevice &device, ozpCacheReader::Field field)
{
    std::vector<std::string> *texts[] = {&device.http_user_agents.values, &device.ja4_clients.values,
        &device.mdns_services.values, &device.ssdp_user_agents.values, &device.ip_list.addresses};
    return *texts[field - ozpCacheReader::HTTP_USER_AGENTS];
}

// The value of a key read straight into `device`, for the JSON value of a
// device that failed.
json ReadValue(ozpDevice &device, ozpCacheReader::Field field)
{
    if (IsText(field)) return Text(device, field);
    if (IsTexts(field)) return Texts(device, field);
    if (field == ozpCacheReader::CONFIDENCE) return device.confidence;
    return field == ozpCacheReader::CACHED ? device.cached : device.other_device;
}

} // namespace

ozpCachePieces ozpCacheText(
    const std::map<std::string, ozpDevice> &devices, int64_t wall_now, int64_t monotonic_now)
{
    ozpCachePieces text {"{"};
    for (const auto &device : devices) {
        std::string &piece = text.back();
        if (&device != &*devices.begin()) piece += ',';
        AppendString(piece, device.first);
        piece += ':';
        AppendDevice(piece, device.second, wall_now - (monotonic_now - device.second.last_update));
        if (piece.size() >= PIECE_SIZE) text.emplace_back();
    }
    text.back() += '}';
    return text;
}

bool ozpCacheReader::null()
{
    return Value(nullptr);
}

bool ozpCacheReader::boolean(bool value)
{
    if (mode == DEVICE && (field == CACHED || field == OTHER_DEVICE)) {
        (field == CACHED ? entry.device.cached : entry.device.other_device) = value;
        states[field] = READ;
        return true;
    }
    return Value(value);
}

bool ozpCacheReader::number_integer(number_integer_t value)
{
    if (mode == DEVICE && field == LAST_SEEN) {
        entry.last_seen = value;
        return true;
    }
    return Value(value);
}

bool ozpCacheReader::number_unsigned(number_unsigned_t value)
{
    if (mode == DEVICE && field == CONFIDENCE && value <= UINT32_MAX) {
        entry.device.confidence = static_cast<uint32_t>(value);
        states[field] = READ;
        return true;
    }
    if (mode == DEVICE && field == LAST_SEEN) {
        entry.last_seen = std::nullopt;
        if (value <= static_cast<uint64_t>(INT64_MAX)) entry.last_seen = static_cast<int64_t>(value);
        return true;
    }
    return Value(value);
}

bool ozpCacheReader::number_float(number_float_t value, const string_t &)
{
    return Value(value);
}

bool ozpCacheReader::string(string_t &value)
{
    // Copies, not the parser's buffer: a stored text takes just its size.
    if (mode == TEXTS) {
        texts.emplace_back(value);
        return true;
    }
    if (mode == DEVICE && IsText(field)) {
        Text(entry.device, field) = std::string(value);
        states[field] = READ;
        return true;
    }
    return Value(value);
}

bool ozpCacheReader::binary(binary_t &value)
{
    return Value(json::binary(std::move(value)));
}

bool ozpCacheReader::start_object(std::size_t)
{
    if (mode == TOP && level == 1) {
        entry = Entry();
        states.fill(ABSENT);
        field = UNKNOWN;
        mode = DEVICE;
        level++;
        return true;
    }
    return Open(json::object());
}

bool ozpCacheReader::start_array(std::size_t)
{
    if (mode == DEVICE && IsTexts(field)) {
        texts.clear();
        mode = TEXTS;
        level++;
        return true;
    }
    return Open(json::array());
}

bool ozpCacheReader::end_object()
{
    return Close();
}

bool ozpCacheReader::end_array()
{
    return Close();
}

bool ozpCacheReader::key(string_t &key)
{
    if (mode == DEVICE)
        field = FieldOf(key);
    else if (mode == PLAIN)
        slot = &(*open.back())[key];
    else
        top_key = key;
    return true;
}

bool ozpCacheReader::parse_error(std::size_t, const std::string &, const nlohmann::detail::exception &error)
{
    // As the whole-value parser does: the library's error to the caller.
    throw error;
}

bool ozpCacheReader::Value(json value)
{
    switch (mode) {
    case PLAIN:
        Insert(std::move(value));
        break;
    case TEXTS:
        TextsToPlain();
        Insert(std::move(value));
        break;
    case DEVICE:
        SetOther(std::move(value));
        break;
    case TOP:
        // A lone scalar is walked as itself; null holds nothing.
        if (level != 0 || !value.is_null()) Add(std::move(value));
        break;
    }
    return true;
}

bool ozpCacheReader::Open(json container)
{
    switch (mode) {
    case PLAIN:
        open.push_back(Insert(std::move(container)));
        break;
    case TEXTS:
        TextsToPlain();
        open.push_back(Insert(std::move(container)));
        break;
    case DEVICE:
        mode_after = DEVICE;
        StartPlain(std::move(container));
        break;
    case TOP:
        if (level == 0) {
            top_is_object = container.is_object();
        } else {
            mode_after = TOP;
            StartPlain(std::move(container));
        }
        break;
    }
    level++;
    return true;
}

bool ozpCacheReader::Close()
{
    level--;
    switch (mode) {
    case PLAIN:
        open.pop_back();
        if (!open.empty()) break;
        mode = mode_after;
        if (mode == TOP)
            Add(std::move(current));
        else
            SetOther(std::move(current));
        break;
    case TEXTS: {
        // Assigned element by element: the stored list takes just its size.
        std::vector<std::string> &stored = Texts(entry.device, field);
        stored.assign(std::make_move_iterator(texts.begin()), std::make_move_iterator(texts.end()));
        texts.clear();
        states[field] = READ;
        mode = DEVICE;
        break;
    }
    case DEVICE:
        FinishDevice();
        mode = TOP;
        break;
    case TOP:
        break;
    }
    return true;
}

json *ozpCacheReader::Insert(json value)
{
    json &parent = *open.back();
    if (parent.is_array()) {
        parent.push_back(std::move(value));
        return &parent.back();
    }
    *slot = std::move(value);
    return slot;
}

void ozpCacheReader::StartPlain(json container)
{
    current = std::move(container);
    open.assign(1, &current);
    mode = PLAIN;
}

void ozpCacheReader::TextsToPlain()
{
    // The list holds something other than texts: from here on it is built
    // as JSON, the texts so far its first elements.
    mode_after = DEVICE;
    StartPlain(json(texts));
    texts.clear();
}

void ozpCacheReader::SetOther(json value)
{
    if (field < DEVICE_KEYS) {
        states[field] = OTHER;
        others[field] = std::move(value);
    } else if (field == LAST_SEEN) {
        // Not a whole number of seconds: as if absent.
        entry.last_seen = std::nullopt;
    }
}

void ozpCacheReader::FinishDevice()
{
    bool whole = std::all_of(states.begin(), states.end(), [](State state) { return state == READ; });
    if (whole) {
        std::vector<std::string> &addresses = entry.device.ip_list.addresses;
        // Files written before unspecified addresses were kept out may hold one.
        addresses.erase(
            std::remove_if(addresses.begin(), addresses.end(), IsUnspecifiedAddress), addresses.end());
    } else {
        // Rare: the device as one JSON value, read as a whole-value load
        // reads it, for its very error.
        json value = json::object();
        for (size_t index = 0; index < DEVICE_KEYS; index++) {
            auto key = static_cast<Field>(index);
            if (states[index] == READ)
                value[FIELD_NAMES[index]] = ReadValue(entry.device, key);
            else if (states[index] == OTHER)
                value[FIELD_NAMES[index]] = std::move(others[index]);
            others[index] = nullptr;
        }
        try {
            from_json(value, entry.device);
        } catch (...) {
            entry.error = std::current_exception();
        }
    }
    Store(std::move(entry));
}

void ozpCacheReader::Add(json value)
{
    Entry added;
    try {
        from_json(value, added.device);
        added.last_seen = CacheLastSeen(value);
    } catch (...) {
        added.error = std::current_exception();
    }
    Store(std::move(added));
}

void ozpCacheReader::Store(Entry stored)
{
    if (level == 1 && top_is_object)
        members.emplace_back(top_key, std::move(stored));
    else
        elements.push_back(std::move(stored));
}

void ozpCacheReader::OrderMembers()
{
    auto before = [](const auto &a, const auto &b) { return a.first < b.first; };
    // A saved file has its keys in order already.
    if (std::adjacent_find(
            members.begin(), members.end(), [](const auto &a, const auto &b) { return !(a.first < b.first); })
        == members.end())
        return;
    std::stable_sort(members.begin(), members.end(), before);
    // The last of equal keys wins.
    std::vector<std::pair<std::string, Entry>> kept;
    for (size_t index = 0; index < members.size(); index++) {
        if (index + 1 == members.size() || members[index + 1].first != members[index].first)
            kept.push_back(std::move(members[index]));
    }
    members = std::move(kept);
}
