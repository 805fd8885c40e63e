#include "capture/mdns.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "tests/capture/udp_payloads.h"

namespace ostrel_capture {
namespace {

using Names = std::vector<std::string>;

// A DNS message put together record by record; names are given in wire form
// so that tests can write pointers and odd labels.
class Message
{
public:
    Message()
        : bytes(12, 0)
    {
    }

    // "_ipp._tcp.local" to labels; "\x01" style bytes pass through.
    static std::string Wire(const std::string &dotted)
    {
        std::string wire;
        size_t start = 0;
        while (start <= dotted.size()) {
            size_t dot = dotted.find('.', start);
            if (dot == std::string::npos) dot = dotted.size();
            wire.push_back(static_cast<char>(dot - start));
            wire += dotted.substr(start, dot - start);
            start = dot + 1;
        }
        return wire + std::string(1, '\0');
    }
    static std::string Pointer(size_t offset)
    {
        return std::string {static_cast<char>(0xc0 | offset >> 8), static_cast<char>(offset & 0xff)};
    }

    size_t Size() const { return bytes.size(); }

    Message &Question(const std::string &wire_name, uint16_t type, uint16_t cls = 1)
    {
        Append(wire_name);
        U16(type);
        U16(cls);
        Count(4);
        return *this;
    }
    Message &Record(int section, const std::string &wire_name, uint16_t type, const std::string &data,
        uint16_t cls = 0x8001)
    {
        Append(wire_name);
        U16(type);
        U16(cls);
        U16(0);
        U16(120);
        U16(static_cast<uint16_t>(data.size()));
        Append(data);
        Count(4 + 2 * section);
        return *this;
    }
    Message &Answer(const std::string &wire_name, uint16_t type, const std::string &data)
    {
        return Record(1, wire_name, type, data);
    }
    Message &Raw(const std::string &raw)
    {
        Append(raw);
        return *this;
    }
    Message &SetCount(size_t offset, uint16_t value)
    {
        bytes[offset] = static_cast<uint8_t>(value >> 8);
        bytes[offset + 1] = static_cast<uint8_t>(value);
        return *this;
    }

    Names Parse(bool expect_ok = true) const
    {
        Names names;
        // Its own allocation, so that a read past the end is seen by ASan.
        const std::vector<uint8_t> copy(bytes);
        EXPECT_EQ(ParseMdnsNames(copy.data(), copy.size(), names), expect_ok);
        return names;
    }

private:
    void Append(const std::string &raw) { bytes.insert(bytes.end(), raw.begin(), raw.end()); }
    void U16(uint16_t v)
    {
        bytes.push_back(static_cast<uint8_t>(v >> 8));
        bytes.push_back(static_cast<uint8_t>(v));
    }
    void Count(size_t offset)
    {
        SetCount(offset, static_cast<uint16_t>((bytes[offset] << 8 | bytes[offset + 1]) + 1));
    }

