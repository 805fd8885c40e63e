#include "capture/quic.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "capture_payloads.h"
#include "udp_payloads.h"

using namespace ostrel_capture;

namespace {

using Bytes = std::vector<uint8_t>;

using ostrel_capture_test::FromHex;

std::string ToHex(const uint8_t *data, size_t size)
{
    static const char HEX[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < size; ++i) {
        out += HEX[data[i] >> 4];
        out += HEX[data[i] & 0x0f];
    }
    return out;
}

// The client Initial keys of RFC 9001 Appendix A.1, for this DCID.
const char RFC_DCID[] = "8394c8f03e515708";
const char RFC_KEY[] = "1f369613dd76d5467730efcbe3b1a22d";
const char RFC_IV[] = "fa044b2f42a3fd3b46fb255c";
const char RFC_HP[] = "9f50449e04a0e810283a1e9933adedd2";

const char FIREFOX_JA4[] = "q13d1715h2_5b57614c22b0_3d5424432f57";
constexpr uint32_t QUIC_V2 = 0x6b3343cf;

void PutVarint(Bytes &out, uint64_t value)
{
    if (value < 64) {
        out.push_back(static_cast<uint8_t>(value));
    } else if (value < 16384) {
        out.push_back(static_cast<uint8_t>(0x40 | value >> 8));
        out.push_back(static_cast<uint8_t>(value));
    } else {
        for (int i = 3; i >= 0; --i)
            out.push_back(static_cast<uint8_t>((i == 3 ? 0x80 : 0) | value >> (8 * i)));
    }
}

Bytes Crypto(uint64_t offset, const Bytes &stream, size_t from, size_t size)
{
    Bytes frame {0x06};
    PutVarint(frame, offset);
    PutVarint(frame, size);
    frame.insert(frame.end(), stream.begin() + static_cast<long>(from),
        stream.begin() + static_cast<long>(from + size));
    return frame;
}

Bytes Crypto(const Bytes &stream, size_t from, size_t size)
{
    return Crypto(from, stream, from, size);
}

Bytes Join(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

struct Keys {
    Bytes key, iv, hp;
};

Keys RfcKeys()
{
    return {FromHex(RFC_KEY), FromHex(RFC_IV), FromHex(RFC_HP)};
}

struct PacketFields {
    unsigned type = 0; // version 1: 0 Initial, 1 0-RTT, 2 Handshake; version 2: 1, 2, 3
    Bytes dcid = FromHex(RFC_DCID);
    Bytes scid;
    Bytes token;
    uint64_t number = 0;
    size_t number_size = 4;
    Bytes frames;
    uint32_t version = 1;
};

// A protected long-header packet, sealed here with libcrypto directly so the
// code under test is checked against an encryption of its own.
Bytes Seal(const PacketFields &fields, const Keys &keys)
{
    Bytes frames = fields.frames;
    while (frames.size() + fields.number_size < 4)
        frames.push_back(0); // room for the sample
    Bytes packet {static_cast<uint8_t>(0xc0 | fields.type << 4 | (fields.number_size - 1))};
    for (int i = 3; i >= 0; --i)
        packet.push_back(static_cast<uint8_t>(fields.version >> (8 * i)));
    packet.push_back(static_cast<uint8_t>(fields.dcid.size()));
    packet.insert(packet.end(), fields.dcid.begin(), fields.dcid.end());
    packet.push_back(static_cast<uint8_t>(fields.scid.size()));
    packet.insert(packet.end(), fields.scid.begin(), fields.scid.end());
    if (fields.type == (fields.version == QUIC_V2 ? 1u : 0u)) {
        PutVarint(packet, fields.token.size());
        packet.insert(packet.end(), fields.token.begin(), fields.token.end());
    }
    size_t length = fields.number_size + frames.size() + 16;
    packet.push_back(static_cast<uint8_t>(0x40 | length >> 8));
    packet.push_back(static_cast<uint8_t>(length));
    size_t pn_offset = packet.size();
    for (size_t i = fields.number_size; i-- > 0;)
        packet.push_back(static_cast<uint8_t>(fields.number >> (8 * i)));

    uint8_t nonce[12];
    std::memcpy(nonce, keys.iv.data(), 12);
    for (size_t i = 0; i < 8; ++i)
        nonce[11 - i] ^= static_cast<uint8_t>(fields.number >> (8 * i));
    EVP_CIPHER_CTX *ctx = EVP_CIPHER_CTX_new();
    Bytes sealed(frames.size() + 16);
    int n = 0;
    EXPECT_EQ(EVP_EncryptInit_ex(ctx, EVP_aes_128_gcm(), nullptr, keys.key.data(), nonce), 1);
    EXPECT_EQ(EVP_EncryptUpdate(ctx, nullptr, &n, packet.data(), static_cast<int>(packet.size())), 1);
    EXPECT_EQ(EVP_EncryptUpdate(ctx, sealed.data(), &n, frames.data(), static_cast<int>(frames.size())), 1);
    EXPECT_EQ(EVP_EncryptFinal_ex(ctx, sealed.data() + n, &n), 1);
    EXPECT_EQ(EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, sealed.data() + frames.size()), 1);
    EVP_CIPHER_CTX_free(ctx);
    packet.insert(packet.end(), sealed.begin(), sealed.end());

    uint8_t mask[32];
    ctx = EVP_CIPHER_CTX_new();
    EXPECT_EQ(EVP_EncryptInit_ex(ctx, EVP_aes_128_ecb(), nullptr, keys.hp.data(), nullptr), 1);
    EXPECT_EQ(EVP_EncryptUpdate(ctx, mask, &n, packet.data() + pn_offset + 4, 16), 1);
    EVP_CIPHER_CTX_free(ctx);
    packet[0] ^= mask[0] & 0x0f;
    for (size_t i = 0; i < fields.number_size; ++i)
        packet[pn_offset + i] ^= mask[1 + i];
    return packet;
}

Bytes Initial(uint64_t number, Bytes frames, size_t number_size = 4)
{
    PacketFields fields;
    fields.number = number;
    fields.number_size = number_size;
    fields.frames = std::move(frames);
    return Seal(fields, RfcKeys());
}

// Firefox's ClientHello handshake message, from the only frame of tls12.pcap.
Bytes FirefoxHello()
{
    auto payloads = ostrel_capture_test::ReadPayloads(OSTREL_TESTDATA_DIR "/captures/tls12.pcap");
    if (payloads.size() != 1 || payloads[0].payload.size() < 5) return {};
    return Bytes(payloads[0].payload.begin() + 5, payloads[0].payload.end());
}

HelloStatus Feed(QuicClientHello &quic, const Bytes &datagram, std::string &ja4)
{
    return quic.Datagram(datagram.data(), datagram.size(), ja4);
}

class QuicTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_GT(hello.size(), 500u); }
    Bytes hello = FirefoxHello();
    std::string ja4;
};

} // namespace

