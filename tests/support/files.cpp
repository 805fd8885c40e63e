#include "tests/support/files.h"

#include <sys/stat.h>

#include <zlib.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace ostrel_test {

TempDir::TempDir(const std::string &prefix, const std::string &base)
{
    std::filesystem::path under
        = base.empty() ? std::filesystem::temp_directory_path() : std::filesystem::path(base);
    std::string pattern = (under / (prefix + "-XXXXXX")).string();
    if (mkdtemp(&pattern[0]) == nullptr) throw std::runtime_error("mkdtemp failed: " + pattern);
    path = pattern;
}

TempDir::~TempDir()
{
    // A test may have taken the folder's permissions away.
    std::error_code ignored;
    std::filesystem::permissions(path, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(path, ignored);
}

std::string TempDir::Write(const std::string &name, const std::string &text) const
{
    std::string file = File(name);
    WriteFile(file, text);
    return file;
}

std::string TempDir::MakeDir(const std::string &name) const
{
    std::string made = File(name);
    mkdir(made.c_str(), 0700);
    return made;
}

bool UpdatingGolden()
{
    const char *value = std::getenv("OSTREL_UPDATE_GOLDEN");
    return value != nullptr && std::string(value) == "1";
}

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool WriteFile(const std::string &path, const std::string &text)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    return out.good();
}

std::string Gunzip(const std::string &data)
{
    std::string out;
    size_t at = 0;
    while (at < data.size()) {
        z_stream stream;
        std::memset(&stream, 0, sizeof(stream));
        if (inflateInit2(&stream, 15 + 16) != Z_OK) throw std::runtime_error("inflateInit2 failed");
        stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data() + at));
        stream.avail_in = static_cast<uInt>(data.size() - at);
        int result = Z_OK;
        char chunk[16384];
        while (result == Z_OK) {
            stream.next_out = reinterpret_cast<Bytef *>(chunk);
            stream.avail_out = sizeof(chunk);
            result = inflate(&stream, Z_NO_FLUSH);
            out.append(chunk, sizeof(chunk) - stream.avail_out);
        }
        at += stream.total_in;
        inflateEnd(&stream);
        if (result != Z_STREAM_END) throw std::runtime_error("gzip data is corrupt or truncated");
    }
    return out;
}

} // namespace ostrel_test
