#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <filesystem>
#include <map>
#include <optional>
#include <system_error>
#include <vector>

#include "config/regular_file.h"
#include "plugin/plugin.h"

namespace {

// A save writes "<cache>.tmp.XXXXXX" first; mkostemp fills in the X's.
const std::string TEMP_INFIX = ".tmp.";
const std::string TEMP_RANDOM = "XXXXXX";
// The text of an unreadable cache is kept in <cache>.bad, or in the first
// free one of <cache>.bad.1, <cache>.bad.2, ... when that exists.
const std::string KEPT_SUFFIX = ".bad";
constexpr unsigned MAX_KEPT_COPIES = 10000;
// Links followed to the cache file, as many as the kernel follows.
constexpr int MAX_LINKS = 40;

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

// The file that a cache path names, symbolic links followed: a save then
// replaces the file a link points to and keeps the link. The file need not
// exist.
std::string CacheFile(const std::string &tag, const std::string &path)
{
    std::string file = path;
    for (int links = 0;; links++) {
        struct stat st;
        if (lstat(file.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return file;
        if (links == MAX_LINKS) throw FileError(tag, path, ELOOP);
        std::error_code error;
        std::filesystem::path target = std::filesystem::read_symlink(file, error);
        if (error) throw FileError(tag, path, error.value());
        if (target.is_relative()) target = std::filesystem::path(Folder(file)) / target;
        file = target.string();
    }
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

// A new name is only durable once the folder's entry is on disk too. Some
// file systems cannot sync a folder (EINVAL); nothing more can be done
// there. The error number, or 0.
int SyncFolder(const std::string &file)
{
    int fd = open(Folder(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    int error = fsync(fd) != 0 && errno != EINVAL ? errno : 0;
    close(fd);
    return error;
}

// A file's text in pieces of about a megabyte: a large cache grows without
// copying, again and again, what it holds so far.
using Pieces = std::vector<std::string>;
constexpr size_t PIECE_SIZE = 1 << 20;

// Replaces `file` with `text` so that a failure at any point (full disk, I/O
// error, crash) leaves the previous file whole. New files are readable by
// their owner only: they describe the devices of the network. Errors name
// the configured `path`.
void ReplaceFile(const std::string &tag, const std::string &path, const std::string &file, const Pieces &text)
{
    std::string temp = file + TEMP_INFIX + TEMP_RANDOM;
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
    if (error == 0 && rename(temp.c_str(), file.c_str()) != 0) error = errno;
    if (error != 0) {
        unlink(temp.c_str());
        throw FileError(tag, path, error);
    }
    error = SyncFolder(file);
    if (error != 0) throw FileError(tag, path, error);
}

// Keeps `text` in the first free copy name of `file`: a copy kept earlier
// is never overwritten. False with errno set when no whole copy was made.
bool KeepCopy(const std::string &file, const std::string &text, std::string &copy)
{
    for (unsigned n = 0; n < MAX_KEPT_COPIES; n++) {
        copy = file + KEPT_SUFFIX + (n == 0 ? "" : "." + std::to_string(n));
        int fd = open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) return false;
        int error = WriteAll(fd, text) && fsync(fd) == 0 ? 0 : errno;
        if (close(fd) != 0 && error == 0) error = errno;
        if (error == 0) error = SyncFolder(copy);
        if (error != 0) {
            unlink(copy.c_str());
            errno = error;
            return false;
        }
        return true;
    }
    errno = EEXIST;
    return false;
}

// A cache that could not be read whole is about to be replaced by the next
// save, so its text is kept aside first; losing what it held from the table
// is always said. False when no copy could be kept: then the file must not
// be saved over, or what could not be read would be lost.
bool KeepUnreadable(const std::string &tag, const std::string &path, const std::string &file,
    const std::string &text, size_t loaded, const char *reason)
{
    std::string copy;
    if (KeepCopy(file, text, copy)) {
        oz_printf("%s: %s: unreadable cache kept as: %s; %lu device(s) loaded from it (%s)\n", tag.c_str(),
            path.c_str(), copy.c_str(), static_cast<unsigned long>(loaded), reason);
        return true;
    }
    int error = errno;
    oz_printf("%s: %s: unreadable cache not kept: %s; %lu device(s) loaded from it, the file is not saved "
              "over (%s)\n",
        tag.c_str(), path.c_str(), strerror(error), static_cast<unsigned long>(loaded), reason);
    return false;
}

// Seconds since the wall-clock time `last_seen`; a time ahead of the clock
// counts as now.
uint64_t Age(int64_t last_seen, int64_t wall_now)
{
    if (last_seen >= wall_now) return 0;
    return static_cast<uint64_t>(wall_now) - static_cast<uint64_t>(last_seen);
}

// The monotonic time `age` seconds ago. Never before 1: the host's clock
// starts near 0 at boot, and it takes 0 for "never seen" (long expired).
int64_t MonotonicAgo(uint64_t age, int64_t monotonic_now)
{
    if (monotonic_now <= 1 || age >= static_cast<uint64_t>(monotonic_now - 1)) return 1;
    return monotonic_now - static_cast<int64_t>(age);
}

// The compact text of the object MAC -> cache form, written one device at a
// time: a JSON value of the whole table costs several times the table's
// memory, and more time to build and free than the text takes to write.
Pieces CacheText(const ozpPlugin::DeviceMap &devices, int64_t wall_now, int64_t monotonic_now)
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
        ToCacheFile(value, device.second, wall_now, monotonic_now);
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
            entry.last_seen = CacheLastSeen(value);
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

// Whether this instance may use the cache at `file`. Another live instance
// holding it is an error said always; `repeats` when the line can come with
// every update tick. The cache must then be read again before a save.
bool HoldCache(
    ozpPlugin &plugin, const std::string &tag, const std::string &path, const std::string &file, bool repeats)
{
    std::string holder;
    if (plugin.cache_claim.Hold(tag, file, holder)) return true;
    plugin.cache_loaded = false;
    if (repeats)
        plugin.cache_log.Printf(tag.c_str(),
            "%s: %s: device cache in use by %s, not loaded or saved until a reload names a free path\n",
            tag.c_str(), path.c_str(), holder.c_str());
    else
        oz_printf("%s: %s: device cache in use by %s, not loaded or saved until a reload names a free path\n",
            tag.c_str(), path.c_str(), holder.c_str());
    return false;
}

} // namespace

bool ozpPlugin::IsCacheLoaded(const std::string &path) const
{
    return cache_loaded && cache_loaded_path == path;
}

size_t ozpPlugin::LoadDevices(const std::string &path)
{
    if (path.empty()) {
        cache_claim.Release();
        oz_dprintf("%s: device cache disabled\n", tag.c_str());
        return 0;
    }

    // Until this load has read the file whole (or found none), a save would
    // overwrite devices never loaded.
    cache_loaded = false;
    const std::string file = CacheFile(tag, path);
    if (!HoldCache(*this, tag, path, file, false)) return 0;
    // Saves only ever write beside a regular file.
    struct stat st;
    if (lstat(file.c_str(), &st) != 0 || S_ISREG(st.st_mode)) RemoveStaleTemporaries(file);

    if (!oz_file_exists(path)) {
        cache_loaded = true;
        cache_loaded_path = path;
        return 0;
    }

    std::string text;
    ozpFileRead read = ozpReadRegularFile(file, max_cache_bytes, text);
    if (read.result != ozpFileRead::READ)
        throw ozException("%s: %s: %s", tag.c_str(), path.c_str(), read.Reason().c_str());

    CacheReader reader;
    try {
        json::sax_parse(text, &reader);
    } catch (const json::exception &e) {
        oz_dprintf("%s: %s: JSON exception: %s", tag.c_str(), path.c_str(), e.what());
        if (KeepUnreadable(tag, path, file, text, 0, e.what())) {
            cache_loaded = true;
            cache_loaded_path = path;
        }
        return 0;
    } catch (const std::exception &e) {
        throw ozException("%s: %s: %s", tag.c_str(), path.c_str(), e.what());
    }

    const int64_t wall_now = wall_clock();
    const int64_t monotonic_now = oz_time_monotonic();
    size_t loaded = 0;
    uint64_t expired = 0;
    // The first value that is no device ends the load.
    std::optional<std::string> failure;
    reader.Walk([&](const CacheReader::Entry &entry) {
        if (failure) return;
        if (entry.error) {
            try {
                std::rethrow_exception(entry.error);
            } catch (const json::exception &e) {
                oz_dprintf(
                    "%s: %s: device deserialization failed: %s\n", tag.c_str(), path.c_str(), e.what());
                failure = e.what();
                return;
            }
        }
        const std::string &mac = entry.device.mac;
        // Retired since the cache was saved: it stays retired.
        if (identified.count(mac) != 0 || IgnoreDeviceMac(mac)) return;
        std::optional<uint64_t> age;
        if (entry.last_seen) {
            age = Age(*entry.last_seen, wall_now);
            if (*age >= config.max_device_age) {
                expired++;
                return;
            }
        }
        if (!AddUpdateDevice(mac, entry.device, false)) return;
        loaded++;
        // A new entry counts as just seen; it keeps the age it had.
        auto stored = devices.find(mac);
        if (age && stored != devices.end()) stored->second.last_update = MonotonicAgo(*age, monotonic_now);
    });

    if (expired != 0)
        oz_dprintf("%s: %s: %lu device(s) older than max_device_age not loaded\n", tag.c_str(), path.c_str(),
            static_cast<unsigned long>(expired));
    if (!failure || KeepUnreadable(tag, path, file, text, loaded, failure->c_str())) {
        cache_loaded = true;
        cache_loaded_path = path;
    }

    oz_dprintf("%s: Loaded %lu devices from: %s\n", tag.c_str(), devices.size(), path.c_str());
    return devices.size();
}

void ozpPlugin::SaveDevices(const std::string &path)
{
    PurgeDevices();

    if (path.empty()) {
        cache_claim.Release();
        oz_dprintf("%s: device cache disabled\n", tag.c_str());
        last_cache_save = oz_time_monotonic();
        return;
    }
    const std::string file = CacheFile(tag, path);
    if (!HoldCache(*this, tag, path, file, true)) return;
    if (!IsCacheLoaded(path)) {
        cache_log.Printf(
            tag.c_str(), "%s: %s: device cache not loaded yet, not saved\n", tag.c_str(), path.c_str());
        return;
    }

    // Only a regular file is replaced or removed: a FIFO, a device or a
    // folder standing at the path is not the plug-in's to destroy.
    struct stat st;
    if (lstat(file.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
        throw ozException("%s: %s: not a regular file (%s), not saved over", tag.c_str(), path.c_str(),
            ozpFileKind(st.st_mode));

    if (devices.empty()) {
        // An empty table leaves no cache file.
        if (unlink(file.c_str()) != 0 && errno != ENOENT) throw FileError(tag, path, errno);
        last_cache_save = oz_time_monotonic();
        devices_saved_version = devices_version;
        return;
    }

    Pieces text;
    try {
        text = CacheText(devices, wall_clock(), oz_time_monotonic());
    } catch (const json::exception &e) {
        throw ozException("%s: %s: JSON exception: %s", tag.c_str(), path.c_str(), e.what());
    } catch (const std::exception &e) {
        throw ozException("%s: %s: %s", tag.c_str(), path.c_str(), e.what());
    }

    ReplaceFile(tag, path, file, text);

    last_cache_save = oz_time_monotonic();
    devices_saved_version = devices_version;
    oz_dprintf("%s: Saved %lu devices to: %s\n", tag.c_str(), devices.size(), path.c_str());
}
