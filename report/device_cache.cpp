#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>

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

// Replaces the file at `path` with `text` so that a failure at any point
// (full disk, I/O error, crash) leaves the previous file whole. New files are
// readable by their owner only: they describe the devices of the network.
void ReplaceFile(const std::string &tag, const std::string &path, const std::string &text)
{
    std::string temp = path + TEMP_INFIX + TEMP_RANDOM;
    int fd = mkostemp(&temp[0], O_CLOEXEC);
    if (fd < 0) throw FileError(tag, path, errno);

    int error = 0;
    if (!WriteAll(fd, text) || fsync(fd) != 0) error = errno;
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
        ReplaceFile(tag, copy, text);
        oz_dprintf("%s: %s: unreadable cache kept as: %s\n", tag.c_str(), path.c_str(), copy.c_str());
    } catch (const std::exception &e) {
        oz_dprintf("%s: %s: unreadable cache not kept: %s\n", tag.c_str(), path.c_str(), e.what());
    }
}

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

    json cache;
    try {
        cache = json::parse(text);
    } catch (const json::exception &e) {
        oz_dprintf("%s: %s: JSON exception: %s", tag.c_str(), path.c_str(), e.what());
        KeepUnreadable(tag, path, text);
        return 0;
    } catch (const std::exception &e) {
        throw ozException("%s: %s: %s", tag.c_str(), path.c_str(), e.what());
    }

    // Walks an object's values, an array's elements, nothing for null.
    for (const json &value : cache) {
        ozpDevice device;
        try {
            from_json(value, device);
        } catch (const json::exception &e) {
            oz_dprintf("%s: %s: device deserialization failed: %s\n", tag.c_str(), path.c_str(), e.what());
            KeepUnreadable(tag, path, text);
            break;
        }
        if (!IgnoreDeviceMac(device.mac)) AddUpdateDevice(device.mac, device, false);
    }

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
        return;
    }

    std::string text;
    try {
        json cache = json::object();
        for (const auto &device : devices)
            to_json(cache[device.first], device.second);
        // Device texts come from the network: bad UTF-8 must not lose the cache.
        text = cache.dump(-1, ' ', false, json::error_handler_t::replace);
    } catch (const json::exception &e) {
        throw ozException("%s: %s: JSON exception: %s", tag.c_str(), path.c_str(), e.what());
    } catch (const std::exception &e) {
        throw ozException("%s: %s: %s", tag.c_str(), path.c_str(), e.what());
    }

    ReplaceFile(tag, path, text);

    last_cache_save = oz_time_monotonic();
    oz_dprintf("%s: Saved %lu devices to: %s\n", tag.c_str(), devices.size(), path.c_str());
}
