// Temporary folders, whole-file reads and writes, and gzip contents, for
// tests, fuzz targets and benchmarks.
#pragma once

#include <string>

namespace ostrel_test {

// A fresh folder under `base` (the system's temporary folder when empty),
// removed with everything in it at the end.
class TempDir
{
public:
    explicit TempDir(const std::string &prefix = "ostrel-test", const std::string &base = "");
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &Path() const { return path; }
    std::string File(const std::string &name) const { return path + "/" + name; }
    // Writes `text` to the named file and returns its path.
    std::string Write(const std::string &name, const std::string &text) const;
    // Makes the named folder and returns its path.
    std::string MakeDir(const std::string &name) const;

private:
    std::string path;
};

// The whole file, or "" when it cannot be read.
std::string ReadFile(const std::string &path);

// Replaces the file with `text`; false when it could not be written whole.
bool WriteFile(const std::string &path, const std::string &text);

// OSTREL_UPDATE_GOLDEN=1: the tests record their golden files from this run
// instead of comparing with them.
bool UpdatingGolden();

// Inflates every gzip member of `data` in turn. Throws std::runtime_error on
// corrupt or truncated input.
std::string Gunzip(const std::string &data);

} // namespace ostrel_test
