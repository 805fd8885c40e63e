// Whole-file reads for the classification service's own inputs (rules, MAC
// registry). A FIFO or a device in a file's place is refused at once rather
// than waited on, and a file is read only up to a bound.
#pragma once

#include <cstdint>
#include <string>

namespace ostrel_classifier {

constexpr uint64_t MAX_INPUT_FILE_BYTES = 64 * 1024 * 1024;

// Reads the regular file at `path` into `text`. False with the reason in
// `why`, for a message after "<path>: ": "cannot open: ...", "cannot read:
// ...", "not a regular file" or "larger than 64 MiB".
bool ReadInputFile(const std::string &path, std::string &text, std::string &why);

} // namespace ostrel_classifier
