#include "fileio/durable_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <system_error>

namespace {

// A replacement writes "<file>.tmp.XXXXXX" first; mkostemp fills in the X's.
const std::string TEMP_INFIX = ".tmp.";
const std::string TEMP_RANDOM = "XXXXXX";
const std::string KEPT_SUFFIX = ".bad";
constexpr unsigned MAX_KEPT_COPIES = 10000;
// Links followed to a file, as many as the kernel follows.
constexpr int MAX_LINKS = 40;

std::string BaseName(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

} // namespace

std::string ozpFolderOf(const std::string &path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool ozpWriteAll(int fd, const std::string &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t wrote = write(fd, bytes.data() + done, bytes.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        if (wrote < 0) return false;
        // Would otherwise loop for ever.
        if (wrote == 0) {
            errno = EIO;
            return false;
        }
        done += static_cast<size_t>(wrote);
    }
    return true;
}

// Some file systems cannot sync a folder (EINVAL); nothing more can be done
// there.
int ozpSyncFolder(const std::string &file)
{
    int fd = open(ozpFolderOf(file).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return errno;
    int error = fsync(fd) != 0 && errno != EINVAL ? errno : 0;
    close(fd);
    return error;
}

int ozpFollowLinks(const std::string &path, std::string &file)
{
    file = path;
    for (int links = 0;; links++) {
        struct stat st;
        if (lstat(file.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return 0;
        if (links == MAX_LINKS) return ELOOP;
        std::error_code error;
        std::filesystem::path target = std::filesystem::read_symlink(file, error);
        if (error) return error.value();
        if (target.is_relative()) target = std::filesystem::path(ozpFolderOf(file)) / target;
        file = target.string();
    }
}

int ozpMakeFolders(const std::string &folder, bool &made)
{
    made = false;
    struct stat st;
    if (stat(folder.c_str(), &st) == 0 || errno != ENOENT) return 0;
    const std::string parent = ozpFolderOf(folder);
    if (parent != folder) {
        bool parent_made;
        int error = ozpMakeFolders(parent, parent_made);
        if (error != 0) return error;
    }
    if (mkdir(folder.c_str(), 0700) != 0) return errno == EEXIST ? 0 : errno;
    made = true;
    // Its name in the folder above is on disk before a file is put in it.
    return ozpSyncFolder(folder);
}

void ozpRemoveStaleTemporaries(const std::string &file)
{
    std::string folder = ozpFolderOf(file);
    std::string prefix = BaseName(file) + TEMP_INFIX;
    DIR *dir = opendir(folder.c_str());
    if (dir == nullptr) return;
    while (struct dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name.size() == prefix.size() + TEMP_RANDOM.size() && name.compare(0, prefix.size(), prefix) == 0)
            unlink((folder + "/" + name).c_str());
    }
    closedir(dir);
}

int ozpReplaceFile(const std::string &file, const std::vector<std::string> &pieces)
{
    std::string temp = file + TEMP_INFIX + TEMP_RANDOM;
    int fd = mkostemp(&temp[0], O_CLOEXEC);
    if (fd < 0) return errno;

    int error = 0;
    for (const std::string &piece : pieces) {
        if (!ozpWriteAll(fd, piece)) {
            error = errno;
            break;
        }
    }
    if (error == 0 && fsync(fd) != 0) error = errno;
    if (close(fd) != 0 && error == 0) error = errno;
    if (error == 0 && rename(temp.c_str(), file.c_str()) != 0) error = errno;
    if (error != 0) {
        unlink(temp.c_str());
        return error;
    }
    return ozpSyncFolder(file);
}

bool ozpKeepCopy(const std::string &file, const std::string &text, std::string &copy)
{
    for (unsigned n = 0; n < MAX_KEPT_COPIES; n++) {
        copy = file + KEPT_SUFFIX + (n == 0 ? "" : "." + std::to_string(n));
        int fd = open(copy.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) return false;
        int error = ozpWriteAll(fd, text) && fsync(fd) == 0 ? 0 : errno;
        if (close(fd) != 0 && error == 0) error = errno;
        if (error == 0) error = ozpSyncFolder(copy);
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
