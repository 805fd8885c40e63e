// The device cache text, written and read one device at a time: a JSON value
// of the whole table costs several times the table's memory, and more time to
// build and free than the text takes to write or read. Plain values used on
// the plug-in thread.
#pragma once

#include <array>
#include <cstdint>
#include <exception>
#include <map>
#include <optional>
#include <string>
#include <utility>
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

// Reads the cache text one device at a time, straight from the parser's
// events into the device: the file never becomes one JSON value of the
// whole table, and a well-formed device no JSON value at all. A device
// value with anything unexpected (a key missing, a value of another type,
// no object) is built as a JSON value and read by from_json, so that it
// fails with the very message a whole-value load gives. Nothing reaches a
// table here; the caller merges the devices once the whole text has parsed,
// in the order a walk of the whole value gives: an object's members by key
// (the last of equal keys wins), an array's elements in order, a lone
// scalar as itself. A syntax error throws the library's parse error, as the
// whole-value parser does.
class ozpCacheReader : public nlohmann::json_sax<json>
{
public:
    struct Entry {
        ozpDevice device;
        std::optional<int64_t> last_seen;
        // What from_json threw for this value, if anything.
        std::exception_ptr error;
    };

    // The devices in walk order; `visit` may move them out.
    template <typename Visit> void Walk(Visit visit)
    {
        OrderMembers();
        for (auto &member : members)
            visit(member.second);
        for (auto &element : elements)
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

    // The device keys, in from_json's order, then "last_seen" and a key the
    // device does not know.
    enum Field : uint8_t {
        MAC,
        LABEL,
        DHCP_FINGERPRINT,
        DHCP_VENDOR,
        DHCP_HOSTNAME,
        HTTP_USER_AGENTS,
        JA4_CLIENTS,
        MDNS_SERVICES,
        SSDP_USER_AGENTS,
        IP_LIST,
        CONFIDENCE,
        CACHED,
        OTHER_DEVICE,
        LAST_SEEN,
        UNKNOWN,
    };
    static constexpr size_t DEVICE_KEYS = LAST_SEEN;

private:
    // What the next value is: part of the top level, the value of a device
    // key, an element of a device's list of texts, or part of a value built
    // as JSON.
    enum Mode : uint8_t { TOP, DEVICE, TEXTS, PLAIN };
    // What a device key holds so far.
    enum State : uint8_t { ABSENT, READ, OTHER };

    bool Value(json value);
    bool Open(json container);
    bool Close();
    json *Insert(json value);
    void StartPlain(json container);
    void TextsToPlain();
    void SetOther(json value);
    void FinishDevice();
    void Add(json value);
    void Store(Entry entry);
    void OrderMembers();

    std::vector<std::pair<std::string, Entry>> members;
    std::vector<Entry> elements;

    Mode mode = TOP;
    // Containers open at this moment, the top-level one included.
    size_t level = 0;
    bool top_is_object = false;
    std::string top_key;

    // The device being read: its key of the moment, what each key holds,
    // the values of the keys that hold something unexpected.
    Entry entry;
    Field field = UNKNOWN;
    std::array<State, DEVICE_KEYS> states {};
    std::array<json, DEVICE_KEYS> others;
    std::vector<std::string> texts;

    // A value built as JSON and its open containers; `slot` is where the
    // next value of an open object goes. Built for the top level when
    // `mode_after` is TOP, else for the device key `field`.
    json current;
    std::vector<json *> open;
    json *slot = nullptr;
    Mode mode_after = TOP;
};
