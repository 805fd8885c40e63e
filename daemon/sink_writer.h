// The daemon's sinks: each configured (sink, channel) writes the payloads it
// receives to stdout or a file, encoded as the payload's dispatch flags say.
// Payloads arrive on plug-in threads; the main thread reopens the files on
// SIGHUP; one lock guards the outputs.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

namespace ostrel_host {

using json = nlohmann::json;

// The bytes one payload becomes, as the host's dispatch flags
// (ozPlugin::DispatchFlags) say: JSON text and a newline (msgpack with
// DF_FORMAT_MSGPACK), then one gzip member with DF_GZ_DEFLATE, so that the
// members of a file concatenate to one gzip stream.
std::string EncodePayload(const json &payload, uint8_t flags);

// One complete gzip member holding `data`. Throws std::runtime_error when
// zlib fails.
std::string GzipCompress(const std::string &data);

// Human-readable rows for the devices of a "device_discovery" payload (as in
// tests/golden/sink-payload.json, described in docs/PLUGIN.md); text
// from the network is escaped (see ostrel_standin::EscapeControls), so a row is
// always one line and shows what was received.
std::string TableHeader();
std::string TableRows(const json &payload);

class SinkWriter
{
public:
    enum class View { ENCODED, TABLE };

    SinkWriter() = default;
    ~SinkWriter();
    SinkWriter(const SinkWriter &) = delete;
    SinkWriter &operator=(const SinkWriter &) = delete;

    // "-" is stdout; other paths are opened for appending now, so that a bad
    // path fails at start-up. Opening never waits: a FIFO without a reader is
    // refused. Throws std::runtime_error naming the path.
    void AddChannel(const std::string &sink, const std::string &channel, const std::string &path, View view);

    // Closes and reopens every output but stdout, so that a file renamed by
    // log rotation is followed by a new one. An output that cannot be
    // reopened is logged and keeps its old file. Returns the number reopened.
    size_t Reopen();

    // The host's sink entry: writes `payload` to every named channel.
    void Write(const std::string &tag, const std::string &sink, const std::set<std::string> &channels,
        const json &payload, uint8_t flags);

    uint64_t Payloads() const;
    // Distinct MACs seen in "device_discovery" payloads.
    size_t Devices() const;

private:
    struct Output {
        std::string path;
        int fd = -1;
        // A regular file: a payload that could not be written whole is cut
        // off again, so that the file stays a sequence of whole payloads.
        bool regular = false;
        bool header_written = false;
        bool failed = false;
    };
    struct Channel {
        std::shared_ptr<Output> output;
        View view = View::ENCODED;
    };

    void WritePayload(
        const std::string &sink, const std::string &channel, Output &output, const std::string &bytes);
    void Emit(const std::string &sink, const std::string &channel, Channel &target, const json &payload,
        uint8_t flags);

    mutable std::mutex lock;
    std::map<std::string, std::shared_ptr<Output>> outputs;
    std::map<std::string, std::map<std::string, Channel>> sinks;
    uint64_t payloads = 0;
    std::set<std::string> macs;
};

} // namespace ostrel_host
