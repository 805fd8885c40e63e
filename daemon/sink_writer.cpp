#include "daemon/sink_writer.h"

#include <zlib.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "host/oz_log.h"
#include "host/oz_plugin.h"
#include "host/standin/escape.h"
#include "fileio/durable_file.h"

namespace ostrel_host {

namespace {

// One character of escaped text: an escape sequence, an ASCII character or a
// whole UTF-8 sequence (EscapeControls leaves only valid ones). Returns its
// length in bytes and sets `columns` to the columns it takes.
size_t Unit(const std::string &text, size_t at, size_t &columns)
{
    unsigned char c = static_cast<unsigned char>(text[at]);
    size_t length = 1;
    if (c == '\\' && at + 1 < text.size())
        length = text[at + 1] == 'x' ? 4 : text[at + 1] == 'u' ? 6 : 2;
    else if (c >= 0xf0)
        length = 4;
    else if (c >= 0xe0)
        length = 3;
    else if (c >= 0xc0)
        length = 2;
    length = std::min(length, text.size() - at);
    columns = c < 0x80 ? length : 1;
    return length;
}

// Names and labels come from the network: escaped, so that they can neither
// drive the terminal nor break or reorder the row, and cut to `width`
// columns without splitting an escape or a character. `columns` is set to
// the columns the result takes.
std::string Printable(const std::string &text, size_t width, size_t &columns)
{
    const std::string escaped = ostrel_standin::EscapeControls(text);
    size_t at = 0, used = 0, kept = 0, kept_columns = 0;
    while (at < escaped.size()) {
        size_t unit_columns = 0;
        at += Unit(escaped, at, unit_columns);
        used += unit_columns;
        if (used <= width - 1) {
            kept = at;
            kept_columns = used;
        }
    }
    if (used <= width) {
        columns = used;
        return escaped;
    }
    columns = kept_columns + 1;
    return escaped.substr(0, kept) + "~";
}

std::string Column(const std::string &text, size_t width)
{
    size_t columns = 0;
    std::string cell = Printable(text, width, columns);
    if (columns < width) cell.append(width - columns, ' ');
    return cell + "  ";
}

std::string HostName(const std::string &text)
{
    size_t columns = 0;
    return Printable(text, 40, columns);
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
    if (flags & ozPlugin::DF_FORMAT_MSGPACK) {
        std::vector<uint8_t> packed = json::to_msgpack(payload);
        bytes.assign(packed.begin(), packed.end());
    } else {
        // Texts from the network may hold invalid UTF-8; replace, never throw.
        bytes = payload.dump(-1, ' ', false, json::error_handler_t::replace);
        bytes += '\n';
    }
    if (flags & ozPlugin::DF_GZ_DEFLATE) bytes = GzipCompress(bytes);
    return bytes;
}

std::string TableHeader()
{
    return Column("MAC", 17) + Column("LABEL", 26) + Column("SCORE", 5) + Column("TYPE", 14)
        + Column("VENDOR", 12) + Column("IP", 15) + "HOSTNAME\n";
}

std::string TableRows(const json &payload)
{
    // Any other payload is shown as JSON with every non-ASCII character
    // escaped: bidirectional controls pass a plain dump.
    if (!payload.is_object() || !payload.contains("device_discovery")
        || !payload["device_discovery"].is_array())
        return payload.dump(-1, ' ', true, json::error_handler_t::replace) + "\n";
    std::string rows;
    for (const json &device : payload["device_discovery"]) {
        const json empty;
        const json &response = device.is_object() && device.contains("response") ? device["response"] : empty;
        std::string label = StringAt(response, "label");
        const json &dhcp = device.is_object() && device.contains("dhcp") ? device["dhcp"] : empty;
        rows += Column(StringAt(device, "mac"), 17) + Column(label.empty() ? "(unclassified)" : label, 26)
            + Column(NumberAt(response, "score"), 5) + Column(StringAt(response, "type"), 14)
            + Column(StringAt(response, "vendor"), 12) + Column(StringAt(device, "ip_address"), 15)
            + HostName(StringAt(dhcp, "hostname")) + "\n";
    }
    return rows;
}

namespace {

// Opens `path` for appending without ever waiting: a FIFO with no reader
// would otherwise hold the daemon before it reads its signals. Throws
// std::runtime_error naming the path.
int OpenOutput(const std::string &path, bool &regular, bool &empty)
{
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK, 0644);
    if (fd < 0) {
        int error = errno;
        struct stat st;
        if (error == ENXIO && stat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode))
            throw std::runtime_error(path
                + ": a FIFO with no reader; start its reader first (the daemon does "
                  "not wait for one)");
        throw std::runtime_error(path + ": cannot open for appending: " + strerror(error));
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
        int error = errno;
        close(fd);
        throw std::runtime_error(path + ": cannot open for appending: " + strerror(error));
    }
    regular = S_ISREG(st.st_mode);
    empty = !regular || st.st_size == 0;
    // Writes wait like those to stdout: a reader that is merely slow must not
    // lose payloads.
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

} // namespace

SinkWriter::~SinkWriter()
{
    for (auto &entry : outputs) {
        Output &output = *entry.second;
        if (output.fd >= 0 && output.fd != STDOUT_FILENO) close(output.fd);
        output.fd = -1;
    }
}

void SinkWriter::AddChannel(
    const std::string &sink, const std::string &channel, const std::string &path, View view)
{
    std::lock_guard<std::mutex> guard(lock);
    std::shared_ptr<Output> &output = outputs[path];
    if (!output) {
        auto opened = std::make_shared<Output>();
        opened->path = path;
        if (path == "-") {
            opened->fd = STDOUT_FILENO;
        } else {
            bool empty = true;
            try {
                opened->fd = OpenOutput(path, opened->regular, empty);
            } catch (...) {
                outputs.erase(path);
                throw;
            }
            // A table appended to an earlier run's keeps its one header.
            opened->header_written = !empty;
        }
        output = opened;
    }
    sinks[sink][channel] = Channel {output, view};
}

size_t SinkWriter::Reopen()
{
    std::lock_guard<std::mutex> guard(lock);
    size_t reopened = 0;
    for (auto &entry : outputs) {
        Output &output = *entry.second;
        if (output.path == "-") continue;
        bool regular = false, empty = true;
        int fd = -1;
        try {
            fd = OpenOutput(output.path, regular, empty);
        } catch (const std::exception &e) {
            oz_printf("ostrel-host: sink %s; still writing to the file opened before\n", e.what());
            continue;
        }
        close(output.fd);
        output.fd = fd;
        output.regular = regular;
        if (regular) output.header_written = !empty;
        output.failed = false;
        reopened++;
    }
    return reopened;
}

void SinkWriter::Write(const std::string &tag, const std::string &sink, const std::set<std::string> &channels,
    const json &payload, uint8_t flags)
{
    std::lock_guard<std::mutex> guard(lock);
    payloads++;
    if (payload.is_object() && payload.contains("device_discovery")
        && payload["device_discovery"].is_array()) {
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

void SinkWriter::Emit(
    const std::string &sink, const std::string &channel, Channel &target, const json &payload, uint8_t flags)
{
    Output &output = *target.output;
    std::string bytes;
    bool header = false;
    try {
        if (target.view == View::TABLE) {
            header = !output.header_written;
            if (header) bytes = TableHeader();
            bytes += TableRows(payload);
        } else {
            bytes = EncodePayload(payload, flags);
        }
    } catch (const std::exception &e) {
        oz_printf("ostrel-host: sink %s/%s: payload dropped: %s\n", sink.c_str(), channel.c_str(), e.what());
        return;
    }
    WritePayload(sink, channel, output, bytes);
    if (header && !output.failed) output.header_written = true;
}

// Each payload goes out in one piece, unbuffered (so the flush flag asks for
// nothing more). When a regular file takes only part of it, the file is cut
// back to where the payload began: a gzip member or JSON line cut short
// would make every later one unreadable.
void SinkWriter::WritePayload(
    const std::string &sink, const std::string &channel, Output &output, const std::string &bytes)
{
    off_t start = output.regular ? lseek(output.fd, 0, SEEK_END) : -1;
    bool written = ozpWriteAll(output.fd, bytes);
    int error = errno;
    std::string cut;
    if (!written && start >= 0 && ftruncate(output.fd, start) != 0)
        cut = std::string("; the partial payload could not be cut off: ") + strerror(errno);
    // One message per output: a full disk would otherwise flood the log.
    if (!written && (!output.failed || !cut.empty())) {
        oz_printf("ostrel-host: sink %s/%s: %s: write failed: %s%s\n", sink.c_str(), channel.c_str(),
            output.path == "-" ? "stdout" : output.path.c_str(), strerror(error), cut.c_str());
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
