#include "fileio/regular_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

ozpFileRead Failed(ozpFileRead::Result result, int error, std::string &text)
{
    text.clear();
    text.shrink_to_fit();
    ozpFileRead read;
    read.result = result;
    read.error = error;
    return read;
}

} // namespace

std::string ozpFileRead::Reason() const
{
    switch (result) {
    case READ:
        return "";
    case NOT_REGULAR:
        return std::string("not a regular file (") + kind + ")";
    case TOO_LARGE:
        return "larger than " + std::to_string(max_bytes) + " bytes, not read";
    case OPEN_FAILED:
    case READ_FAILED:
        break;
    }
    return strerror(error);
}

const char *ozpFileKind(mode_t mode)
{
    if (S_ISREG(mode)) return "a regular file";
    if (S_ISDIR(mode)) return "a folder";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISSOCK(mode)) return "a socket";
    if (S_ISLNK(mode)) return "a symbolic link";
    return "of an unknown kind";
}

ozpFileRead ozpReadRegularFile(const std::string &path, uint64_t max_bytes, std::string &text)
{
    text.clear();
    // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a
    // writer. It changes nothing for a regular file.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return Failed(ozpFileRead::OPEN_FAILED, errno, text);

    struct stat st;
    if (fstat(fd, &st) != 0) {
        int error = errno;
        close(fd);
        return Failed(ozpFileRead::READ_FAILED, error, text);
    }
    if (!S_ISREG(st.st_mode)) {
        close(fd);
        ozpFileRead read = Failed(ozpFileRead::NOT_REGULAR, 0, text);
        read.kind = ozpFileKind(st.st_mode);
        return read;
    }

    // The size said is only a hint (files under /proc say 0, and a file can
    // grow while it is read): the read itself stops one byte past the bound.
    uint64_t size = static_cast<uint64_t>(st.st_size);
    bool too_large = size > max_bytes;
    if (!too_large) text.reserve(static_cast<size_t>(size));
    char buffer[65536];
    while (!too_large) {
        uint64_t left = max_bytes - text.size();
        size_t want = left < sizeof(buffer) ? static_cast<size_t>(left) + 1 : sizeof(buffer);
        ssize_t got = read(fd, buffer, want);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            int error = errno;
            close(fd);
            return Failed(ozpFileRead::READ_FAILED, error, text);
        }
        if (got == 0) break;
        text.append(buffer, static_cast<size_t>(got));
        too_large = text.size() > max_bytes;
    }
    close(fd);

    if (too_large) {
        ozpFileRead read = Failed(ozpFileRead::TOO_LARGE, 0, text);
        read.max_bytes = max_bytes;
        return read;
    }
    ozpFileRead read;
    read.max_bytes = max_bytes;
    return read;
}