TEST(QuicKeysTest, InitialKeysOfRfc9001AppendixA)
{
    Bytes dcid = FromHex(RFC_DCID);
    uint8_t key[16], iv[12], hp[16];
    ASSERT_TRUE(detail::DeriveClientInitial(dcid.data(), dcid.size(), key, iv, hp));
    EXPECT_EQ(ToHex(key, 16), RFC_KEY);
    EXPECT_EQ(ToHex(iv, 12), RFC_IV);
    EXPECT_EQ(ToHex(hp, 16), RFC_HP);
    // A.2: the header protection mask from the first packet's sample.
    Bytes sample = FromHex("d1b1c98dd7689fb8ec11d242b123dc9b");
    uint8_t mask[16];
    ASSERT_TRUE(detail::HeaderMask(hp, sample.data(), mask));
    EXPECT_EQ(ToHex(mask, 5), "437b9aec36");

    // RFC 9369 Appendix A.1: version 2's salt and labels, same DCID.
    ASSERT_TRUE(
        detail::DeriveClientInitial(dcid.data(), dcid.size(), key, iv, hp, *FindQuicVersion(QUIC_V2)));
    EXPECT_EQ(ToHex(key, 16), "8b1a0bc121284290a29e0971b5cd045d");
    EXPECT_EQ(ToHex(iv, 12), "91f73e2351d8fa91660e909f");
    EXPECT_EQ(ToHex(hp, 16), "45b95e15235d6f45a6b19cbcb0294ba9");
}

