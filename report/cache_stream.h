// The device cache text, written and read one device at a time: a JSON value
// of the whole table costs several times the table's memory, and more time to
// build and free than the text takes to write or read. Plain values used on
// the plug-in thread.
#pragma once

#include <cstdint>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "device/device.h"

// A cache text in pieces of about a megabyte: a large cache grows without
// copying, again and again, what it holds so far.
using ozpCachePieces = std::vector<std::string>;

// The compact text of the object MAC -> cache form of `devices`, the bytes a
// dump of the whole table as one JSON value gives.
ozpCachePieces ozpCacheText(
    const std::map<std::string, ozpDevice> &devices, int64_t wall_now, int64_t monotonic_now);

// Reads the cache text one device value at a time: each member of the
// top-level object (or element of a top-level array) is built as a JSON
// value, turned into a device and dropped, so the file never becomes one
// JSON value of the whole table. Nothing reaches a table here; the caller
// merges the devices once the whole text has parsed, in the order a walk of
// the whole value gives: an object's members by key (the last of equal keys
// wins), an array's elements in order, a lone scalar as itself. A syntax
// error throws the library's parse error, as the whole-value parser does.
class ozpCacheReader : public nlohmann::json_sax<json>
{
public:
    struct Entry {
        ozpDevice device;
        std::optional<int64_t> last_seen;
        // What from_json threw for this value, if anything.
        std::exception_ptr error;
    };

    // The devices in walk order.
    template <typename Visit> void Walk(Visit visit) const
    {
        for (const auto &member : members)
            visit(member.second);
        for (const auto &element : elements)
            visit(element);
    }

    bool null() override;
    bool boolean(bool value) override;
    bool number_integer(number_integer_t value) override;
    bool number_unsigned(number_unsigned_t value) override;
    bool number_float(number_float_t value, const string_t &) override;
    bool string(string_t &value) override;
    bool binary(binary_t &value) override;
    bool start_object(std::size_t) override;
    bool start_array(std::size_t) override;
    bool end_object() override;
    bool end_array() override;
    bool key(string_t &key) override;
    bool parse_error(std::size_t, const std::string &, const nlohmann::detail::exception &error) override;

private:
    bool Value(json value);
    bool Open(json container);
    bool Close();
    json *Insert(json value);
    void Add(json value);

    std::map<std::string, Entry> members;
    std::vector<Entry> elements;

    // Containers open at this moment, the top-level one included.
    size_t level = 0;
    bool top_is_object = false;
    std::string top_key;
    // The device value being built and its open containers; `slot` is where
    // the next value of an open object goes.
    json current;
    std::vector<json *> open;
    json *slot = nullptr;
};
