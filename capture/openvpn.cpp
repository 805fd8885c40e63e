// OpenVPN control packets: opcode and key id in one byte, the sender's
// session id, with tls-auth an HMAC, packet id and time, then the ack array
// (count, packet ids, the peer's session id when count > 0) and, but in
// P_ACK_V1, the message packet id before the payload.
#include "capture/openvpn.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "capture/byte_reader.h"
#include "capture/protocols.h"

namespace ostrel_capture {
namespace {

constexpr uint8_t OP_CONTROL_V1 = 4;
constexpr uint8_t OP_DATA_V1 = 6;
constexpr uint8_t OP_HARD_RESET_CLIENT_V2 = 7;
constexpr uint8_t OP_DATA_V2 = 9;

constexpr size_t SESSION_ID = 8;
constexpr size_t REPLAY_FIELDS = 8; // tls-auth's packet id and time after its HMAC
constexpr size_t MAX_ACKS = 8; // the most ids one packet acknowledges
constexpr size_t HMAC_SIZES[] = {0, 20, 32, 64}; // none, SHA-1, SHA-256, SHA-512
// A hard reset carries at most a few early-negotiation TLVs.
constexpr size_t MAX_RESET_PAYLOAD = 128;
constexpr size_t MIN_RESET = 1 + SESSION_ID + 1 + 4; // without tls-auth, without payload
constexpr size_t MAX_RESET = 1 + SESSION_ID + 64 + REPLAY_FIELDS + 1 + 4 + MAX_RESET_PAYLOAD;
constexpr size_t MAX_JOINED = 16384; // joined and held-ahead bytes of one session
constexpr size_t MAX_AHEAD = 16; // payloads held past a gap
constexpr size_t MAX_PACKETS = 64; // client packets read for one hello

uint8_t Opcode(uint8_t first)
{
    return first >> 3;
}

uint8_t KeyId(uint8_t first)
{
    return first & 0x07;
}

// A P_CONTROL_V1's message packet id and payload, after its session id,
// HMAC and ack array.
bool ReadControl(const uint8_t *packet, size_t size, size_t hmac, uint32_t &id, ByteReader &payload)
{
    ByteReader r(packet, size);
    r.Skip(1 + SESSION_ID);
    if (hmac > 0) r.Skip(hmac + REPLAY_FIELDS);
    size_t acks = r.U8();
    if (!r.Ok() || acks > MAX_ACKS) return false;
    r.Skip(acks * 4);
    if (acks > 0) r.Skip(SESSION_ID);
    uint32_t high = r.U16();
    id = high << 16 | r.U16();
    if (!r.Ok()) return false;
    payload = r.Sub(r.Left());
    return true;
}

// The layout of a client's hard reset: the HMAC size that makes the rest
// parse as the first message of a session (nothing acknowledged, packet id
// 0). The chance that random bytes pass is about 2^-40 per layout.
bool HardResetLayout(const uint8_t *packet, size_t size, size_t &hmac)
{
    if (size < MIN_RESET || packet[0] != OP_HARD_RESET_CLIENT_V2 << 3) return false;
    for (size_t candidate : HMAC_SIZES) {
        size_t acks_at = 1 + SESSION_ID + (candidate > 0 ? candidate + REPLAY_FIELDS : 0);
        if (size < acks_at + 5 || size - acks_at - 5 > MAX_RESET_PAYLOAD) continue;
        if (packet[acks_at] != 0 || Read32(packet + acks_at + 1) != 0) continue;
        hmac = candidate;
        return true;
    }
    return false;
}

struct OpenVpnState : StepState {
    OpenVpnControl control;
    size_t Memory() const override { return control.Memory(); }
};

} // namespace

bool OpenVpnControl::Start(const uint8_t *packet, size_t size)
{
    if (!HardResetLayout(packet, size, hmac)) return false;
    std::memcpy(session, packet + 1, SESSION_ID);
    return true;
}

void OpenVpnControl::Packet(const uint8_t *packet, size_t size)
{
    if (state != HelloStatus::NEED_MORE || size == 0) return;
    uint8_t opcode = Opcode(packet[0]);
    // The data channel began, or the hello takes too long: what is joined
    // is all there will be.
    if (opcode == OP_DATA_V1 || opcode == OP_DATA_V2 || ++packets > MAX_PACKETS) {
        Look();
        if (state == HelloStatus::NEED_MORE) End(HelloStatus::NOT_HELLO);
        return;
    }
    // Acks and the other opcodes carry nothing read here.
    uint32_t id = 0;
    ByteReader payload(packet, 0);
    if (opcode != OP_CONTROL_V1 || KeyId(packet[0]) != 0 || size < 1 + SESSION_ID
        || std::memcmp(packet + 1, session, SESSION_ID) != 0 || !ReadControl(packet, size, hmac, id, payload))
        return;
    // Retransmissions: an id already joined or held counts once.
    if (id < next_id) return;
    if (id == next_id) {
        Append(payload.Here(), payload.Left());
        ++next_id;
        for (auto it = ahead.begin(); it != ahead.end() && it->first == next_id; it = ahead.erase(it)) {
            ahead_bytes -= it->second.size();
            Append(it->second);
            ++next_id;
        }
        return;
    }
    // Past a gap: held while there is room, else left to its retransmission.
    if (ahead.size() >= MAX_AHEAD || joined.size() + ahead_bytes + payload.Left() > MAX_JOINED
        || ahead.count(id) > 0)
        return;
    ahead.emplace(id, std::vector<uint8_t>(payload.Here(), payload.Here() + payload.Left()));
    ahead_bytes += payload.Left();
}

void OpenVpnControl::Append(const std::vector<uint8_t> &bytes)
{
    Append(bytes.data(), bytes.size());
}

void OpenVpnControl::Append(const uint8_t *data, size_t size)
{
    size_t room = MAX_JOINED - std::min(MAX_JOINED, joined.size());
    joined.insert(joined.end(), data, data + std::min(size, room));
    grew = true;
}

HelloStatus OpenVpnControl::Hello(std::string &ja4)
{
    Look();
    if (state == HelloStatus::FOUND) ja4 = found;
    return state;
}

void OpenVpnControl::Look()
{
    if (state != HelloStatus::NEED_MORE || !grew) return;
    grew = false;
    HelloStatus status = Ja4FromTlsStream(joined.data(), joined.size(), found);
    if (status == HelloStatus::NEED_MORE && joined.size() >= MAX_JOINED) status = HelloStatus::NOT_HELLO;
    if (status != HelloStatus::NEED_MORE) End(status);
}

void OpenVpnControl::End(HelloStatus status)
{
    state = status;
    std::vector<uint8_t>().swap(joined);
    ahead.clear();
    ahead_bytes = 0;
}

size_t OpenVpnControl::Memory() const
{
    // A map node costs its vector and the tree's links besides the bytes.
    return sizeof(OpenVpnControl) + joined.capacity() + ahead_bytes + ahead.size() * 64;
}

bool StartsOpenVpnDatagram(const uint8_t *data, size_t size)
{
    size_t hmac = 0;
    return HardResetLayout(data, size, hmac);
}

bool StartsOpenVpnStream(const uint8_t *data, size_t size)
{
    // The first segment may end inside the hard reset: its length and opcode
    // byte pick the row, and the step reads the rest once it is there.
    // No HTTP request or prelude has this opcode byte after such a length.
    if (size < 3 || data[2] != OP_HARD_RESET_CLIENT_V2 << 3) return false;
    size_t length = Read16(data);
    return length >= MIN_RESET && length <= MAX_RESET;
}

DatagramVerdict OpenVpnUdpStep(const Datagram &in, Attributes &out)
{
    if (!*in.state) {
        // The flow's first datagram, the client's hard reset.
        auto state = std::make_unique<OpenVpnState>();
        if (!state->control.Start(in.data, in.size)) return DatagramVerdict::DONE;
        *in.state = std::move(state);
        return DatagramVerdict::MORE;
    }
    if (!in.from_client) return DatagramVerdict::MORE;
    OpenVpnControl &control = static_cast<OpenVpnState &>(**in.state).control;
    control.Packet(in.data, in.size);
    std::string ja4;
    HelloStatus status = control.Hello(ja4);
    if (status == HelloStatus::FOUND) out.Ja4(ja4);
    return status == HelloStatus::NEED_MORE ? DatagramVerdict::MORE : DatagramVerdict::DONE;
}

StreamVerdict OpenVpnTcpStep(const StreamBytes &in, Attributes &out)
{
    // The kept stream is read again from its start at each call: a step holds
    // nothing between calls, and the stream's bound bounds the work.
    OpenVpnControl control;
    size_t pos = 0;
    bool started = false;
    while (in.size - pos >= 2) {
        size_t length = Read16(in.data + pos);
        if (length == 0) return {StreamVerdict::DONE, 0};
        if (in.size - pos - 2 < length) break;
        const uint8_t *packet = in.data + pos + 2;
        if (!started) {
            // Not a hard reset after all: what else it may be is the preludes' to say.
            if (!control.Start(packet, length)) return {StreamVerdict::NOT_MINE, 0};
            out.Detected(PROTO_OPENVPN);
            started = true;
        } else {
            control.Packet(packet, length);
        }
        pos += 2 + length;
    }
    std::string ja4;
    HelloStatus status = control.Hello(ja4);
    if (status == HelloStatus::FOUND) out.Ja4(ja4);
    if (status == HelloStatus::NEED_MORE && !in.full) return {StreamVerdict::WAIT, 0};
    return {StreamVerdict::DONE, 0};
}

} // namespace ostrel_capture