TEST(QuicKeysTest, PacketNumbersDecodeAgainstTheLargestSeen)
{
    using detail::DecodePacketNumber;
    EXPECT_EQ(DecodePacketNumber(true, 0xa82f30ea, 0x9b32, 2), 0xa82f9b32u); // RFC 9000 A.3
    EXPECT_EQ(DecodePacketNumber(false, 0, 0, 4), 0u);
    EXPECT_EQ(DecodePacketNumber(false, 0, 2, 1), 2u);
    EXPECT_EQ(DecodePacketNumber(true, 0x2fe, 0x01, 1), 0x301u); // carries into the next window
    EXPECT_EQ(DecodePacketNumber(true, 0x301, 0xfe, 1), 0x2feu); // a late packet from the window before
    EXPECT_EQ(DecodePacketNumber(true, 1, 0xff, 1), 0xffu); // no window below zero
}

TEST(QuicKeysTest, InitialPacketsAreRecognised)
{
    Bytes initial = Initial(0, {0x01});
    EXPECT_TRUE(LooksLikeQuicClientStart(initial.data(), initial.size()));
    for (Bytes start : std::vector<Bytes> {{0xd0, 0, 0, 0, 1, 0}, // version 1 0-RTT
             {0xd0, 0x6b, 0x33, 0x43, 0xcf, 0}, // version 2 Initial
             {0xc0, 0xff, 0, 0, 0x1d, 0}, {0xc0, 0xff, 0, 0, 0x22, 0}}) // drafts 29 and 34
        EXPECT_TRUE(LooksLikeQuicClientStart(start.data(), start.size())) << ToHex(start.data(), 5);
    struct Case {
        const char *name;
        Bytes bytes;
    };
    std::vector<Case> not_initial = {
        {"too short", {0xc0, 0, 0, 0}},
        {"short header", {0x40, 0, 0, 0, 1, 0}},
        {"fixed bit clear", {0x80, 0, 0, 0, 1, 0}},
        {"Handshake packet", {0xe0, 0, 0, 0, 1, 0}},
        {"version 2 Retry", {0xc0, 0x6b, 0x33, 0x43, 0xcf, 0}},
        {"draft 35", {0xc0, 0xff, 0, 0, 0x23, 0}},
        {"version negotiation", {0xc0, 0, 0, 0, 0, 0}},
    };
    for (const Case &c : not_initial)
        EXPECT_FALSE(LooksLikeQuicClientStart(c.bytes.data(), c.bytes.size())) << c.name;
}

TEST_F(QuicTest, WholeHelloInOneInitialGivesItsJa4)
{
    QuicClientHello quic;
    ASSERT_EQ(Feed(quic, Initial(0, Join({Crypto(hello, 0, hello.size()), Bytes(200, 0)})), ja4),
        HelloStatus::FOUND);
    EXPECT_EQ(ja4, FIREFOX_JA4);
    // Later datagrams of the connection give the same answer.
    std::string again;
    EXPECT_EQ(Feed(quic, Bytes {0x40, 1, 2, 3}, again), HelloStatus::FOUND);
    EXPECT_EQ(again, FIREFOX_JA4);
}

// Version 2 and the drafts have their own salts (and version 2 its labels and
// type bits); a 0-RTT packet before the Initial does not end the search.
TEST_F(QuicTest, OtherVersionsAndZeroRttFirstGiveTheJa4)
{
    for (uint32_t version : {QUIC_V2, 0xff00001du, 0xff000022u}) {
        PacketFields fields;
        fields.version = version;
        fields.type = version == QUIC_V2 ? 1 : 0;
        fields.frames = Crypto(hello, 0, hello.size());
        uint8_t key[16], iv[12], hp[16];
        ASSERT_TRUE(detail::DeriveClientInitial(
            fields.dcid.data(), fields.dcid.size(), key, iv, hp, *FindQuicVersion(version)));
        PacketFields zero_rtt = fields;
        zero_rtt.type = version == QUIC_V2 ? 2 : 1;
        const Keys keys {Bytes(key, key + 16), Bytes(iv, iv + 12), Bytes(hp, hp + 16)};
        QuicClientHello quic;
        ASSERT_EQ(Feed(quic, Seal(zero_rtt, keys), ja4), HelloStatus::NEED_MORE) << version;
        ASSERT_EQ(Feed(quic, Seal(fields, keys), ja4), HelloStatus::FOUND) << version;
        EXPECT_EQ(ja4, FIREFOX_JA4);
        // Version 1 keys do not open a draft 29 Initial.
        if (version == 0xff00001du) {
            QuicClientHello other;
            EXPECT_NE(Feed(other, Seal(fields, RfcKeys()), ja4), HelloStatus::FOUND);
        }
    }
}

