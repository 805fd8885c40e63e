#include "capture/dhcp.h"

#include <cstring>

namespace ostrel_capture {
namespace {

constexpr size_t kChaddrOffset = 28;
constexpr size_t kSnameOffset = 44;
constexpr size_t kSnameSize = 64;
constexpr size_t kFileOffset = 108;
constexpr size_t kFileSize = 128;
constexpr size_t kCookieOffset = 236;
constexpr size_t kOptionsOffset = 240;
constexpr uint8_t kCookie[4] = {99, 130, 83, 99};

constexpr uint8_t kOptPad = 0;
constexpr uint8_t kOptHostName = 12;
constexpr uint8_t kOptOverload = 52;
constexpr uint8_t kOptMessageType = 53;
constexpr uint8_t kOptParameterList = 55;
constexpr uint8_t kOptClassIdent = 60;
constexpr uint8_t kOptEnd = 255;

// Texts keep every byte but the control characters, so that a host name
// ending in NUL and one without give the same value.
void AppendCleanText(const uint8_t *value, size_t size, std::string &out)
{
    for (size_t i = 0; i < size; ++i) {
        const uint8_t c = value[i];
        if (c >= 0x20 && c != 0x7f) out.push_back(static_cast<char>(c));
    }
}

void AppendCodes(const uint8_t *value, size_t size, std::string &out)
{
    char digits[4];
    for (size_t i = 0; i < size; ++i) {
        if (!out.empty()) out.push_back(',');
        unsigned code = value[i];
        size_t n = 0;
        do {
            digits[n++] = static_cast<char>('0' + code % 10);
            code /= 10;
        } while (code != 0);
        while (n > 0)
            out.push_back(digits[--n]);
    }
}

// A code seen more than once is one long option split in pieces (RFC 3396):
// each piece appends to what the earlier ones gave, so single-byte options
// keep the first byte of the joined value.
struct OptionReader {
    DhcpClientMessage &message;
    bool have_type = false;
    bool have_overload = false;
    uint8_t overload = 0;

    void Option(uint8_t code, const uint8_t *value, size_t size, bool main_area)
    {
        switch (code) {
        case kOptMessageType:
            if (!have_type && size > 0) {
                message.message_type = value[0];
                have_type = true;
            }
            break;
        case kOptParameterList:
            AppendCodes(value, size, message.fingerprint);
            break;
        case kOptClassIdent:
            AppendCleanText(value, size, message.class_ident);
            break;
        case kOptHostName:
            AppendCleanText(value, size, message.host_name);
            break;
        case kOptOverload:
            // Only the main area may say where more options are.
            if (main_area && !have_overload && size > 0) {
                overload = value[0];
                have_overload = true;
            }
            break;
        default:
            break;
        }
    }

    // Reads one area until its end option or its last byte. An option whose
    // length runs past the area ends the area: nothing after it can be trusted.
    void Area(const uint8_t *area, size_t size, bool main_area)
    {
        size_t pos = 0;
        while (pos < size) {
            const uint8_t code = area[pos];
            if (code == kOptEnd) return;
            if (code == kOptPad) {
                ++pos;
                continue;
            }
            if (size - pos < 2) return;
            const size_t length = area[pos + 1];
            if (size - pos - 2 < length) return;
            Option(code, area + pos + 2, length, main_area);
            pos += 2 + length;
        }
    }
};

} // namespace

bool ParseDhcpClient(const uint8_t *data, size_t size, DhcpClientMessage &message)
{
    if (data == nullptr || size < kOptionsOffset || data[0] != 1) return false;
    if (std::memcmp(data + kCookieOffset, kCookie, sizeof kCookie) != 0) return false;

    message = DhcpClientMessage {};
    std::memcpy(message.chaddr.data(), data + kChaddrOffset, message.chaddr.size());

    OptionReader reader {message};
    reader.Area(data + kOptionsOffset, size - kOptionsOffset, true);
    // RFC 2131: the file field is read before sname.
    if (reader.overload == 1 || reader.overload == 3) reader.Area(data + kFileOffset, kFileSize, false);
    if (reader.overload == 2 || reader.overload == 3) reader.Area(data + kSnameOffset, kSnameSize, false);
    return true;
}

bool ParseDhcpRelayed(const uint8_t *data, size_t size, MacAddress &client, IpAddress &client_ip)
{
    constexpr size_t kCiaddrOffset = 12, kGiaddrOffset = 24;
    if (data == nullptr || size < kOptionsOffset || data[0] != 1 || data[1] != 1 || data[2] != 6)
        return false;
    if (std::memcmp(data + kCookieOffset, kCookie, sizeof kCookie) != 0) return false;
    static const uint8_t kNone[4] = {0, 0, 0, 0};
    if (std::memcmp(data + kGiaddrOffset, kNone, 4) == 0) return false;
    std::memcpy(client.data(), data + kChaddrOffset, client.size());
    client_ip = IpAddress {};
    client_ip.family = 4;
    std::memcpy(client_ip.bytes.data(), data + kCiaddrOffset, 4);
    return true;
}

DatagramVerdict DhcpStep(const Datagram &in, Attributes &out)
{
    DhcpClientMessage message;
    if (in.dst_port == 67 && ParseDhcpClient(in.data, in.size, message))
        out.DhcpTexts(message.fingerprint, message.class_ident, message.host_name);
    return DatagramVerdict::MORE;
}

} // namespace ostrel_capture
