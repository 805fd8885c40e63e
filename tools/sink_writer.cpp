#include "tools/sink_writer.h"

#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "host/oz_log.h"

namespace ostrel_host {

namespace {

// Names and labels come from the network: keep terminal controls out.
std::string Printable(const std::string &text, size_t width)
{
    std::string out;
    for (unsigned char c : text) out += (c < 0x20 || c == 0x7f) ? '?' : static_cast<char>(c);
    if (out.size() > width) out = out.substr(0, width - 1) + "~";
    return out;
}

std::string Column(const std::string &text, size_t width)
{
    std::string cell = Printable(text, width);
    // Pads by bytes; multi-byte names only shift their own row.
    if (cell.size() < width) cell.append(width - cell.size(), ' ');
    return cell + "  ";
}

std::string StringAt(const json &object, const char *key)
{
    if (!object.is_object()) return std::string();
    auto found = object.find(key);
    return found != object.end() && found->is_string() ? found->get<std::string>() : std::string();
}

std::string NumberAt(const json &object, const char *key)
{
    if (!object.is_object()) return std::string();
    auto found = object.find(key);
    return found != object.end() && found->is_number() ? found->dump() : std::string();
}

} // namespace

std::string GzipCompress(const std::string &data)
{
    z_stream stream;
    std::memset(&stream, 0, sizeof(stream));
    // 15 + 16: a gzip header and trailer instead of zlib's.
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("gzip: deflateInit2 failed");
    std::string out(deflateBound(&stream, static_cast<uLong>(data.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data()));
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = reinterpret_cast<Bytef *>(&out[0]);
    stream.avail_out = static_cast<uInt>(out.size());
    int result = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    if (result != Z_STREAM_END) throw std::runtime_error("gzip: deflate failed");
    return out;
}

std::string EncodePayload(const json &payload, uint8_t flags)
{
    std::string bytes;
    if (flags & SINK_FORMAT_MSGPACK) {
        std::vector<uint8_t> packed = json::to_msgpack(payload);
        bytes.assign(packed.begin(), packed.end());
    } else {
        // Texts from the network may hold invalid UTF-8; replace, never throw.
        bytes = payload.dump(-1, ' ', false, json::error_handler_t::replace);
        bytes += '\n';
    }
    if (flags & SINK_GZ) bytes = GzipCompress(bytes);
    return bytes;
}

std::string TableHeader()
{
    return Column("MAC", 17) + Column("LABEL", 26) + Column("SCORE", 5) + Column("TYPE", 14) +
           Column("VENDOR", 12) + Column("IP", 15) + "HOSTNAME\n";
}

std::string TableRows(const json &payload)
{
    if (!payload.is_object() || !payload.contains("device_discovery") || !payload["device_discovery"].is_array())
        return payload.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
    std::string rows;
    for (const json &device : payload["device_discovery"]) {
        const json empty;
        const json &response = device.is_object() && device.contains("response") ? device["response"] : empty;
        std::string label = StringAt(response, "label");
        const json &dhcp = device.is_object() && device.contains("dhcp") ? device["dhcp"] : empty;
        rows += Column(StringAt(device, "mac"), 17) + Column(label.empty() ? "(unclassified)" : label, 26) +
                Column(NumberAt(response, "score"), 5) + Column(StringAt(response, "type"), 14) +
                Column(StringAt(response, "vendor"), 12) + Column(StringAt(device, "ip_address"), 15) +
                Printable(StringAt(dhcp, "hostname"), 40) + "\n";
    }
    return rows;
}

SinkWriter::~SinkWriter()
{
    for (auto &entry : outputs) {
        Output &output = *entry.second;
        if (output.file == nullptr) continue;
        if (output.file == stdout)
            fflush(stdout);
        else
            fclose(output.file);
        output.file = nullptr;
    }
}

void SinkWriter::AddChannel(const std::string &sink, const std::string &channel, const std::string &path, View view)
{
    std::lock_guard<std::mutex> guard(lock);
    std::shared_ptr<Output> &output = outputs[path];
    if (!output) {
        auto opened = std::make_shared<Output>();
        opened->path = path;
        opened->file = path == "-" ? stdout : fopen(path.c_str(), "ab");
        if (opened->file == nullptr) {
            outputs.erase(path);
            throw std::runtime_error(path + ": cannot open for appending: " + strerror(errno));
        }
        output = opened;
    }
    sinks[sink][channel] = Channel{output, view};
}

void SinkWriter::Write(const std::string &tag, const std::string &sink, const std::set<std::string> &channels,
    const json &payload, uint8_t flags)
{
    std::lock_guard<std::mutex> guard(lock);
    payloads++;
    if (payload.is_object() && payload.contains("device_discovery") && payload["device_discovery"].is_array()) {
        for (const json &device : payload["device_discovery"]) {
            std::string mac = StringAt(device, "mac");
            if (!mac.empty()) macs.insert(mac);
        }
    }
    auto found = sinks.find(sink);
    for (const std::string &channel : channels) {
        if (found == sinks.end() || found->second.count(channel) == 0) {
            oz_printf("ostrel-host: %s: payload for unknown sink channel %s/%s dropped\n", tag.c_str(),
                sink.c_str(), channel.c_str());
            continue;
        }
        Emit(sink, channel, found->second[channel], payload, flags);
    }
}

void SinkWriter::Emit(const std::string &sink, const std::string &channel, Channel &target, const json &payload,
    uint8_t flags)
{
    Output &output = *target.output;
    std::string bytes;
    bool flush = (flags & SINK_FLUSH) != 0;
    try {
        if (target.view == View::TABLE) {
            if (!output.header_written) bytes = TableHeader();
            output.header_written = true;
            bytes += TableRows(payload);
            flush = true;
        } else {
            bytes = EncodePayload(payload, flags);
        }
    } catch (const std::exception &e) {
        oz_printf("ostrel-host: sink %s/%s: payload dropped: %s\n", sink.c_str(), channel.c_str(), e.what());
        return;
    }
    bool written = fwrite(bytes.data(), 1, bytes.size(), output.file) == bytes.size();
    if (written && flush) written = fflush(output.file) == 0;
    // One message per output: a full disk would otherwise flood the log.
    if (!written && !output.failed) {
        oz_printf("ostrel-host: sink %s/%s: %s: write failed: %s\n", sink.c_str(), channel.c_str(),
            output.path == "-" ? "stdout" : output.path.c_str(), strerror(errno));
    }
    output.failed = !written;
}

uint64_t SinkWriter::Payloads() const
{
    std::lock_guard<std::mutex> guard(lock);
    return payloads;
}

size_t SinkWriter::Devices() const
{
    std::lock_guard<std::mutex> guard(lock);
    return macs.size();
}

} // namespace ostrel_host
