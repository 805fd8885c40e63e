#include "classifier/evidence.h"

#include <gtest/gtest.h>

namespace {

using ostrel_classifier::Sign;
using ostrel_classifier::Source;
using ostrel_classifier::Weigh;

Sign S(const char *klass, Source source, unsigned strength)
{
    return Sign {klass, 0, source, strength, klass};
}

TEST(EvidenceTest, IndependentSignsAddUpAndOneSourceCountsOnce)
{
    struct Case {
        std::vector<Sign> signs;
        const char *klass;
        unsigned score;
        size_t counted;
    } cases[] = {
        // Two independent signs of 50 make a claim of 80; three make 94.
        {{S("nas", Source::MAC, 50), S("nas", Source::HOSTNAME, 50)}, "nas", 80, 2},
        {{S("nas", Source::MAC, 50), S("nas", Source::HOSTNAME, 50), S("nas", Source::MDNS, 50)}, "nas", 94,
            3},
        // The same source again (a vendor class and the request list of one
        // DHCP client) is one piece of evidence: the strongest.
        {{S("nas", Source::DHCP, 50), S("nas", Source::DHCP, 60), S("nas", Source::DHCP, 50)}, "nas", 60, 1},
        // A sign no stronger than the prior adds nothing, but alone still says what it says.
        {{S("iot", Source::DHCP, 15), S("iot", Source::MAC, 50)}, "iot", 50, 2},
        {{S("iot", Source::DHCP, 15)}, "iot", 15, 1},
        {{}, "", 0, 0},
    };
    for (const Case &c : cases) {
        const ostrel_classifier::Weighed weighed = Weigh(c.signs);
        EXPECT_EQ(weighed.klass, c.klass) << c.score;
        EXPECT_EQ(weighed.score, c.score) << c.klass;
        EXPECT_EQ(weighed.evidence.size(), c.counted) << c.klass << " " << c.score;
        EXPECT_TRUE(weighed.against.empty()) << c.klass;
    }
}

TEST(EvidenceTest, AStrongConflictLowersTheScoreAndAHintDoesNot)
{
    // A phone's user agent from a printer maker's MAC: the phone wins, but
    // not as a claim, and the answer names the other claim.
    ostrel_classifier::Weighed weighed
        = Weigh({S("printer", Source::MAC, 60), S("mobile-android", Source::HTTP, 70)});
    EXPECT_EQ(weighed.klass, "mobile-android");
    EXPECT_EQ(weighed.score, 48u);
    EXPECT_EQ(weighed.against, std::vector<std::string> {"printer (60)"});

    // A hint for another class (a name the device asked for) is no conflict.
    weighed = Weigh({S("printer", Source::MDNS, 30), S("mobile-android", Source::HTTP, 70)});
    EXPECT_EQ(weighed.klass, "mobile-android");
    EXPECT_EQ(weighed.score, 70u);
    EXPECT_TRUE(weighed.against.empty());

    // Agreeing sources outweigh one strong conflicting sign, and the
    // evidence is listed strongest first.
    // The evidence points into the signs, which must outlive it.
    const std::vector<Sign> signs = {S("computer-macos", Source::HTTP, 50), S("mobile-ios", Source::DHCP, 65),
        S("computer-macos", Source::HOSTNAME, 60), S("computer-macos", Source::MAC, 30)};
    weighed = Weigh(signs);
    EXPECT_EQ(weighed.klass, "computer-macos");
    EXPECT_EQ(weighed.score, 78u);
    ASSERT_EQ(weighed.evidence.size(), 3u);
    EXPECT_EQ(weighed.evidence[0]->strength, 60u);
    EXPECT_EQ(weighed.against, std::vector<std::string> {"mobile-ios (65)"});
}

} // namespace
