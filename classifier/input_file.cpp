#include "classifier/input_file.h"

#include <cstring>

#include "fileio/regular_file.h"

namespace ostrel_classifier {

bool ReadInputFile(const std::string &path, std::string &text, std::string &why)
{
    const ozpFileRead read = ozpReadRegularFile(path, MAX_INPUT_FILE_BYTES, text);
    switch (read.result) {
    case ozpFileRead::READ:
        return true;
    case ozpFileRead::OPEN_FAILED:
        why = std::string("cannot open: ") + strerror(read.error);
        break;
    case ozpFileRead::READ_FAILED:
        why = std::string("cannot read: ") + strerror(read.error);
        break;
    case ozpFileRead::NOT_REGULAR:
        why = "not a regular file";
        break;
    case ozpFileRead::TOO_LARGE:
        why = "larger than " + std::to_string(MAX_INPUT_FILE_BYTES / (1024 * 1024)) + " MiB";
        break;
    }
    return false;
}

} // namespace ostrel_classifier
