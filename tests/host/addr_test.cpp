#include <arpa/inet.h>

#include <cstdio>
#include <string>

#include <gtest/gtest.h>

#include "host/oz_addr.h"
#include "host/standin/control.h"
#include "tests/support/host_fixture.h"

namespace {

TEST(AddrTest, ParsesAndPrintsMacAndIpText)
{
    struct Case {
        const char *text;
        bool valid;
        ozAddr::Type type;
        const char *printed;
    } cases[] = {
        {"00:11:22:AA:bb:Cc", true, ozAddr::TYPE_ETHER, "00:11:22:aa:bb:cc"},
        {"00-11-22-aa-bb-cc", true, ozAddr::TYPE_ETHER, "00:11:22:aa:bb:cc"},
        {"192.168.1.10", true, ozAddr::TYPE_IPV4, "192.168.1.10"},
        {"fe80:0:0:0:0:0:0:1", true, ozAddr::TYPE_IPV6, "fe80::1"},
        {"00:11:22:aa:bb", false, ozAddr::TYPE_NONE, ""},
        {"00:11-22:aa:bb:cc", false, ozAddr::TYPE_NONE, ""},
        {"", false, ozAddr::TYPE_NONE, ""},
        {"not an address", false, ozAddr::TYPE_NONE, ""},
    };
    for (const Case &c : cases) {
        ozAddr addr;
        EXPECT_EQ(ozAddr::Create(addr, c.text), c.valid) << c.text;
        EXPECT_EQ(addr.GetType(), c.type) << c.text;
        EXPECT_EQ(addr.GetString(), c.printed) << c.text;
    }
    EXPECT_EQ(ozAddr("00:11:22:aa:bb:cc").GetString(ozAddr::MAKE_UPPERCASE), "00:11:22:AA:BB:CC");
}

// The address of the given bytes, read from the system's text form.
ozAddr FromBytes(int family, const unsigned char *bytes)
{
    char text[INET6_ADDRSTRLEN];
    inet_ntop(family, bytes, text, sizeof(text));
    ozAddr addr;
    ozAddr::Create(addr, text);
    return addr;
}

std::string Ntop(int family, const unsigned char *bytes)
{
    char text[INET6_ADDRSTRLEN];
    return inet_ntop(family, bytes, text, sizeof(text));
}

// The printed forms are written by hand: they must be the bytes that
// snprintf and inet_ntop give, for every byte value and every place and
// length of a run of zero groups.
TEST(AddrTest, PrintsWhatSnprintfAndInetNtopPrint)
{
    for (unsigned value = 0; value < 256; value++) {
        unsigned char mac[6] = {static_cast<unsigned char>(value), 0x0f, 0xf0,
            static_cast<unsigned char>(255 - value), 0x00, static_cast<unsigned char>(value * 7)};
        char lower[18];
        char upper[18];
        snprintf(lower, sizeof(lower), "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
            mac[4], mac[5]);
        snprintf(upper, sizeof(upper), "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3],
            mac[4], mac[5]);
        ozAddr addr(lower);
        ASSERT_EQ(addr.GetString(), lower);
        ASSERT_EQ(addr.GetString(ozAddr::MAKE_UPPERCASE), upper);

        unsigned char v4[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value / 10),
            static_cast<unsigned char>(255 - value), static_cast<unsigned char>(value % 100)};
        ASSERT_EQ(FromBytes(AF_INET, v4).GetString(), Ntop(AF_INET, v4));
    }

