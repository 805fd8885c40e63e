// ostrel-host on each shared capture with known answers: its flow dump, read
// back as the flow lines a replay would give the plug-in, must name every
// device with every value of the answers and nothing more.
#include <gtest/gtest.h>

#include <cctype>
#include <chrono>
#include <string>
#include <vector>

#include "tests/capture/answer_check.h"
#include "tests/support/child_process.h"
#include "tests/support/host_fixture.h"
#include "tests/daemon/capture_dump.h"

using ostrel_test::Answers;
using ostrel_test::CaptureAnswer;
using ostrel_test::ChildProcess;
using ostrel_test::ReadFile;
using namespace std::chrono_literals;

namespace {

const std::string CAPTURES = std::string(OSTREL_TESTDATA_DIR) + "/captures/";

class CaptureAnswersTest : public testing::TestWithParam<std::string>
{
protected:
    ostrel_test::TempDir dir;
};

TEST_P(CaptureAnswersTest, DumpedFlowsMatchTheAnswers)
{
    const CaptureAnswer *answer = ostrel_test::LoadedAnswers(CAPTURES).Find(GetParam());
    ASSERT_NE(answer, nullptr);
    const std::string dump = dir.File("flows.jsonl");
    const std::string log = dir.File("host.log");
    ChildProcess host;
    host.Start(ostrel_test::HostArgs(dir,
                   {"--pcap", CAPTURES + GetParam(), "--speed", "0", "--dump-flows", dump,
                       "--exit-after-input", "0"}),
        dir.File("host.out"), log);
    ASSERT_EQ(host.Wait(60s), 0) << ReadFile(log);
    const std::string packets = ": " + std::to_string(answer->packets) + " packets, ";
    EXPECT_NE(ReadFile(log).find("ostrel-host: " + CAPTURES + GetParam() + packets), std::string::npos)
        << ReadFile(log);

    ostrel_test::DumpObservations dumped = ostrel_test::ReadDump(dump);
    EXPECT_EQ(dumped.errors, "");
    EXPECT_GT(dumped.observations.size(), 0u);
    const std::string report
        = ostrel_test::Differences(*answer, dumped.observations, ostrel_test::TextPath::DUMPED);
    EXPECT_TRUE(report.empty()) << GetParam() << " through ostrel-host differs from the answers:\n" << report;
}

INSTANTIATE_TEST_SUITE_P(Captures, CaptureAnswersTest,
    testing::ValuesIn(ostrel_test::LoadedAnswers(CAPTURES).Files()), ostrel_test::ParamName);

} // namespace
