#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <optional>
#include <utility>

#include "fileio/regular_file.h"
#include "plugin/plugin.h"
#include "report/cache_stream.h"
#include "fileio/durable_file.h"

namespace {

// Bad entries said one by one in the debug log; the line about the copy
// kept aside counts them all.
constexpr uint64_t MAX_BAD_ENTRY_LINES = 10;

ozException FileError(const std::string &tag, const std::string &path, int error)
{
    return ozException("%s: %s: %s", tag.c_str(), path.c_str(), strerror(error));
}

// The file that a cache path names, symbolic links followed: a save then
// replaces the file a link points to and keeps the link.
std::string CacheFile(const std::string &tag, const std::string &path)
{
    std::string file;
    int error = ozpFollowLinks(path, file);
    if (error != 0) throw FileError(tag, path, error);
    return file;
}

// A cache that could not be read whole is about to be replaced by the next
// save, so its text is kept aside first; losing what it held from the table
// is always said. False when no copy could be kept: then the file must not
// be saved over, or what could not be read would be lost.
bool KeepUnreadable(const std::string &tag, const std::string &path, const std::string &file,
    const std::string &text, size_t loaded, const char *reason)
{
    std::string copy;
    if (ozpKeepCopy(file, text, copy)) {
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

// A state folder that does not exist yet (a fresh install, a state folder
// on tmpfs after a reboot) is made, with the folders above it: otherwise no
// save could ever succeed. Said always; failing that, the error names the
// folder and why.
void MakeCacheFolder(const std::string &tag, const std::string &path, const std::string &file)
{
    const std::string folder = ozpFolderOf(file);
    bool made = false;
    int error = ozpMakeFolders(folder, made);
    if (error != 0)
        throw ozException("%s: %s: cannot create the cache folder %s: %s", tag.c_str(), path.c_str(),
            folder.c_str(), strerror(error));
    if (made)
        oz_printf(
            "%s: %s: created the cache folder %s (mode 0700)\n", tag.c_str(), path.c_str(), folder.c_str());
}

// What a bad cache entry threw; an error of another kind goes on to the
// caller.
std::string EntryError(const std::exception_ptr &error)
{
    try {
        std::rethrow_exception(error);
    } catch (const json::exception &e) {
        return e.what();
    }
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
    if (lstat(file.c_str(), &st) != 0 || S_ISREG(st.st_mode)) ozpRemoveStaleTemporaries(file);

    if (!oz_file_exists(path)) {
        MakeCacheFolder(tag, path, file);
        cache_loaded = true;
        cache_loaded_path = path;
        return 0;
    }

    std::string text;
    ozpFileRead read = ozpReadRegularFile(file, max_cache_bytes, text);
    if (read.result != ozpFileRead::READ)
        throw ozException("%s: %s: %s", tag.c_str(), path.c_str(), read.Reason().c_str());

    ozpCacheReader reader;
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
    // A bad entry is skipped and the ones after it still load; the file's
    // text is kept aside below, so that the bad ones are not lost.
    uint64_t bad = 0;
    std::string first_error;
    // The MAC of the device being moved into the table; its storage is reused.
    std::string mac;
    reader.Walk([&](ozpCacheReader::Entry &entry) {
        if (entry.error) {
            std::string error = EntryError(entry.error);
            if (bad < MAX_BAD_ENTRY_LINES)
                oz_dprintf(
                    "%s: %s: device deserialization failed: %s\n", tag.c_str(), path.c_str(), error.c_str());
            if (bad == 0) first_error = std::move(error);
            bad++;
            return;
        }
        mac.assign(entry.device.mac);
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
        if (!AddUpdateDevice(mac, std::move(entry.device), false)) return;
        loaded++;
        // A new entry counts as just seen; it keeps the age it had.
        auto stored = devices.find(mac);
        if (age && stored != devices.end()) stored->second.last_update = MonotonicAgo(*age, monotonic_now);
    });

    if (expired != 0)
        oz_dprintf("%s: %s: %lu device(s) older than max_device_age not loaded\n", tag.c_str(), path.c_str(),
            static_cast<unsigned long>(expired));
    if (bad > 1) first_error += "; " + std::to_string(bad) + " bad device entries skipped";
    if (bad == 0 || KeepUnreadable(tag, path, file, text, loaded, first_error.c_str())) {
        cache_loaded = true;
        cache_loaded_path = path;
    }

    oz_dprintf("%s: Loaded %lu devices from: %s\n", tag.c_str(), devices.size(), path.c_str());
    return devices.size();
}

void ozpPlugin::SaveDevices(const std::string &path)
{
    bool saved;
    try {
        saved = WriteDevices(path);
    } catch (...) {
        cache_save_failures++;
        throw;
    }
    if (!saved || cache_save_failures == 0) return;
    // The failures were said (a few an hour); that they are over is said too,
    // unless the cache is off now.
    if (!path.empty())
        oz_printf("%s: %s: device cache saved again after %lu failed attempt(s)\n", tag.c_str(), path.c_str(),
            static_cast<unsigned long>(cache_save_failures));
    cache_save_failures = 0;
}

// True when the table went where the path says (or nowhere, with no path);
// false when the save was skipped and said.
bool ozpPlugin::WriteDevices(const std::string &path)
{
    PurgeDevices();

    if (path.empty()) {
        cache_claim.Release();
        oz_dprintf("%s: device cache disabled\n", tag.c_str());
        last_cache_save = oz_time_monotonic();
        return true;
    }
    const std::string file = CacheFile(tag, path);
    if (!HoldCache(*this, tag, path, file, true)) return false;
    if (!IsCacheLoaded(path)) {
        cache_log.Printf(
            tag.c_str(), "%s: %s: device cache not loaded yet, not saved\n", tag.c_str(), path.c_str());
        return false;
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
        device_table.Saved();
        return true;
    }

    ozpCachePieces text;
    try {
        text = ozpCacheText(devices, wall_clock(), oz_time_monotonic());
    } catch (const json::exception &e) {
        throw ozException("%s: %s: JSON exception: %s", tag.c_str(), path.c_str(), e.what());
    } catch (const std::exception &e) {
        throw ozException("%s: %s: %s", tag.c_str(), path.c_str(), e.what());
    }

    MakeCacheFolder(tag, path, file);
    // Errors name the configured path, not the file a link led to.
    int error = ozpReplaceFile(file, text);
    if (error != 0) throw FileError(tag, path, error);

    last_cache_save = oz_time_monotonic();
    device_table.Saved();
    oz_dprintf("%s: Saved %lu devices to: %s\n", tag.c_str(), devices.size(), path.c_str());
    return true;
}
