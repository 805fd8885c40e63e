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