    std::vector<uint8_t> bytes;
};

constexpr uint16_t kPtr = 12;

// An iPhone's query: 17 compressed PTR questions and one known answer whose
// owner repeats a question and whose target is an instance name with U+2019.
TEST(MdnsTest, RealQueryGivesEachServiceOnceInOrder)
{
    const std::vector<uint8_t> packet
        = ostrel_capture_test::FromHex("000000000011000100000001085f616972706f7274045f746370056c6f63616c00000"
                                       "c00010f5f636f6d70616e696f6e2d6c696e6bc015"
                                       "000c00010d5f6170706c652d6d6f62646576c015000c0001083866623230376465045"
                                       "f7375620e5f6170706c652d6d6f6264657632c015"
                                       "000c00010f5f6170706c652d7061697261626c65c015000c00010b5f676f6f676c656"
                                       "3617374c015000c0001065f757363616ec015000c"
                                       "0001075f757363616e73c015000c0001075f697070757362c015000c0001085f73636"
                                       "16e6e6572c015000c0001045f697070c015000c00"
                                       "01055f69707073c015000c0001085f7072696e746572c015000c00010f5f70646c2d6"
                                       "461746173747265616dc015000c0001045f707470"
                                       "c015000c0001045f726662c015000c0001065f616469736bc015000c0001c025000c0"
                                       "00100000def00100d4c756361e280997320694d6163"
                                       "c02500002905a00000119400120004000e0000c42c030649fec62c03606a64");
    Names names {"from an earlier message"};
    ASSERT_TRUE(ParseMdnsNames(packet.data(), packet.size(), names));
    const Names expected {"from an earlier message", "_airport._tcp.local", "_companion-link._tcp.local",
        "_apple-mobdev._tcp.local", "8fb207de._sub._apple-mobdev2._tcp.local", "_apple-pairable._tcp.local",
        "_googlecast._tcp.local", "_uscan._tcp.local", "_uscans._tcp.local", "_ippusb._tcp.local",
        "_scanner._tcp.local", "_ipp._tcp.local", "_ipps._tcp.local", "_printer._tcp.local",
        "_pdl-datastream._tcp.local", "_ptp._tcp.local", "_rfb._tcp.local", "_adisk._tcp.local"};
    EXPECT_EQ(names, expected);
}

TEST(MdnsTest, OnlyPtrQuestionsAndAnswerOwnersCount)
{
    Message m;
    m.Question(Message::Wire("_ipp._tcp.local"), kPtr, 0x8001) // unicast-response bit
        .Question(Message::Wire("printer.local"), 1) // A
        .Question(Message::Wire("x._ipp._tcp.local"), 33) // SRV
        .Answer(Message::Wire("_hap._tcp.local"), kPtr, Message::Wire("Lamp._hap._tcp.local"))
        .Answer(Message::Wire("lamp.local"), 1, std::string("\xa9\xfe\x01\x02", 4))
        .Record(2, Message::Wire("_auth._tcp.local"), kPtr, Message::Wire("a._auth._tcp.local"))
        .Record(3, Message::Wire("_extra._tcp.local"), kPtr, Message::Wire("b._extra._tcp.local"));
    // A query's answers are what it knows of others; its authority records
    // are what it probes for: its own.
    EXPECT_EQ(m.Parse(), (Names {"_ipp._tcp.local", "_hap._tcp.local", "a._auth._tcp.local"}));

    // A query's additional records are not read, so their faults do not matter.
    Message tail;
    tail.Question(Message::Wire("_ipp._tcp.local"), kPtr)
        .SetCount(10, 3)
        .Raw("\x05"
             "ab");
    EXPECT_EQ(tail.Parse(), (Names {"_ipp._tcp.local"}));
}

TEST(MdnsTest, AResponseGivesTheSendersOwnNamesWithOrWithoutAPtrRecord)
{
    constexpr uint16_t kA = 1;
    constexpr uint16_t kTxt = 16;
    constexpr uint16_t kSrv = 33;
    const std::string srv_data = std::string(6, '\0') + Message::Wire("lamp.local");
    Message offer;
    offer
        .SetCount(2, 0x8400) // an authoritative response
        .Answer(Message::Wire("Lamp._hap._tcp.local"), kSrv, srv_data)
        .Answer(Message::Wire("_hap._tcp.local"), kPtr, Message::Wire("Lamp._hap._tcp.local"))
        .Record(3, Message::Wire("lamp.local"), kA, std::string("\xa9\xfe\x01\x02", 4))
        .Record(3, Message::Wire("2.1.254.169.in-addr.arpa"), kPtr, Message::Wire("lamp.local"))
        .Record(3, Message::Wire("_services._dns-sd._udp.local"), kPtr, Message::Wire("_hap._tcp.local"));
    EXPECT_EQ(offer.Parse(), (Names {"lamp.local", "Lamp._hap._tcp.local", "_hap._tcp.local"}));

    // No PTR at all: the instance and host names still come out, never a
    // service type the device did not name.
    Message bare;
    bare.SetCount(2, 0x8400)
        .Answer(Message::Wire("Kitchen._ipp._tcp.local"), kTxt, "\x00")
        .Record(3, Message::Wire("kitchen.local"), kA, std::string("\x0a\x00\x00\x07", 4));
    EXPECT_EQ(bare.Parse(), (Names {"Kitchen._ipp._tcp.local", "kitchen.local"}));

    // An SRV whose target runs past the message is a fault; names before it stay.
    Message cut;
    cut.SetCount(2, 0x8400)
        .Answer(Message::Wire("a.local"), kA, "\x01\x02\x03\x04")
        .Raw(Message::Wire("b._ipp._tcp.local") + std::string("\x00\x21\x00\x01\x00\x00\x00\x78\x00\x08", 10)
            + std::string(6, '\0')
            + "\x09"
              "ab");
    cut.SetCount(6, 2);
    EXPECT_EQ(cut.Parse(false), (Names {"a.local"}));
}

TEST(MdnsTest, ReverseMappingsAreLeftOut)
{
    Message m;
    m.Question(Message::Wire("4.3.168.192.IN-ADDR.ARPA"), kPtr)
        .Question(
            Message::Wire("b.a.9.8.7.6.5.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.0.8.e.f.ip6.arpa"), kPtr)
        .Question(Message::Wire("in-addr.arpa"), kPtr)
        .Question(Message::Wire("_arpa._tcp.local"), kPtr)
        .Question(Message::Wire("myip6.arpa"), kPtr)
        .Answer(Message::Wire("1.0.0.10.in-addr.Arpa"), kPtr, Message::Wire("host.local"));
    EXPECT_EQ(m.Parse(), (Names {"_arpa._tcp.local", "myip6.arpa"}));
}

TEST(MdnsTest, LabelBytesAreKeptButControls)
{
    Message m;
    // A "." inside a label, UTF-8, and control bytes within a label.
    m.Question(std::string("\x04"
                           "a.b"
                           "\x01"
                           "\x05"
                           "caf\xc3\xa9"
                           "\x04"
                           "l\x00"
                           "c\x7f"
                           "\x00",
                   17),
         kPtr)
        .Question(std::string("\x01\x01\x00", 3), kPtr); // nothing left once cleaned: "" is no name
    EXPECT_EQ(m.Parse(), (Names {"a.b.caf\xc3\xa9.lc"}));
}

TEST(MdnsTest, CompressionPointersGoOnlyBackwards)
{
    // A chain of pointers, each to an earlier name.
    Message chain;
    chain.Question(Message::Wire("_tcp.local"), 1); // at 12
    chain.Question("\x04_ipp" + Message::Pointer(12), kPtr); // at 28
    chain.Question("\x03sub" + Message::Pointer(28), kPtr);
    EXPECT_EQ(chain.Parse(), (Names {"_ipp._tcp.local", "sub._ipp._tcp.local"}));

    const std::string faults[] = {
        Message::Pointer(12), // to itself
        Message::Pointer(40), // forward
        "\x02"
        "ab" + Message::Pointer(14), // into a label
        std::string(1, '\xc0'), // pointer cut short
        "\x40" + std::string(64, 'a') + std::string(1, '\0'), // a label longer than 63
        "\x80\x01", // reserved label type
        "\x05"
        "ab", // label past the end
        "\x03"
        "abc", // no final zero
    };
    for (size_t i = 0; i < sizeof faults / sizeof faults[0]; ++i) {
        Message m;
        m.Raw(faults[i]).SetCount(4, 1);
        EXPECT_EQ(m.Parse(false), Names {}) << i;
    }
}

TEST(MdnsTest, NamesEndAt255Bytes)
{
    // Four 62-byte labels: 4 * 63 + 1 = 253 bytes on the wire; one more label is too long.
    const std::string label(62, 'x');
    const std::string fits = label + "." + label + "." + label + "." + label;
    Message ok;
    ok.Question(Message::Wire(fits), kPtr);
    EXPECT_EQ(ok.Parse(), (Names {fits}));
    Message too_long;
    too_long.Question(Message::Wire(fits + ".ab"), kPtr);
    EXPECT_EQ(too_long.Parse(false), Names {});
    // Reached through a pointer the bound is the same.
    Message via_pointer;
    via_pointer.Question(Message::Wire(fits), 1)
        .Question("\x02"
                  "ab"
                + Message::Pointer(12),
            kPtr);
    EXPECT_EQ(via_pointer.Parse(false), Names {});
}

TEST(MdnsTest, NamesBeforeAFaultAreKept)
{
    Message m;
    m.Question(Message::Wire("_a._tcp.local"), kPtr)
        .Answer(Message::Wire("_b._tcp.local"), kPtr, Message::Wire("x._b._tcp.local"))
        .SetCount(6, 2); // a second answer that is not there
    EXPECT_EQ(m.Parse(false), (Names {"_a._tcp.local", "_b._tcp.local"}));

    // Record data longer than the message.
    Message cut;
    cut.Question(Message::Wire("_a._tcp.local"), kPtr)
        .Raw(Message::Wire("_b._tcp.local")
            + std::string("\x00\x0c\x80\x01\x00\x00\x00\x78\x00\x10"
                          "ab",
                12))
        .SetCount(6, 1);
    EXPECT_EQ(cut.Parse(false), (Names {"_a._tcp.local"}));

    Names names;
    const std::vector<uint8_t> header_only(12, 0);
    EXPECT_TRUE(ParseMdnsNames(header_only.data(), 12, names));
    EXPECT_FALSE(ParseMdnsNames(header_only.data(), 11, names));
    EXPECT_FALSE(ParseMdnsNames(nullptr, 0, names));
    EXPECT_EQ(names, Names {});
}

TEST(MdnsTest, OneMessageGivesABoundedNumberOfNames)
{
    // Two new bytes and a pointer to a long name make a distinct long name.
    Message m;
    m.Question(Message::Wire(std::string(60, 'a') + ".local"), 1);
    for (int i = 0; i < 300; ++i) {
        const std::string label {static_cast<char>('a' + i / 26), static_cast<char>('a' + i % 26)};
        m.Question("\x02" + label + Message::Pointer(12), kPtr);
    }
    const Names names = m.Parse();
    EXPECT_EQ(names.size(), 64u);
    EXPECT_EQ(names.front(), "aa." + std::string(60, 'a') + ".local");
}

TEST(MdnsTest, EveryCutOfARealMessageIsSafe)
{
    const std::vector<uint8_t> packet
        = ostrel_capture_test::FromHex("000000000011000100000001085f616972706f7274045f746370056c6f63616c00000"
                                       "c00010f5f636f6d70616e696f6e2d6c696e6bc015"
                                       "000c0001c025000c000100000def00100d4c756361e280997320694d6163c025");
    for (size_t size = 0; size <= packet.size(); ++size) {
        const std::vector<uint8_t> cut(packet.begin(), packet.begin() + static_cast<long>(size));
        Names names;
        ParseMdnsNames(cut.data(), cut.size(), names);
        EXPECT_LE(names.size(), 2u);
    }
}

TEST(MdnsTest, SharedCapturesMatchTheAnswers)
{
    const nlohmann::json answers = ostrel_capture_test::LoadAnswers();
    ASSERT_TRUE(answers.is_array());
    size_t devices_checked = 0;
    for (const nlohmann::json &file : answers) {
        const std::string name = file["file"].get<std::string>();
        SCOPED_TRACE(name);
        std::map<std::string, Names> seen;
        std::map<std::string, Names> own_names;
        for (const auto &payload :
            ostrel_capture_test::ReadUdpPayloads(ostrel_capture_test::CaptureFile(name), 5353)) {
            Names names;
            ParseMdnsNames(payload.bytes.data(), payload.bytes.size(), names);
            for (const std::string &found : names) {
                // The answers list service types; a device's own names only as PTR targets.
                const bool own = found[0] != '_' && found.find("._sub._") == std::string::npos;
                Names &into = (own ? own_names : seen)[payload.eth_source];
                if (std::find(into.begin(), into.end(), found) == into.end()) into.push_back(found);
            }
        }
        for (const auto &device : file["devices"].items()) {
            const Names expected = device.value().value("mdns_services", Names {});
            if (!expected.empty()) ++devices_checked;
            EXPECT_EQ(seen[device.key()], expected) << device.key();
            // Every instance the device's answers name is among its own names
            // (which also hold the host and instance names of SRV, TXT and A records).
            const Names &own = own_names[device.key()];
            for (const std::string &target : device.value().value("mdns_ptr_targets", Names {})) {
                if (target[0] == '_') continue;
                EXPECT_NE(std::find(own.begin(), own.end(), target), own.end())
                    << device.key() << " " << target;
            }
        }
        for (const auto &entry : seen)
            EXPECT_TRUE(entry.second.empty() || file["devices"].contains(entry.first)) << entry.first;
    }
    EXPECT_EQ(devices_checked, 8u);
}

} // namespace
} // namespace ostrel_capture
