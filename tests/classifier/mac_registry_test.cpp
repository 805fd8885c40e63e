#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/files.h"
#include "classifier/mac_registry.h"

using namespace ostrel_classifier;

namespace {

const std::string SMALL = std::string(OSTREL_SOURCE_DIR) + "/tests/classifier/data/registry";

MacRegistry FromCsv(const std::string &text, RegistryProblems &problems)
{
    MacRegistry registry;
    registry.AddCsv(text, "t.csv", problems);
    registry.Finish();
    return registry;
}

TEST(MacRegistryTest, LongestAssignedPrefixNamesTheVendor)
{
    RegistryProblems problems;
    const MacRegistry registry = MacRegistry::Load(SMALL, problems);
    struct Case {
        const char *mac;
        const char *vendor;
    } cases[] = {
        {"3c:22:fb:01:02:03", "Apple, Inc."}, // quoted name with a comma
        {"3C-22-FB-FF-FF-FF", "Apple, Inc."}, // the first record of a prefix wins
        {"3c22fb000000", "Apple, Inc."},
        {"00:1b:c5:a1:23:45", "Inner Maker"}, // MA-S inside MA-M inside MA-L
        {"00:1b:c5:a9:99:99", "Middle Maker"}, // MA-M; the MA-S record there was broken
        {"00:1b:c5:c0:00:00", "Outer Block Maker"}, // MA-L
        {"00:1b:c5:a3:40:00", ""}, // a private MA-S ends the search
        {"00:1b:c5:b0:00:01", ""}, // a private MA-M too
        {"a4:c1:38:00:00:01", ""}, // a private MA-L
        {"70:b3:d5:f2:f0:01", "TELEPLATFORMS"},
        {"70:b3:d5:1f:00:00", "Sub Block, Inc."},
        {"70:b3:d5:00:00:00", ""}, // the registry's own block names no maker
        {"f4:f5:d8:00:00:00", "Maker \"Quoted\" Co., Ltd."}, // doubled quotes; address over two lines
        {"00:d0:ef:12:34:56", "IGT"}, // after the bad records
        {"00:11:22:33:44:55", ""}, // unknown registry kind
        {"00:00:00:00:00:00", ""},
        {"3e:22:fb:01:02:03", ""}, // locally administered
        {"3c:22:fb:01:02", ""}, // not a MAC
        {"", ""},
    };
    for (const Case &c : cases)
        EXPECT_EQ(registry.Vendor(std::string(c.mac)), c.vendor) << c.mac;
    EXPECT_TRUE(problems.unreadable.empty());
    EXPECT_EQ(problems.bad_records, 4u);
    EXPECT_EQ(problems.first_bad, SMALL + "/oui.csv line 8");
}

TEST(MacRegistryTest, ParseMacTakesTheUsualFormsOnly)
{
    struct Case {
        const char *text;
        bool good;
        uint64_t mac;
    } cases[] = {
        {"3c:28:6d:41:9a:10", true, 0x3c286d419a10},
        {"3C-28-6D-41-9A-10", true, 0x3c286d419a10},
        {"3c286d419a10", true, 0x3c286d419a10},
        {"ff:ff:ff:ff:ff:ff", true, 0xffffffffffff},
        {"3c:28:6d-41:9a:10", false, 0}, // mixed separators
        {"3c:28:6d:41:9a:1g", false, 0},
        {"3c:28:6d:41:9a:100", false, 0},
        {"3c.28.6d.41.9a.10", false, 0},
        {"3c:286d:419a:10::", false, 0},
        {"3c286d419a1", false, 0},
        {"3c286d419a1000", false, 0},
        {" 3c:28:6d:41:9a:1", false, 0},
        {"", false, 0},
    };
    for (const Case &c : cases) {
        uint64_t mac = 0;
        EXPECT_EQ(ParseMac(c.text, mac), c.good) << c.text;
        if (c.good) {
            EXPECT_EQ(mac, c.mac) << c.text;
        }
    }
    EXPECT_TRUE(LocallyAdministered(0x5a1e77c204b3));
    EXPECT_TRUE(LocallyAdministered(0x020000000000));
    EXPECT_FALSE(LocallyAdministered(0x3c286d419a10));
    EXPECT_FALSE(LocallyAdministered(0x010000000000)); // group bit only
}

TEST(MacRegistryTest, OddRecordsAreSkippedAndCountedNeverMisread)
{
    struct Case {
        std::string text;
        size_t bad;
        const char *vendor; // of 00:00:01:xx:xx:xx
    } cases[] = {
        {"MA-L,000001,Plain\n", 0, "Plain"},
        {"MA-L,000001,Plain", 0, "Plain"}, // no final line break
        {"MA-L,000001,  Padded Name \t ,x\r\n", 0, "Padded Name"},
        {"MA-L,000001,\"Quoted\"  ,x\n", 0, "Quoted"}, // blanks after the quote
        {"MA-L,000001,\"Quoted\"junk,x\n", 1, ""},
        {"MA-L,000001,\"Open\n", 1, ""},
        {"MA-L,000001,\"A\"\"B\"\n", 0, "A\"B"},
        {"MA-L,000001,\"Line\nbreak\"\n", 0, "Line break"}, // control characters become spaces
        {"MA-L,000001,Bad\xff\xfe UTF\xc3\n", 0, "Bad?? UTF?"},
        {"MA-L,000001,Caf\xc3\xa9\n", 0, "Caf\xc3\xa9"},
        {"MA-L,000001,\n", 1, ""}, // no name
        {"MA-L,000001, \"\" ,x\n", 0, "\"\""}, // quotes inside unquoted text are text
        {"MA-L,000001\n", 1, ""},
        {"MA-L,0000011,Seven Digits\n", 1, ""},
        {"MA-M,0000011,Seven Digits\n", 0, "Seven Digits"},
        {"MA-S,000001FFF,Nine Digits\n", 0, "Nine Digits"},
        {"ma-l,000001,Lower Kind\n", 1, ""},
        {"MA-L,00000g,Bad Digit\n", 1, ""},
        {"\n\r\n\n", 0, ""},
        {"Registry,Assignment,Organization Name,Organization Address\n", 0, ""},
        {std::string("MA-L,000001,Nul\0Name\n", 21), 0, "Nul Name"},
        {",,,,,,,,\n", 1, ""},
    };
    for (const Case &c : cases) {
        RegistryProblems problems;
        const MacRegistry registry = FromCsv(c.text, problems);
        EXPECT_EQ(problems.bad_records, c.bad) << c.text;
        const std::string_view vendor = c.text.find("MA-M") == 0 ? registry.Vendor(uint64_t {0x000001100000})
            : c.text.find("MA-S") == 0                           ? registry.Vendor(uint64_t {0x000001fff000})
                                                                 : registry.Vendor(uint64_t {0x000001000000});
        EXPECT_EQ(vendor, c.vendor) << c.text;
    }
    // Lines are counted through quoted line breaks for the first bad one.
    RegistryProblems problems;
    FromCsv("MA-L,000001,\"A\nB\",\"x\ny\nz\"\nMA-L,000002,B\nMA-L,00000X,C\nMA-L,zz\n", problems);
    EXPECT_EQ(problems.bad_records, 2u);
    EXPECT_EQ(problems.first_bad, "t.csv line 6");
}

TEST(MacRegistryTest, AnyBytesAreReadWithoutHarm)
{
    // Mutations of a valid text: cut anywhere, bytes flipped to the
    // characters the reader treats specially. Sanitizer builds check reads.
    const std::string base = "Registry,Assignment,Organization Name,Organization Address\r\n"
                             "MA-L,3C22FB,\"Apple, Inc.\",\"1 Loop\nCupertino\"\r\n"
                             "MA-M,001BC5A,\"A \"\"B\"\"\",x\nMA-S,001BC5A12,Inner,\n";
    const char specials[] = {'"', ',', '\n', '\r', ' ', '\0', '\xff', 'A'};
    uint32_t seed = 12345;
    const auto next = [&seed]() { return seed = seed * 1103515245u + 12345u, seed >> 8; };
    for (int round = 0; round < 3000; round++) {
        std::string text = base.substr(0, next() % (base.size() + 1));
        for (int flips = static_cast<int>(next() % 4); flips > 0 && !text.empty(); flips--)
            text[next() % text.size()] = specials[next() % sizeof(specials)];
        RegistryProblems problems;
        const MacRegistry registry = FromCsv(text, problems);
        // At most one record a line, however the quotes fall.
        EXPECT_LE(registry.Size() + problems.bad_records,
            static_cast<size_t>(std::count(text.begin(), text.end(), '\n')) + 1)
            << round;
        (void)registry.Vendor(uint64_t {0x3c22fb000000});
        (void)registry.Vendor(uint64_t {0x001bc5a12000});
    }
}

TEST(MacRegistryTest, MissingOrUnreadableRegistrySaysWhichFileAndWhyOnce)
{
    std::vector<std::string> messages;
    EXPECT_EQ(LoadRegistry("none", messages).Size(), 0u);
    EXPECT_TRUE(messages.empty());

    EXPECT_EQ(LoadRegistry("/nonexistent/ieee-data", messages).Size(), 0u);
    EXPECT_EQ(messages,
        std::vector<std::string> {"MAC registry /nonexistent/ieee-data: No such file or directory; answers "
                                  "name no vendors from it"});

    ostrel_test::TempDir dir;
    const std::string file = dir.Write("oui.csv", "MA-L,000001,One\nMA-L,00000Z,Bad\n");
    messages.clear();
    EXPECT_EQ(LoadRegistry(file, messages).Size(), 0u);
    EXPECT_EQ(messages,
        std::vector<std::string> {
            "MAC registry " + file + ": not a directory; answers name no vendors from it"});

    // One file readable, one missing, one a directory: what can be read is used.
    dir.MakeDir("mam.csv");
    messages.clear();
    const MacRegistry registry = LoadRegistry(dir.Path(), messages);
    EXPECT_EQ(registry.Size(), 1u);
    EXPECT_EQ(registry.Vendor(uint64_t {0x000001abcdef}), "One");
    EXPECT_EQ(messages,
        (std::vector<std::string> {
            "MAC registry " + dir.Path() + "/mam.csv: not a regular file; answers name no vendors from it",
            "MAC registry " + dir.Path()
                + "/oui36.csv: cannot open: No such file or directory; answers name no vendors from it",
            "MAC registry " + dir.Path() + ": skipped 1 record it could not read (the first at " + dir.Path()
                + "/oui.csv line 2)"}));

    // A FIFO in the registry's place is refused at once; opening it to read
    // would wait for a writer that never comes.
    ASSERT_EQ(mkfifo((dir.Path() + "/oui36.csv").c_str(), 0600), 0);
    messages.clear();
    EXPECT_EQ(LoadRegistry(dir.Path(), messages).Size(), 1u);
    EXPECT_EQ(messages.at(1),
        "MAC registry " + dir.Path() + "/oui36.csv: not a regular file; answers name no vendors from it");
}

TEST(MacRegistryTest, DebianPackageLoadsWhole)
{
    const std::string dir = DEFAULT_REGISTRY_DIR;
    if (access((dir + "/oui.csv").c_str(), R_OK) != 0)
        GTEST_SKIP() << dir << "/oui.csv is missing: install the ieee-data package (scripts/deps.sh)";
    std::vector<std::string> messages;
    const MacRegistry registry = LoadRegistry(dir, messages);
    EXPECT_TRUE(messages.empty()) << messages.front();
    EXPECT_GT(registry.Size(), 40000u);
    // Assignments that do not move: Apple's first, and Google's.
    EXPECT_EQ(registry.Vendor(std::string("00:03:93:12:34:56")), "Apple, Inc.");
    EXPECT_EQ(registry.Vendor(std::string("3c:28:6d:41:9a:10")), "Google, Inc.");
    EXPECT_EQ(registry.Vendor(std::string("3e:28:6d:41:9a:10")), "");
}

} // namespace
