#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <map>
#include <vector>

#include "plugin/plugin.h"

namespace {

// A save writes "<cache>.tmp.XXXXXX" first; mkostemp fills in the X's.
const std::string TEMP_INFIX = ".tmp.";
const std::string TEMP_RANDOM = "XXXXXX";

std::string Folder(const std::string &path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

ozException FileError(const std::string &tag, const std::string &path, int error)
{
    return ozException("%s: %s: %s", tag.c_str(), path.c_str(), strerror(error));
}

// Temporary files of a save that was cut short (crash, power loss).
void RemoveStaleTemporaries(const std::string &path)
{
    std::string folder = Folder(path);
    std::string prefix = BaseName(path) + TEMP_INFIX;
    DIR *dir = opendir(folder.c_str());
    if (dir == nullptr) return;
    while (struct dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name.size() == prefix.size() + TEMP_RANDOM.size() && name.compare(0, prefix.size(), prefix) == 0)
            unlink((folder + "/" + name).c_str());
    }
    closedir(dir);
}

// False with errno set when the file cannot be read whole.
bool ReadFile(const std::string &path, std::string &text)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buffer[65536];
    for (;;) {
        ssize_t got = read(fd, buffer, sizeof(buffer));
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            int error = errno;
            close(fd);
            errno = error;
            return false;
        }
        if (got == 0) break;
        text.append(buffer, static_cast<size_t>(got));
    }
    close(fd);
    return true;
}

bool WriteAll(int fd, const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        ssize_t wrote = write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote < 0) return false;
        done += static_cast<size_t>(wrote);
    }
    return true;
}

// The rename is only durable once the folder's entry is on disk too.
// Some file systems cannot sync a folder (EINVAL); nothing more can be done
// there.
void SyncFolder(const std::string &tag, const std::string &path)
{
    int fd = open(Folder(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) throw FileError(tag, path, errno);
    if (fsync(fd) != 0 && errno != EINVAL) {
        int error = errno;
        close(fd);
        throw FileError(tag, path, error);
    }
    close(fd);
}

// A file's text in pieces of about a megabyte: a large cache grows without
// copying, again and again, what it holds so far.
using Pieces = std::vector<std::string>;
constexpr size_t PIECE_SIZE = 1 << 20;

// Replaces the file at `path` with `text` so that a failure at any point
// (full disk, I/O error, crash) leaves the previous file whole. New files are
// readable by their owner only: they describe the devices of the network.
void ReplaceFile(const std::string &tag, const std::string &path, const Pieces &text)
{
    std::string temp = path + TEMP_INFIX + TEMP_RANDOM;
    int fd = mkostemp(&temp[0], O_CLOEXEC);
    if (fd < 0) throw FileError(tag, path, errno);

    int error = 0;
    for (const std::string &piece : text) {
        if (!WriteAll(fd, piece)) {
            error = errno;
            break;
        }
    }
    if (error == 0 && fsync(fd) != 0) error = errno;
    if (close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && rename(temp.c_str(), path.c_str()) != 0) error = errno;
    if (error != 0) {
        unlink(temp.c_str());
        throw FileError(tag, path, error);
    }
    SyncFolder(tag, path);
}

// A cache that could not be read whole is about to be replaced by the next
// save; a copy keeps what could not be read for the operator.
void KeepUnreadable(const std::string &tag, const std::string &path, const std::string &text)
{
    std::string copy = path + ".bad";
    try {
        ReplaceFile(tag, copy, Pieces {text});
        oz_dprintf("%s: %s: unreadable cache kept as: %s\n", tag.c_str(), path.c_str(), copy.c_str());
    } catch (const std::exception &e) {
        oz_dprintf("%s: %s: unreadable cache not kept: %s\n", tag.c_str(), path.c_str(), e.what());
    }
}

// The compact text of the object MAC -> cache form, written one device at a
// time: a JSON value of the whole table costs several times the table's
// memory, and more time to build and free than the text takes to write.
Pieces CacheText(const ozpPlugin::DeviceMap &devices)
{
    // Device texts come from the network: bad UTF-8 must not lose the cache.
    auto dump = [](const json &value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); };

    Pieces text {"{"};
    json value;
    for (const auto &device : devices) {
        std::string &piece = text.back();
        if (&device != &*devices.begin()) piece += ',';
        piece += dump(device.first);
        piece += ':';
        value = nullptr;
        to_json(value, device.second);
        piece += dump(value);
        if (piece.size() >= PIECE_SIZE) text.emplace_back();
    }
    text.back() += '}';
    return text;
}

// Reads the cache text one device value at a time: each member of the
// top-level object (or element of a top-level array) is built as a JSON
// value, turned into a device and dropped, so the file never becomes one
// JSON value of the whole table. Nothing reaches the table here; the caller
// merges the devices once the whole text has parsed, in the order a walk of
// the whole value gives: an object's members by key (the last of equal keys
// wins), an array's elements in order, a lone scalar as itself.
class CacheReader : public nlohmann::json_sax<json>
{
public:
    struct Entry {
        ozpDevice device;
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

