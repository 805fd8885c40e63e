// The check against known answers: a check that passes everything would let
// every capture test pass, so its rules are pinned here on small answers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/capture/answer_check.h"

using ostrel_test::Answers;
using ostrel_test::CaptureAnswer;
using ostrel_test::Differences;
using ostrel_test::Observation;
using ostrel_test::TextPath;

namespace {

const std::string PHONE = "4c:6a:f6:9f:f6:27";
const std::string OTHER = "02:00:00:00:00:01";

const char *const ANSWERS = R"([
  {"file": "a.pcap", "size": 10, "packets": 2, "devices": {
    "4c:6a:f6:9f:f6:27": {
      "dhcp_fingerprint": "1,3,6", "dhcp_vendor": "android-dhcp-9", "dhcp_hostname": "Caf\u00e9\u0000",
      "http_user_agents": ["Dalvik/2.1.0"], "ssdp_user_agents": [], "mdns_services": ["_ipp._tcp.local"],
      "ja4_clients": ["t13d1516h2_8daaf6152771_e5627efa2ab1"],
      "ja4_later_hellos": ["t13d1517h2_8daaf6152771_b1ff8ab2d16f"]}}},
  {"file": "b.pcap", "devices": {}}
])";

Observation Dhcp(unsigned event, const std::string &fingerprint, const std::string &vendor,
    const std::string &host, unsigned protocol = 18)
{
    Observation o;
    o.event = event;
    o.mac = PHONE;
    o.protocol = protocol;
    o.dhcp_fingerprint = fingerprint;
    o.dhcp_vendor = vendor;
    o.dhcp_hostname = host;
    return o;
}

Observation Value(unsigned event, const std::string &mac, const char *field, const std::string &text)
{
    Observation o;
    o.event = event;
    o.mac = mac;
    std::string key = field;
    if (key == "http" || key == "ssdp") {
        o.user_agent = text;
        o.user_agent_source = key == "http" ? 1 : 2;
    } else if (key == "ja4") {
        o.ja4 = text;
    } else {
        o.mdns = text;
    }
    return o;
}

// All the answer's values, spread the way the tracker gives them.
std::vector<Observation> Matching(const std::string &host_name)
{
    return {
        Dhcp(6, "1,3,6", "", ""),
        Dhcp(6, "", "android-dhcp-9", host_name),
        Dhcp(8, "", "", ""), // a later message without the options keeps the texts
        Value(6, PHONE, "http", "Dalvik/2.1.0"),
        Value(8, PHONE, "mdns", "_ipp._tcp.local"),
        Value(6, PHONE, "ja4", "t13d1516h2_8daaf6152771_e5627efa2ab1"),
        Value(6, PHONE, "ja4", "t13d1517h2_8daaf6152771_b1ff8ab2d16f"), // a later ClientHello: allowed
        Value(6, "", "http", "no device without a MAC"),
    };
}

class AnswerCheckTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        std::string error;
        ASSERT_TRUE(answers.LoadText(ANSWERS, error)) << error;
        ASSERT_NE(answers.Find("a.pcap"), nullptr);
        answer = *answers.Find("a.pcap");
    }

    Answers answers;
    CaptureAnswer answer;
};

TEST_F(AnswerCheckTest, EveryValueExpectedAndNothingMoreMatches)
{
    EXPECT_EQ(answer.size, 10u);
    EXPECT_EQ(answer.packets, 2u);
    EXPECT_EQ(Differences(answer, Matching("Caf\xe9")), "");
    EXPECT_EQ(Differences(*answers.Find("b.pcap"), {}), "");
    EXPECT_EQ(answers.Find("c.pcap"), nullptr);
}

TEST_F(AnswerCheckTest, MissingUnexpectedAndMisplacedValuesAreReported)
{
    struct Case {
        const char *name;
        std::vector<Observation> extra;
        std::string report;
    } cases[] = {
        {"a later DHCP text wins", {Dhcp(6, "1,3", "", "")},
            "  4c:6a:f6:9f:f6:27\n    dhcp_fingerprint: expected \"1,3,6\", found \"1,3\"\n"},
        {"DHCP texts count only from DHCP flows", {Dhcp(6, "", "udhcp", "", 7)}, ""},
        {"a flow_new event carries no values", {Value(2, PHONE, "ja4", "t12")}, ""},
        {"a user agent of the other source", {Value(6, PHONE, "ssdp", "Dalvik/2.1.0")},
            "  4c:6a:f6:9f:f6:27\n    ssdp_user_agent unexpected: Dalvik/2.1.0\n"},
        {"a device the answers do not know", {Value(8, OTHER, "mdns", "_x._tcp.local")},
            "  02:00:00:00:00:01 (not in the answers)\n    mdns_service unexpected: _x._tcp.local\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<Observation> observations = Matching("Caf\xe9");
        observations.insert(observations.end(), c.extra.begin(), c.extra.end());
        EXPECT_EQ(Differences(answer, observations), c.report);
    }

    std::vector<Observation> none;
    EXPECT_EQ(Differences(answer, none),
        "  4c:6a:f6:9f:f6:27\n"
        "    dhcp_fingerprint: expected \"1,3,6\", found \"\"\n"
        "    dhcp_vendor: expected \"android-dhcp-9\", found \"\"\n"
        "    dhcp_hostname: expected \"Caf\xe9\", found \"\"\n"
        "    http_user_agent missing: Dalvik/2.1.0\n"
        "    mdns_service missing: _ipp._tcp.local\n"
        "    ja4 missing: t13d1516h2_8daaf6152771_e5627efa2ab1\n");
}

TEST_F(AnswerCheckTest, DhcpTextsAreComparedAsTheyReachedTheCheck)
{
    // The answers hold Latin-1 decoded text with its trailing NUL; the packet
    // path gives the bytes without it, and a dump the bytes that are not
    // UTF-8 as U+FFFD.
    EXPECT_EQ(ostrel_test::AnswerDhcpBytes("Caf\u00e9\u0000\r"), "Caf\xe9");
    EXPECT_EQ(ostrel_test::AnswerDhcpBytes("\u00ff\u0100x"), "\xff\u0100x");
    EXPECT_EQ(ostrel_test::AsDumped("Caf\xe9 ok \xc3\xa9"), "Caf\ufffd ok \u00e9");
    EXPECT_EQ(Differences(answer, Matching("Caf\ufffd"), TextPath::DUMPED), "");
    EXPECT_NE(Differences(answer, Matching("Caf\xe9"), TextPath::DUMPED), "");
    EXPECT_NE(Differences(answer, Matching("Caf\ufffd"), TextPath::DIRECT), "");
}

TEST(SharedAnswersTest, EveryCaptureHasItsAnswers)
{
    Answers answers;
    std::string error;
    ASSERT_TRUE(answers.Load(OSTREL_TESTDATA_DIR "/captures/ANSWERS.json", error)) << error;
    EXPECT_EQ(answers.Files().size(), 15u);
    Answers missing;
    EXPECT_FALSE(missing.Load(OSTREL_TESTDATA_DIR "/captures/NO-SUCH.json", error));
    EXPECT_NE(error.find("NO-SUCH.json"), std::string::npos) << error;
}

} // namespace
