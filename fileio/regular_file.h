// Whole-file reads for the plug-in's own files (configuration, device cache).
// A FIFO or a device named where a file is expected would block the plug-in
// thread in open() or read() for ever, or never end (/dev/zero), so only
// regular files are read, and only up to a bound.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

struct ozpFileRead {
    enum Result { READ, OPEN_FAILED, NOT_REGULAR, TOO_LARGE, READ_FAILED };

    Result result = READ;
    // errno of OPEN_FAILED and READ_FAILED.
    int error = 0;
    // What the path names, for NOT_REGULAR ("a FIFO").
    const char *kind = "";
    uint64_t max_bytes = 0;

    // The reason of a failed read, for a message after "<path>: ".
    std::string Reason() const;
};

// Reads the regular file at `path` (symbolic links followed) into `text`,
// at most `max_bytes` of it: a larger file, or one that grows past the bound
// while it is read, is TOO_LARGE. `text` is left empty on failure.
ozpFileRead ozpReadRegularFile(const std::string &path, uint64_t max_bytes, std::string &text);

// "a regular file", "a FIFO", "a character device", "a folder", ...
const char *ozpFileKind(mode_t mode);