    bool null() override { return Value(nullptr); }
    bool boolean(bool value) override { return Value(value); }
    bool number_integer(number_integer_t value) override { return Value(value); }
    bool number_unsigned(number_unsigned_t value) override { return Value(value); }
    bool number_float(number_float_t value, const string_t &) override { return Value(value); }
    bool string(string_t &value) override { return Value(value); }
    bool binary(binary_t &value) override { return Value(json::binary(std::move(value))); }
    bool start_object(std::size_t) override { return Open(json::object()); }
    bool start_array(std::size_t) override { return Open(json::array()); }
    bool end_object() override { return Close(); }
    bool end_array() override { return Close(); }

    bool key(string_t &key) override
    {
        if (open.empty())
            top_key = key;
        else
            slot = &(*open.back())[key];
        return true;
    }

    bool parse_error(std::size_t, const std::string &, const nlohmann::detail::exception &error) override
    {
        // As the whole-value parser does: the library's error to the caller.
        throw error;
    }

private:
    bool Value(json value)
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

    bool Open(json container)
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

    bool Close()
    {
        level--;
        if (level == 0) return true;
        open.pop_back();
        if (open.empty()) Add(std::move(current));
        return true;
    }

    json *Insert(json value)
    {
        json &parent = *open.back();
        if (parent.is_array()) {
            parent.push_back(std::move(value));
            return &parent.back();
        }
        *slot = std::move(value);
        return slot;
    }

    void Add(json value)
    {
        Entry entry;
        try {
            from_json(value, entry.device);
        } catch (...) {
            entry.error = std::current_exception();
        }
        if (level == 1 && top_is_object)
            members[top_key] = std::move(entry);
        else
            elements.push_back(std::move(entry));
    }

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

} // namespace

bool ozpPlugin::IsCacheLoaded(const std::string &path) const
{
    return cache_loaded && cache_loaded_path == path;
}

size_t ozpPlugin::LoadDevices(const std::string &path)
{
    if (path.empty()) {
        oz_dprintf("%s: device cache disabled\n", tag.c_str());
        return 0;
    }

    RemoveStaleTemporaries(path);

    if (!oz_file_exists(path)) {
        cache_loaded = true;
        cache_loaded_path = path;
        return 0;
    }

    std::string text;
    if (!ReadFile(path, text)) throw FileError(tag, path, errno);

    // From here on the file has been read: what it held is in the table or
    // was unusable, so saving over it loses nothing.
    cache_loaded = true;
    cache_loaded_path = path;

    CacheReader reader;
    try {
        json::sax_parse(text, &reader);
    } catch (const json::exception &e) {
        oz_dprintf("%s: %s: JSON exception: %s", tag.c_str(), path.c_str(), e.what());
        KeepUnreadable(tag, path, text);
        return 0;
    } catch (const std::exception &e) {
        throw ozException("%s: %s: %s", tag.c_str(), path.c_str(), e.what());
    }

    // The first value that is no device ends the load.
    bool stopped = false;
    reader.Walk([&](const CacheReader::Entry &entry) {
        if (stopped) return;
        if (entry.error) {
            try {
                std::rethrow_exception(entry.error);
            } catch (const json::exception &e) {
                oz_dprintf(
                    "%s: %s: device deserialization failed: %s\n", tag.c_str(), path.c_str(), e.what());
                KeepUnreadable(tag, path, text);
                stopped = true;
                return;
            }
        }
        if (!IgnoreDeviceMac(entry.device.mac)) AddUpdateDevice(entry.device.mac, entry.device, false);
    });

    oz_dprintf("%s: Loaded %lu devices from: %s\n", tag.c_str(), devices.size(), path.c_str());
    return devices.size();
}

void ozpPlugin::SaveDevices(const std::string &path)
{
    PurgeDevices();

    if (path.empty()) {
        oz_dprintf("%s: device cache disabled\n", tag.c_str());
        last_cache_save = oz_time_monotonic();
        return;
    }
    if (!IsCacheLoaded(path)) {
        oz_dprintf("%s: %s: device cache not loaded yet, not saved\n", tag.c_str(), path.c_str());
        return;
    }

    if (devices.empty()) {
        // An empty table leaves no cache file.
        if (unlink(path.c_str()) != 0 && errno != ENOENT) throw FileError(tag, path, errno);
        last_cache_save = oz_time_monotonic();
        devices_saved_version = devices_version;
        return;
    }

    Pieces text;
    try {
        text = CacheText(devices);
    } catch (const json::exception &e) {
        throw ozException("%s: %s: JSON exception: %s", tag.c_str(), path.c_str(), e.what());
    } catch (const std::exception &e) {
        throw ozException("%s: %s: %s", tag.c_str(), path.c_str(), e.what());
    }

    ReplaceFile(tag, path, text);

    last_cache_save = oz_time_monotonic();
    devices_saved_version = devices_version;
    oz_dprintf("%s: Saved %lu devices to: %s\n", tag.c_str(), devices.size(), path.c_str());
}