TEST_F(QuicTest, CryptoFramesOutOfOrderOverlappingAndOverPackets)
{
    size_t n = hello.size();
    Bytes ack {0x02, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}; // one extra range
    Bytes ack_ecn {0x03, 0x05, 0x40, 0x10, 0x01, 0x01, 0x00, 0x00, 0x07, 0x08, 0x09}; // and ECN counts
    QuicClientHello quic;
    // First datagram: the tail and a middle part, out of order, between other frames.
    Bytes first = Initial(0,
        Join({Bytes {0x01}, Crypto(hello, 300, n - 300), ack, Bytes(40, 0), ack_ecn,
            Crypto(hello, 100, 150)}));
    ASSERT_EQ(Feed(quic, first, ja4), HelloStatus::NEED_MORE);
    // Second datagram: two coalesced Initials with overlapping and repeated
    // pieces, the packet numbers 1 and 2 sent as one byte.
    Bytes second = Join({Initial(1, Join({Crypto(hello, 200, 150), Crypto(hello, 100, 150)}), 1),
        Initial(2, Join({Crypto(hello, 0, 120), Crypto(hello, 250, 60)}), 1)});
    ASSERT_EQ(Feed(quic, second, ja4), HelloStatus::FOUND);
    EXPECT_EQ(ja4, FIREFOX_JA4);
}

TEST_F(QuicTest, PacketsThatDoNotOpenAreSkipped)
{
    size_t n = hello.size();
    QuicClientHello quic;
    // Tampered ciphertext fails its tag; the rest of the datagram is still read.
    Bytes tampered = Initial(0, Crypto(hello, 0, n));
    tampered[tampered.size() - 20] ^= 0x01;
    // A server's Initial (other DCID, other keys), a Handshake packet and a
    // 0-RTT packet coalesced after it are not read as the client's.
    PacketFields server;
    server.dcid = FromHex("c0ffee");
    server.frames = Crypto(hello, 0, 100);
    uint8_t key[16], iv[12], hp[16];
    ASSERT_TRUE(detail::DeriveClientInitial(server.dcid.data(), server.dcid.size(), key, iv, hp));
    Keys other {Bytes(key, key + 16), Bytes(iv, iv + 12), Bytes(hp, hp + 16)};
    PacketFields handshake;
    handshake.type = 2;
    handshake.frames = Crypto(hello, 0, n);
    Bytes first = Join({tampered, Seal(server, other), Seal(handshake, RfcKeys())});
    ASSERT_EQ(Feed(quic, first, ja4), HelloStatus::NEED_MORE);

    // Packet number 0x301 sent as one byte after 0x2fe: the nonce needs the
    // decoded number, the truncated one would not open.
    ASSERT_EQ(Feed(quic, Initial(0x2fe, Crypto(hello, 0, 200), 2), ja4), HelloStatus::NEED_MORE);
    ASSERT_EQ(Feed(quic, Initial(0x301, Crypto(hello, 200, n - 200), 1), ja4), HelloStatus::FOUND);
    EXPECT_EQ(ja4, FIREFOX_JA4);
}

