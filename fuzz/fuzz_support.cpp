#include "fuzz/fuzz_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "tests/support/plugin.h"

namespace ostrel_fuzz {

FuzzHost &FuzzHost::Get()
{
    static FuzzHost host;
    return host;
}

namespace {

// Memory-backed when there is such a folder: every input saves a cache, and
// an fsync to disk would make each run take milliseconds.
std::string FastFolder()
{
    std::error_code error;
    return std::filesystem::is_directory("/dev/shm", error) ? "/dev/shm" : "";
}

} // namespace

FuzzHost::FuzzHost()
    : dir("ostrel-fuzz", FastFolder())
{
    // Every optional log line is formatted, so its arguments are exercised,
    // and then dropped: the fuzzer's own output stays readable.
    standin.Silence();
    standin.global.flags
        = ozGlobalConfig::GF_DEBUG | ozGlobalConfig::GF_VERBOSE | ozGlobalConfig::GF_DEBUG_PAYLOAD;
    standin.global.debug_level = 2;
    standin.global.variables["state"] = dir.Path();
    // A host encodes what it is given; dumping here finds payloads that
    // cannot be written (deep nesting, for one).
    ostrel_standin::SetSinkHandler([](const std::string &, const std::string &, const std::set<std::string> &,
                                       const nlohmann::json &payload, uint8_t) {
        std::string text = payload.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        Require(!text.empty(), "sink payload dumps to text");
    });
}

FuzzHost::~FuzzHost() = default;

std::unique_ptr<ozpPlugin> FuzzHost::MakePlugin(const std::string &conf) const
{
    // Copies of unreadable caches are never overwritten: left to pile up, the
    // search for a free name would grow with every input and each input
    // would no longer start from the same folder.
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(dir.Path(), error)) {
        if (entry.path().filename().string().find(".bad") != std::string::npos)
            std::filesystem::remove(entry.path(), error);
    }
    auto plugin = ostrel_test::MakeStillPlugin(File(conf), "fuzz");
    // Reads of the network never belong in a fuzz run.
    plugin->config.api_enable = false;
    return plugin;
}

std::string FuzzHost::Write(const std::string &name, const std::string &text) const
{
    std::string path = File(name);
    Require(ostrel_test::WriteFile(path, text), "fuzz input written to its file");
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

} // namespace ostrel_fuzz
