// The whole packet path against real captures with known answers: each
// capture read with PcapSource, fed to a Tracker, and the events attributed
// to devices the way the plug-in does it.
#include <gtest/gtest.h>

#include <cctype>
#include <string>
#include <vector>

#include "capture/pcap_source.h"
#include "capture/tracker.h"
#include "tests/capture/answer_check.h"
#include "tests/support/host_fixture.h"

using namespace ostrel_capture;
using ostrel_test::Answers;
using ostrel_test::CaptureAnswer;
using ostrel_test::Observation;

namespace {

const std::string CAPTURES = OSTREL_TESTDATA_DIR "/captures/";

Observation Observe(const FlowEvent &event)
{
    const FlowRecord &r = event.flow;
    const Endpoint &origin = r.origin == ORIGIN_UPPER ? r.upper : r.lower;
    Observation o;
    o.event = event.type;
    if (origin.has_mac) o.mac = MacText(origin.mac);
    o.protocol = r.detected_protocol;
    o.dhcp_fingerprint = r.dhcp_fingerprint;
    o.dhcp_vendor = r.dhcp_class_ident;
    o.dhcp_hostname = r.host_name;
    o.user_agent = r.user_agent;
    o.user_agent_source = r.user_agent_source;
    o.ja4 = r.tls_client_ja4;
    o.mdns = r.mdns_domain_name;
    return o;
}

class AnswersTest : public testing::TestWithParam<std::string>
{
};

TEST_P(AnswersTest, DevicesMatchTheAnswers)
{
    const CaptureAnswer *answer = ostrel_test::LoadedAnswers(CAPTURES).Find(GetParam());
    ASSERT_NE(answer, nullptr);

    PcapSource source;
    ASSERT_TRUE(source.OpenFile(CAPTURES + GetParam())) << source.Error();
    EXPECT_EQ(source.Size(), answer->size);
    std::vector<Observation> observations;
    Tracker tracker(TrackerOptions(), [&observations](FlowEvent &&e) { observations.push_back(Observe(e)); });
    CapturedFrame frame;
    PcapSource::Result result;
    int64_t last = 0;
    while ((result = source.Next(frame)) == PcapSource::FRAME) {
        tracker.Frame(source.LinkType(), frame.data, frame.caplen, frame.wirelen, frame.time_usec);
        last = frame.time_usec;
    }
    ASSERT_EQ(result, PcapSource::END) << source.Error();
    EXPECT_EQ(source.Position(), source.Size());
    tracker.Flush(last);
    EXPECT_EQ(tracker.Counters().frames, answer->packets);
    EXPECT_EQ(tracker.ActiveFlows(), 0u);

    const std::string report = ostrel_test::Differences(*answer, observations);
    EXPECT_TRUE(report.empty()) << GetParam() << " differs from the answers:\n" << report;
}

INSTANTIATE_TEST_SUITE_P(Captures, AnswersTest,
    testing::ValuesIn(ostrel_test::LoadedAnswers(CAPTURES).Files()), ostrel_test::ParamName);

} // namespace