    // Each group one of zero, a short and a long value: every place and
    // length of zero runs, ties between runs, and the mapped and compatible
    // IPv4 forms (with the last two groups as an IPv4 address).
    const unsigned values[] = {0x0000, 0x0001, 0x00a0, 0xffff};
    for (unsigned pattern = 0; pattern < (1u << 16); pattern++) {
        unsigned char v6[16];
        for (size_t group = 0; group < 8; group++) {
            unsigned value = values[(pattern >> (2 * group)) & 3];
            v6[2 * group] = static_cast<unsigned char>(value >> 8);
            v6[2 * group + 1] = static_cast<unsigned char>(value & 0xff);
        }
        std::string expected = Ntop(AF_INET6, v6);
        ozAddr addr = FromBytes(AF_INET6, v6);
        ASSERT_EQ(addr.GetString(), expected) << pattern;
        ASSERT_EQ(addr.GetString(ozAddr::MAKE_IPV6_BRACKETS), "[" + expected + "]") << pattern;
    }

    for (const char *text :
        {"::ffff:192.168.0.1", "::10.0.0.1", "::ffff:0.0.0.0", "fe80::1:2:3:4", "2001:db8:0:0:1:0:0:1",
            "2001:0:0:1:0:0:0:1", "::ffff:0:1.2.3.4", "1:2:3:4:5:6:7:8", "64:ff9b::192.0.2.33"}) {
        unsigned char v6[16];
        ASSERT_EQ(inet_pton(AF_INET6, text, v6), 1) << text;
        EXPECT_EQ(ozAddr(text).GetString(), Ntop(AF_INET6, v6)) << text;
    }
}

class AddrLookupTest : public ostrel_test::HostFixture
{
};

TEST_F(AddrLookupTest, GroupsComeFromFilesAndUnknownGroupsMatchNothing)
{
    std::string file
        = dir.Write("ignored.txt", "# ignored devices\n00:11:22:33:44:55\n\n  10.0.0.1  # router\nbogus\n");
    ozAddrLookup lookup;
    ASSERT_TRUE(ostrel_standin::AddGroupFile(lookup, "ignored", file));
    EXPECT_TRUE(log.Contains("ignored.txt:5: not an address: bogus"));

    EXPECT_TRUE(lookup.LookupGroupAddress("ignored", ozAddr("00:11:22:33:44:55")));
    EXPECT_TRUE(lookup.LookupGroupAddress("ignored", ozAddr("00-11-22-33-44-55")));
    EXPECT_TRUE(lookup.LookupGroupAddress("ignored", ozAddr("10.0.0.1")));
    EXPECT_FALSE(lookup.LookupGroupAddress("ignored", ozAddr("00:11:22:33:44:56")));
    EXPECT_FALSE(lookup.LookupGroupAddress("other", ozAddr("00:11:22:33:44:55")));
    EXPECT_FALSE(lookup.LookupGroupAddress("ignored", ozAddr()));

    // Setting the group again re-reads its file.
    dir.Write("ignored.txt", "00:11:22:33:44:56\n");
    lookup.SetGroupFilename("ignored");
    EXPECT_FALSE(lookup.LookupGroupAddress("ignored", ozAddr("00:11:22:33:44:55")));
    EXPECT_TRUE(lookup.LookupGroupAddress("ignored", ozAddr("00:11:22:33:44:56")));

    // A name that is a readable file becomes a group of that name.
    std::string direct = dir.Write("direct.txt", "aa:bb:cc:dd:ee:ff\n");
    lookup.SetGroupFilename(direct);
    EXPECT_TRUE(lookup.LookupGroupAddress(direct, ozAddr("aa:bb:cc:dd:ee:ff")));

    EXPECT_FALSE(ostrel_standin::AddGroupFile(lookup, "missing", dir.File("missing.txt")));
    EXPECT_TRUE(log.Contains("missing.txt: No such file or directory"));

    // A device file would never end: refused, and never read as a group.
    EXPECT_FALSE(ostrel_standin::AddGroupFile(lookup, "zero", "/dev/zero"));
    EXPECT_TRUE(log.Contains("address group zero: /dev/zero: not a regular file"));
    lookup.SetGroupFilename("/dev/zero");
    EXPECT_FALSE(lookup.LookupGroupAddress("/dev/zero", ozAddr("00:00:00:00:00:00")));
}

} // namespace
