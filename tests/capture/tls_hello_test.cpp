#include "capture/tls_hello.h"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "capture_payloads.h"
#include "udp_payloads.h"

using namespace ostrel_capture;

namespace {

using Bytes = std::vector<uint8_t>;

using ostrel_capture_test::FromHex;

void Put16(Bytes &out, size_t value)
{
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

struct Extension {
    uint16_t type;
    Bytes data;
};

Extension Sni(const std::string &host)
{
    Bytes d;
    Put16(d, host.size() + 3);
    d.push_back(0);
    Put16(d, host.size());
    d.insert(d.end(), host.begin(), host.end());
    return {0x0000, d};
}

Extension Alpn(const std::vector<Bytes> &protocols)
{
    Bytes list;
    for (const Bytes &p : protocols) {
        list.push_back(static_cast<uint8_t>(p.size()));
        list.insert(list.end(), p.begin(), p.end());
    }
    Bytes d;
    Put16(d, list.size());
    d.insert(d.end(), list.begin(), list.end());
    return {0x0010, d};
}

Bytes Text(const std::string &text)
{
    return Bytes(text.begin(), text.end());
}

Extension U16List(uint16_t type, const std::vector<uint16_t> &values)
{
    Bytes d;
    Put16(d, values.size() * 2);
    for (uint16_t v : values)
        Put16(d, v);
    return {type, d};
}

Extension Versions(const std::vector<uint16_t> &values)
{
    Bytes d {static_cast<uint8_t>(values.size() * 2)};
    for (uint16_t v : values)
        Put16(d, v);
    return {0x002b, d};
}

struct HelloFields {
    uint16_t legacy_version = 0x0303;
    std::vector<uint16_t> ciphers;
    std::vector<Extension> extensions;
    bool extensions_block = true; // false: the hello ends after compression methods
};

// The ClientHello handshake message (type, 3-byte length, body).
Bytes Handshake(const HelloFields &fields)
{
    Bytes body;
    Put16(body, fields.legacy_version);
    body.insert(body.end(), 32, 0x11); // random
    body.push_back(0); // session id
    Put16(body, fields.ciphers.size() * 2);
    for (uint16_t c : fields.ciphers)
        Put16(body, c);
    body.push_back(1); // compression: null
    body.push_back(0);
    if (fields.extensions_block) {
        Bytes exts;
        for (const Extension &e : fields.extensions) {
            Put16(exts, e.type);
            Put16(exts, e.data.size());
            exts.insert(exts.end(), e.data.begin(), e.data.end());
        }
        Put16(body, exts.size());
        body.insert(body.end(), exts.begin(), exts.end());
    }
    Bytes out {1, static_cast<uint8_t>(body.size() >> 16), static_cast<uint8_t>(body.size() >> 8),
        static_cast<uint8_t>(body.size())};
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

// The handshake bytes in TLS records of at most `fragment` bytes each.
Bytes Records(const Bytes &handshake, size_t fragment)
{
    Bytes out;
    for (size_t pos = 0; pos < handshake.size(); pos += fragment) {
        size_t n = std::min(fragment, handshake.size() - pos);
        out.insert(out.end(), {22, 3, 1});
        Put16(out, n);
        out.insert(out.end(), handshake.begin() + pos, handshake.begin() + pos + n);
    }
    return out;
}

HelloFields Base()
{
    HelloFields fields;
    fields.ciphers = {0x1301, 0x1302, 0x1303, 0xc02b};
    fields.extensions = {
        Sni("example.com"),
        Alpn({Text("h2"), Text("http/1.1")}),
        {0x000a, {0x00, 0x02, 0x00, 0x1d}},
        U16List(0x000d, {0x0403, 0x0804, 0x0401}),
        Versions({0x0304, 0x0303}),
        {0x0033, {0x00, 0x00}},
    };
    return fields;
}

const char BASE_CIPHERS[] = "39e807bd56df"; // 1301,1302,1303,c02b
const char BASE_EXTENSIONS[] = "5d4d534e3685"; // 000a,000d,002b,0033_0403,0804,0401
const char BASE_JA4[] = "t13d0406h2_39e807bd56df_5d4d534e3685";

std::string Ja4(const HelloFields &fields, char transport = 't')
{
    std::string ja4;
    Bytes hs = Handshake(fields);
    HelloStatus status = Ja4FromHandshake(hs.data(), hs.size(), transport, ja4);
    return status == HelloStatus::FOUND ? ja4 : "status " + std::to_string(static_cast<int>(status));
}

HelloStatus StreamStatus(const Bytes &stream)
{
    std::string ja4;
    return Ja4FromTlsStream(stream.data(), stream.size(), ja4);
}

// Firefox's ClientHello of tls12.pcap, the TCP payload of its only frame.
const char FIREFOX_RECORD[]
    = "1603010200010001fc0303ecb2691addb2bf6c599c7aaae23de5f42561cc04eb41029acc6fc050a16ac1d22046f8617b580a"
      "c9358e2aa44e306d52466bcc989c87c8ca64309f5faf50ba7b4d0022130113031302c02bc02fcca9cca8c02cc030c00ac009"
      "c013c014009c009d002f00350100019100000021001f00001c636f6e74696c652e73657276696365732e6d6f7a696c6c612e"
      "636f6d00170000ff01000100000a000e000c001d00170018001901000101000b00020100002300000010000e000c02683208"
      "687474702f312e310005000501000000000022000a000804030503060302030033006b0069001d00208909858fbeb6ed2f12"
      "48ba5b9e2978bead0e840110192c61daed0096798b184400170041044d183d91f5eed35791fa982464e3b0214aaa5f5d1b78"
      "616d9b9fbebc22d11f535b2f94c686143136aa795e6e5a875d6c08064ad5b76d44caad766e2483012748002b000504030403"
      "03000d0018001604030503060308040805080604010501060102030201002d00020101001c000240010015007a0000000000"
      "0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
      "0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
      "0000000000000000000000000000000000";

} // namespace

TEST(TlsHelloTest, FirefoxHelloFromCaptureGivesItsPublishedJa4)
{
    Bytes stream = FromHex(FIREFOX_RECORD);
    std::string ja4;
    ASSERT_EQ(Ja4FromTlsStream(stream.data(), stream.size(), ja4), HelloStatus::FOUND);
    EXPECT_EQ(ja4, "t13d1715h2_5b57614c22b0_3d5424432f57");

    // Any shorter prefix, from the empty stream on, waits for more.
    for (size_t size = 0; size < stream.size(); ++size)
        ASSERT_EQ(Ja4FromTlsStream(stream.data(), size, ja4), HelloStatus::NEED_MORE) << size;

    // The same hello cut into small records reads the same.
    Bytes split = Records(Bytes(stream.begin() + 5, stream.end()), 100);
    ASSERT_EQ(Ja4FromTlsStream(split.data(), split.size(), ja4), HelloStatus::FOUND);
    EXPECT_EQ(ja4, "t13d1715h2_5b57614c22b0_3d5424432f57");
}

TEST(TlsHelloTest, Ja4PartsFollowTheHelloFields)
{
    EXPECT_EQ(Ja4(Base()), BASE_JA4);
    EXPECT_EQ(Ja4(Base(), 'q'), std::string("q") + (BASE_JA4 + 1));

    struct Case {
        const char *name;
        HelloFields fields;
        std::string ja4;
    };
    std::vector<Case> cases;
    auto variant = [&](const char *name, std::string ja4, auto change) {
        HelloFields fields = Base();
        change(fields);
        cases.push_back({name, fields, ja4});
    };
    std::string tail = std::string("_") + BASE_CIPHERS + "_" + BASE_EXTENSIONS;
    variant("GREASE everywhere is ignored", BASE_JA4, [](HelloFields &s) {
        s.ciphers.insert(s.ciphers.begin(), 0x2a2a);
        s.ciphers.push_back(0xfafa);
        s.extensions.insert(s.extensions.begin(), Extension {0x1a1a, {}});
        s.extensions.push_back(Extension {0xeaea, {0x00}});
        s.extensions[4] = Versions({0x7a7a, 0x0304, 0x0303}); // GREASE is numerically the highest
        s.extensions[5] = U16List(0x000d, {0x0403, 0x0804, 0x0401, 0x0a0a});
    });
    variant("cipher order does not matter", BASE_JA4, [](HelloFields &s) {
        s.ciphers = {0xc02b, 0x1303, 0x1301, 0x1302};
    });
    variant("extension order does not matter", BASE_JA4,
        [](HelloFields &s) { std::reverse(s.extensions.begin(), s.extensions.end()); });
    variant("signature algorithm order does", "t13d0406h2_39e807bd56df_8662d833cf46", [](HelloFields &s) {
        s.extensions[3] = U16List(0x000d, {0x0804, 0x0403, 0x0401});
    });
    variant("no server name: i, one extension fewer", "t13i0405h2" + tail,
        [](HelloFields &s) { s.extensions.erase(s.extensions.begin()); });
    variant(
        "no ALPN", "t13d040500" + tail, [](HelloFields &s) { s.extensions.erase(s.extensions.begin() + 1); });
    variant("http/1.1 first", "t13d0406h1" + tail, [](HelloFields &s) {
        s.extensions[1] = Alpn({Text("http/1.1"), Text("h2")});
    });
    variant("one character twice", "t13d0406xx" + tail,
        [](HelloFields &s) { s.extensions[1] = Alpn({Text("x")}); });
    variant("ALPN list empty", "t13d040600" + tail, [](HelloFields &s) { s.extensions[1] = Alpn({}); });
    variant("ALPN first value empty", "t13d040600" + tail, [](HelloFields &s) {
        s.extensions[1] = Alpn({Bytes {}, Text("h2")});
    });
    variant("ALPN not alphanumeric: hex ends", "t13d0406ad" + tail, [](HelloFields &s) {
        s.extensions[1] = Alpn({Bytes {0xab, 0xcd}});
    });
    variant("ALPN one end alphanumeric: still hex", "t13d04063b" + tail, [](HelloFields &s) {
        s.extensions[1] = Alpn({Bytes {0x30, 0xab}});
    });
    variant("ALPN ASCII punctuation at the end", "t13d04066d" + tail,
        [](HelloFields &s) { s.extensions[1] = Alpn({Text("h-")}); });
    variant("no signature algorithms: no underscore", "t13d0405h2_39e807bd56df_3a62dcb2b4a6",
        [](HelloFields &s) { s.extensions.erase(s.extensions.begin() + 3); });
    variant("signature algorithms all GREASE: as none", "t13d0406h2_39e807bd56df_263eba10f34f",
        [](HelloFields &s) { s.extensions[3] = U16List(0x000d, {0x0a0a}); });
    variant("TLS 1.2 only: legacy version", "t12d0405h2_39e807bd56df_5086c4c6ee75",
        [](HelloFields &s) { s.extensions.erase(s.extensions.begin() + 4); });
    variant("TLS 1.0 legacy", "t10d0405h2_39e807bd56df_5086c4c6ee75", [](HelloFields &s) {
        s.legacy_version = 0x0301;
        s.extensions.erase(s.extensions.begin() + 4);
    });
    variant("supported versions only GREASE: legacy version", "t12d0406h2" + tail,
        [](HelloFields &s) { s.extensions[4] = Versions({0x4a4a}); });
    variant(
        "unknown version", "t00d0406h2" + tail, [](HelloFields &s) { s.extensions[4] = Versions({0x7f17}); });
    variant("no ciphers", "t13d0006h2_000000000000_" + std::string(BASE_EXTENSIONS),
        [](HelloFields &s) { s.ciphers.clear(); });
    variant("only SNI and ALPN left", "t12d0402h2_39e807bd56df_000000000000",
        [](HelloFields &s) { s.extensions.resize(2); });
    variant("no extensions block", "t12i040000_39e807bd56df_000000000000",
        [](HelloFields &s) { s.extensions_block = false; });
    variant("counts capped at 99", "t13d9999h2", [](HelloFields &s) {
        for (uint16_t i = 0; i < 120; ++i)
            s.ciphers.push_back(static_cast<uint16_t>(0x0100 + i));
        for (uint16_t i = 0; i < 120; ++i)
            s.extensions.push_back(Extension {static_cast<uint16_t>(0x0100 + i), {}});
    });

    for (const Case &c : cases) {
        std::string ja4 = Ja4(c.fields);
        if (c.ja4.size() == 10)
            EXPECT_EQ(ja4.substr(0, 10), c.ja4) << c.name;
        else
            EXPECT_EQ(ja4, c.ja4) << c.name;
    }
}

TEST(TlsHelloTest, HelloOverRecordsAndSegmentsNeedsMoreUntilWhole)
{
    Bytes handshake = Handshake(Base());
    Bytes stream = Records(handshake, 7); // a record boundary inside the handshake header too
    std::string ja4;
    for (size_t size = 0; size < stream.size(); ++size)
        ASSERT_EQ(Ja4FromTlsStream(stream.data(), size, ja4), HelloStatus::NEED_MORE) << size;
    ASSERT_EQ(Ja4FromTlsStream(stream.data(), stream.size(), ja4), HelloStatus::FOUND);
    EXPECT_EQ(ja4, BASE_JA4);

    // Data after the hello (a second handshake message, application data) is not read.
    stream.insert(stream.end(), {23, 3, 3, 0, 1, 0xff});
    ASSERT_EQ(Ja4FromTlsStream(stream.data(), stream.size(), ja4), HelloStatus::FOUND);

    // Handshake bytes alone: the same waiting.
    for (size_t size = 0; size < handshake.size(); ++size)
        ASSERT_EQ(Ja4FromHandshake(handshake.data(), size, 'q', ja4), HelloStatus::NEED_MORE) << size;
}

TEST(TlsHelloTest, StreamsThatAreNotAClientHello)
{
    Bytes hello = Records(Handshake(Base()), 1000);
    struct Case {
        const char *name;
        Bytes stream;
    };
    Bytes server_hello = hello;
    server_hello[5] = 2;
    Bytes wrong_major = hello;
    wrong_major[1] = 2;
    Bytes empty_record = {22, 3, 1, 0, 0};
    Bytes long_record = {22, 3, 1, 0x48, 0x01}; // 2^14 + 2048 + 1
    Bytes huge_hello = {22, 3, 1, 0x01, 0x00, 1, 0x01, 0x00, 0x01}; // 65537 bytes announced
    Bytes other_record_inside = Records(Handshake(Base()), 20);
    other_record_inside[25] = 21; // the second record is an alert
    std::vector<Case> cases = {
        {"HTTP request", Text("GET / HTTP/1.1\r\n")},
        {"one byte of something else", {0x17}},
        {"application data record", {23, 3, 3, 0, 5, 1, 2, 3, 4, 5}},
        {"record version major not 3", wrong_major},
        {"record version major not 3, header partial", {22, 2}},
        {"record of length 0", empty_record},
        {"record over 2^14 + 2048", long_record},
        {"ServerHello", server_hello},
        {"ClientHello over 64 KiB", huge_hello},
        {"a non-handshake record before the hello ends", other_record_inside},
    };
    for (const Case &c : cases)
        EXPECT_EQ(StreamStatus(c.stream), HelloStatus::NOT_HELLO) << c.name;

    // The largest record and hello allowed still wait for their bytes.
    EXPECT_EQ(StreamStatus({22, 3, 1, 0x48, 0x00, 1, 0x01, 0x00, 0x00}), HelloStatus::NEED_MORE);
}

TEST(TlsHelloTest, MalformedLengthsAreNotAHello)
{
    struct Case {
        const char *name;
        size_t offset; // into the handshake message
        std::vector<uint8_t> bytes;
    };
    // Base(): body at 4; session id length at 38; cipher length at 39..40;
    // compression length at 49; extensions length at 51..52; first extension
    // (SNI) type at 53.
    std::vector<Case> cases = {
        {"session id past the end", 38, {0xff}},
        {"cipher suites of odd length", 39, {0x00, 0x07}},
        {"cipher suites past the end", 39, {0xff, 0xff}},
        {"compression methods past the end", 49, {0xff}},
        {"extensions past the end", 51, {0xff, 0xff}},
        {"an extension past the block", 55, {0xff, 0xf0}},
    };
    for (const Case &c : cases) {
        Bytes hs = Handshake(Base());
        std::copy(c.bytes.begin(), c.bytes.end(), hs.begin() + static_cast<long>(c.offset));
        std::string ja4;
        EXPECT_EQ(Ja4FromHandshake(hs.data(), hs.size(), 't', ja4), HelloStatus::NOT_HELLO) << c.name;
    }

    std::vector<std::pair<const char *, Extension>> inner = {
        {"ALPN list past the extension", {0x0010, {0x00, 0x05, 0x02, 'h', '2'}}},
        {"ALPN value past the list", {0x0010, {0x00, 0x03, 0x05, 'h', '2'}}},
        {"ALPN without its list length", {0x0010, {0x00}}},
        {"signature algorithms of odd length", {0x000d, {0x00, 0x03, 0x04, 0x03, 0x08}}},
        {"signature algorithms past the extension", {0x000d, {0x00, 0x08, 0x04, 0x03}}},
        {"supported versions past the extension", {0x002b, {0x06, 0x03, 0x04}}},
        {"supported versions of odd length", {0x002b, {0x03, 0x03, 0x04, 0x03}}},
    };
    for (const auto &c : inner) {
        HelloFields fields = Base();
        fields.extensions.push_back(c.second);
        EXPECT_EQ(Ja4(fields), "status 2") << c.first;
    }
}

TEST(TlsHelloTest, TruncatedAndCorruptedHellosNeverReadPastTheirBytes)
{
    // Every shortened body announced as whole, then random byte changes: each
    // gives a status, the sanitizers see no stray read.
    Bytes full = Handshake(Base());
    std::string ja4;
    for (size_t body = 0; body + 4 < full.size(); ++body) {
        Bytes hs(full.begin(), full.begin() + static_cast<long>(4 + body));
        hs[1] = 0;
        hs[2] = static_cast<uint8_t>(body >> 8);
        hs[3] = static_cast<uint8_t>(body);
        // Cut right before the extensions block it is a whole hello of old.
        HelloStatus expected = body == 47 ? HelloStatus::FOUND : HelloStatus::NOT_HELLO;
        ASSERT_EQ(Ja4FromHandshake(hs.data(), hs.size(), 't', ja4), expected) << body;
    }
    std::mt19937 random(7);
    Bytes stream = Records(full, 40);
    for (int round = 0; round < 3000; ++round) {
        Bytes bad = stream;
        for (int n = 0; n < 4; ++n)
            bad[random() % bad.size()] = static_cast<uint8_t>(random());
        size_t cut = random() % (bad.size() + 1);
        Ja4FromTlsStream(bad.data(), cut, ja4);
    }
}

// The JA4 of the first ClientHello of each TCP stream of a capture, by the
// frame that completes it. Streams are joined in capture order, retransmitted
// segments left out.
std::map<int, std::string> FirstTcpHellos(const char *file)
{
    auto payloads = ostrel_capture_test::ReadPayloads(std::string(OSTREL_TESTDATA_DIR "/captures/") + file);
    EXPECT_FALSE(payloads.empty()) << file;
    struct Stream {
        Bytes bytes;
        uint32_t next_seq = 0;
        bool done = false;
    };
    std::map<std::string, Stream> streams;
    std::map<int, std::string> found;
    for (const auto &p : payloads) {
        if (!p.tcp) continue;
        Stream &s = streams[p.flow];
        if (s.done || (!s.bytes.empty() && p.seq != s.next_seq)) continue;
        s.bytes.insert(s.bytes.end(), p.payload.begin(), p.payload.end());
        s.next_seq = p.seq + static_cast<uint32_t>(p.payload.size());
        std::string ja4;
        HelloStatus status = Ja4FromTlsStream(s.bytes.data(), s.bytes.size(), ja4);
        if (status == HelloStatus::FOUND) found[p.frame] = ja4;
        s.done = status != HelloStatus::NEED_MORE;
    }
    return found;
}

TEST(TlsHelloTest, FirstHelloOfEveryTcpStreamInCapturesMatchesAnswers)
{
    std::map<int, std::string> latest = {
        {10, "t13d1516h2_8daaf6152771_e5627efa2ab1"},
        {75, "t12d190800_d83cc789557e_7af1ed941c26"},
        {101, "t13d1516h2_8daaf6152771_9b887d9acb53"},
        {158, "t13d1516h2_8daaf6152771_e5627efa2ab1"},
        {188, "t13d1516h2_8daaf6152771_e5627efa2ab1"},
    };
    EXPECT_EQ(FirstTcpHellos("latest.pcapng"), latest);
    std::map<int, std::string> suricata = {{4, "t13d1516h2_8daaf6152771_e5627efa2ab1"}};
    EXPECT_EQ(FirstTcpHellos("suricata-ja4-tls-quic.pcap"), suricata);

    // tls-sni: one hello a frame, 59 TCP streams.
    std::map<std::string, int> counts;
    for (const auto &frame_ja4 : FirstTcpHellos("tls-sni.pcapng"))
        ++counts[frame_ja4.second];
    std::map<std::string, int> expected = {
        {"t13d1516h2_8daaf6152771_e5627efa2ab1", 54},
        {"t13d1516h1_8daaf6152771_e5627efa2ab1", 3},
        {"t13d151400_8daaf6152771_de4a06bb82e3", 1},
        {"t13d1517h1_8daaf6152771_6cdcb247c39b", 1},
    };
    EXPECT_EQ(counts, expected);
}