TEST_F(QuicTest, ConnectionsThatGiveNoHello)
{
    size_t n = hello.size();
    Bytes not_hello = hello;
    not_hello[0] = 2; // a ServerHello
    PacketFields v2;
    v2.version = 0x6b3343cf;
    v2.frames = Crypto(hello, 0, n);
    PacketFields short_dcid;
    short_dcid.dcid = FromHex("01020304");
    short_dcid.frames = Crypto(hello, 0, n);
    Bytes over_bound = Initial(0, Crypto(65530, hello, 0, 10));
    Bytes many_pieces_frames;
    for (size_t i = 0; i < 300; ++i) {
        Bytes f = Crypto(2 * i, hello, i % 100, 1);
        many_pieces_frames.insert(many_pieces_frames.end(), f.begin(), f.end());
    }
    struct Case {
        const char *name;
        std::vector<Bytes> datagrams;
        HelloStatus last;
    };
    std::vector<Case> cases = {
        {"version 2 Retry first", {Seal(v2, RfcKeys())}, HelloStatus::NOT_HELLO},
        {"first DCID under 8 bytes", {Seal(short_dcid, RfcKeys())}, HelloStatus::NOT_HELLO},
        {"short header first", {Bytes {0x41, 1, 2, 3, 4, 5, 6, 7}}, HelloStatus::NOT_HELLO},
        {"past the Initials with no hello", {Initial(0, Crypto(hello, 0, 100)), Bytes {0x41, 1, 2}},
            HelloStatus::NOT_HELLO},
        {"CRYPTO stream not a ClientHello", {Initial(0, Crypto(not_hello, 0, n))}, HelloStatus::NOT_HELLO},
        {"CRYPTO past 64 KiB", {over_bound}, HelloStatus::NOT_HELLO},
        {"too many separate pieces", {Initial(0, many_pieces_frames)}, HelloStatus::NOT_HELLO},
        // An unknown frame ends reading: the CRYPTO frame after it is not seen.
        {"unknown frame first", {Initial(0, Join({Bytes {0x1c, 0x00, 0x00, 0x00}, Crypto(hello, 0, n)}))},
            HelloStatus::NEED_MORE},
        {"empty datagram", {Bytes {}}, HelloStatus::NEED_MORE},
    };
    for (const Case &c : cases) {
        QuicClientHello quic;
        HelloStatus status = HelloStatus::NEED_MORE;
        for (const Bytes &d : c.datagrams)
            status = Feed(quic, d, ja4);
        EXPECT_EQ(status, c.last) << c.name;
        if (status == HelloStatus::NOT_HELLO) {
            // It stays so, even when the hello follows.
            EXPECT_EQ(Feed(quic, Initial(5, Crypto(hello, 0, n)), ja4), HelloStatus::NOT_HELLO) << c.name;
        }
    }
}

TEST_F(QuicTest, CutAndCorruptedDatagramsAreSkippedSafely)
{
    Bytes datagram
        = Join({Initial(0, Crypto(hello, 0, 300)), Initial(1, Crypto(hello, 300, hello.size() - 300))});
    for (size_t size = 0; size < datagram.size(); size += 7) {
        QuicClientHello quic;
        HelloStatus status = quic.Datagram(datagram.data(), size, ja4);
        EXPECT_NE(status, HelloStatus::FOUND) << size;
    }
    std::mt19937 random(11);
    for (int round = 0; round < 300; ++round) {
        Bytes bad = datagram;
        for (int k = 0; k < 3; ++k)
            bad[random() % 80] = static_cast<uint8_t>(random()); // headers mostly
        QuicClientHello quic;
        quic.Datagram(bad.data(), bad.size(), ja4);
    }
    // Random frames under valid protection reach the frame reader itself.
    const uint8_t types[] = {0x00, 0x01, 0x02, 0x03, 0x06, 0x06, 0x06};
    for (int round = 0; round < 300; ++round) {
        Bytes frames;
        for (int k = 0; k < 6; ++k) {
            frames.push_back(types[random() % sizeof types]);
            size_t size = random() % 12;
            for (size_t i = 0; i < size; ++i)
                frames.push_back(static_cast<uint8_t>(random()));
        }
        Bytes sealed = Initial(0, frames);
        QuicClientHello quic;
        Feed(quic, sealed, ja4);
    }
}

TEST(QuicCaptureTest, ChromeInitialsInCapturesGiveTheirJa4)
{
    struct File {
        const char *name;
        size_t connections;
    };
    for (File file : {File {"tls-sni.pcapng", 20}, File {"suricata-ja4-tls-quic.pcap", 1}}) {
        auto payloads
            = ostrel_capture_test::ReadPayloads(std::string(OSTREL_TESTDATA_DIR "/captures/") + file.name);
        std::map<std::string, QuicClientHello> connections;
        std::map<std::string, std::string> found;
        for (const auto &p : payloads) {
            if (p.tcp || p.dst_port != 443) continue;
            std::string ja4;
            if (connections[p.flow].Datagram(p.payload.data(), p.payload.size(), ja4) == HelloStatus::FOUND)
                found[p.flow] = ja4;
        }
        EXPECT_EQ(found.size(), file.connections) << file.name;
        for (const auto &flow_ja4 : found)
            EXPECT_EQ(flow_ja4.second, "q13d0310h3_55b375c5d22e_cd85d2d88918")
                << file.name << " " << flow_ja4.first;
    }
}
