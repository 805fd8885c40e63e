#include "fuzz/fuzz_support.h"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace ostrel_fuzz {

FuzzHost &FuzzHost::Get()
{
    static FuzzHost host;
    return host;
}

FuzzHost::FuzzHost()
{
    // Memory-backed when there is such a folder: every input saves a cache,
    // and an fsync to disk would make each run take milliseconds.
    std::error_code error;
    std::filesystem::path base = std::filesystem::is_directory("/dev/shm", error)
        ? std::filesystem::path("/dev/shm")
        : std::filesystem::temp_directory_path();
    std::string pattern = (base / "ostrel-fuzz-XXXXXX").string();
    if (mkdtemp(&pattern[0]) == nullptr) {
        std::perror("mkdtemp");
        std::abort();
    }
    dir = pattern;
    // Every optional log line is formatted, so its arguments are exercised,
    // and then dropped: the fuzzer's own output stays readable.
    global.flags = ozGlobalConfig::GF_DEBUG | ozGlobalConfig::GF_VERBOSE | ozGlobalConfig::GF_DEBUG_PAYLOAD;
    global.debug_level = 2;
    global.variables["state"] = dir;
    ozGlobalConfig::instance = &global;
    ozInstance::instance = &instance;
    ostrel_standin::SetLogHandler([](ostrel_standin::LogLevel, const std::string &) {});
    // A host encodes what it is given; dumping here finds payloads that
    // cannot be written (deep nesting, for one).
    ostrel_standin::SetSinkHandler([](const std::string &, const std::string &, const std::set<std::string> &,
                                       const nlohmann::json &payload, uint8_t) {
        std::string text = payload.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        Require(!text.empty(), "sink payload dumps to text");
    });
}

FuzzHost::~FuzzHost()
{
    ostrel_standin::SetSinkHandler(nullptr);
    ostrel_standin::SetLogHandler(nullptr);
    ozGlobalConfig::instance = nullptr;
    ozInstance::instance = nullptr;
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
}

std::unique_ptr<ozpPlugin> FuzzHost::MakePlugin(const std::string &conf) const
{
    // Copies of unreadable caches are never overwritten: left to pile up, the
    // search for a free name would grow with every input and each input
    // would no longer start from the same folder.
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(dir, error)) {
        if (entry.path().filename().string().find(".bad") != std::string::npos)
            std::filesystem::remove(entry.path(), error);
    }
    auto plugin = std::make_unique<ozpPlugin>("fuzz", ozPlugin::Params {{"conf_filename", File(conf)}});
    // Reads of the network never belong in a fuzz run.
    plugin->config.api_enable = false;
    // A wall clock that stands still, as the host clock does: the ages that
    // a saved cache holds read back the same.
    plugin->wall_clock = [] { return static_cast<int64_t>(1767225600); };
    return plugin;
}

std::string FuzzHost::Write(const std::string &name, const std::string &text) const
{
    std::string path = File(name);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(text.data(), static_cast<std::streamsize>(text.size()));
    Require(out.good(), "fuzz input written to its file");
    return path;
}

uint8_t ByteReader::Byte()
{
    return at < size ? data[at++] : 0;
}

uint16_t ByteReader::Word()
{
    uint16_t high = Byte();
    return static_cast<uint16_t>(high << 8 | Byte());
}

std::string ByteReader::Text(size_t max)
{
    size_t length = Byte();
    if (length > max) length = max;
    if (length > size - std::min(at, size)) length = size - std::min(at, size);
    std::string text(reinterpret_cast<const char *>(data) + at, length);
    at += length;
    return text;
}

std::string ByteReader::Rest()
{
    std::string text
        = at < size ? std::string(reinterpret_cast<const char *>(data) + at, size - at) : std::string();
    at = size;
    return text;
}

void Require(bool condition, const char *what)
{
    if (condition) return;
    std::fprintf(stderr, "fuzz check failed: %s\n", what);
    std::abort();
}

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace ostrel_fuzz
