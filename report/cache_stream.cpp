#include "report/cache_stream.h"

#include <utility>

namespace {

constexpr size_t PIECE_SIZE = 1 << 20;

} // namespace

ozpCachePieces ozpCacheText(
    const std::map<std::string, ozpDevice> &devices, int64_t wall_now, int64_t monotonic_now)
{
    // Device texts come from the network: bad UTF-8 must not lose the cache.
    auto dump = [](const json &value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); };

    ozpCachePieces text {"{"};
    json value;
    for (const auto &device : devices) {
        std::string &piece = text.back();
        if (&device != &*devices.begin()) piece += ',';
        piece += dump(device.first);
        piece += ':';
        value = nullptr;
        ToCacheFile(value, device.second, wall_now, monotonic_now);
        piece += dump(value);
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
    return Value(value);
}
bool ozpCacheReader::number_integer(number_integer_t value)
{
    return Value(value);
}
bool ozpCacheReader::number_unsigned(number_unsigned_t value)
{
    return Value(value);
}
bool ozpCacheReader::number_float(number_float_t value, const string_t &)
{
    return Value(value);
}
bool ozpCacheReader::string(string_t &value)
{
    return Value(value);
}
bool ozpCacheReader::binary(binary_t &value)
{
    return Value(json::binary(std::move(value)));
}
bool ozpCacheReader::start_object(std::size_t)
{
    return Open(json::object());
}
bool ozpCacheReader::start_array(std::size_t)
{
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
    if (open.empty())
        top_key = key;
    else
        slot = &(*open.back())[key];
    return true;
}

bool ozpCacheReader::parse_error(std::size_t, const std::string &, const nlohmann::detail::exception &error)
{
    // As the whole-value parser does: the library's error to the caller.
    throw error;
}

bool ozpCacheReader::Value(json value)
{
    if (level == 0) {
        // A lone scalar is walked as itself; null holds nothing.
        if (!value.is_null()) Add(std::move(value));
    } else if (level == 1)
        Add(std::move(value));
    else
        Insert(std::move(value));
    return true;
}

bool ozpCacheReader::Open(json container)
{
    if (level == 1) {
        current = std::move(container);
        open.push_back(&current);
    } else if (level > 1)
        open.push_back(Insert(std::move(container)));
    else
        top_is_object = container.is_object();
    level++;
    return true;
}

bool ozpCacheReader::Close()
{
    level--;
    if (level == 0) return true;
    open.pop_back();
    if (open.empty()) Add(std::move(current));
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

void ozpCacheReader::Add(json value)
{
    Entry entry;
    try {
        from_json(value, entry.device);
        entry.last_seen = CacheLastSeen(value);
    } catch (...) {
        entry.error = std::current_exception();
    }
    if (level == 1 && top_is_object)
        members[top_key] = std::move(entry);
    else
        elements.push_back(std::move(entry));
}
