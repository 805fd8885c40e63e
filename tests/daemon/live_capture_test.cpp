// ostrel-host capturing live: a shared capture is sent frame by frame into
// one end of a veth pair in a private network namespace while ostrel-host
// captures on the other end; its flow dump must match the capture's answers.
// Needs root (a network namespace, raw sockets); skipped otherwise. Nothing
// leaves the namespace.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <pcap/pcap.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/capture/answer_check.h"
#include "tests/support/child_process.h"
#include "tests/support/eventually.h"
#include "tests/support/host_fixture.h"
#include "tests/daemon/capture_dump.h"

using ostrel_test::Answers;
using ostrel_test::CaptureAnswer;
using ostrel_test::ChildProcess;
using ostrel_test::Eventually;
using ostrel_test::ReadFile;
using namespace std::chrono_literals;

namespace {

constexpr auto DEADLINE = 60s;
const std::string CAPTURES = std::string(OSTREL_TESTDATA_DIR) + "/captures/";
const std::string CAPTURE_END = "ostrel-cap"; // ostrel-host captures here
const std::string SEND_END = "ostrel-send"; // the test sends here
// Frames sent before the test waits for ostrel-host to count them, well
// below what its capture ring holds, so that none is dropped on a slow run.
constexpr uint64_t WINDOW = 64;

std::string FindIp()
{
    std::string dirs = std::getenv("PATH") != nullptr ? std::getenv("PATH") : "";
    dirs += ":/usr/sbin:/sbin:/usr/bin:/bin";
    std::istringstream in(dirs);
    std::string dir;
    while (std::getline(in, dir, ':')) {
        const std::string path = dir + "/ip";
        if (!dir.empty() && access(path.c_str(), X_OK) == 0) return path;
    }
    return "";
}

bool WriteProc(const std::string &path, const std::string &value)
{
    std::ofstream out(path);
    out << value;
    out.close();
    return out.good() && ReadFile(path) == value + "\n";
}

// The packets ostrel-host last reported in its progress lines on the capture end.
uint64_t PacketsCounted(const std::string &log)
{
    const std::string marker = "ostrel-host: progress: " + CAPTURE_END + ": ";
    size_t at = log.rfind(marker);
    if (at == std::string::npos) return 0;
    return std::strtoull(log.c_str() + at + marker.size(), nullptr, 10);
}

class LiveCaptureTest : public testing::TestWithParam<std::string>
{
protected:
    void SetUp() override
    {
        if (geteuid() != 0) GTEST_SKIP() << "not root: a live capture needs a network namespace of its own";
        ip = FindIp();
        if (ip.empty()) GTEST_SKIP() << "no ip command (iproute2) to make the veth pair";
        original_netns = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        ASSERT_GE(original_netns, 0) << std::strerror(errno);
        // Only this thread moves (gtest runs tests on the main thread); its
        // children, ip and ostrel-host, start inside.
        if (unshare(CLONE_NEWNET) != 0) GTEST_SKIP() << "unshare(CLONE_NEWNET): " << std::strerror(errno);
        moved = true;
    }

    void TearDown() override
    {
        // Back home, so that later tests of this process see the usual
        // network; the private one goes with its last process.
        if (moved) {
            EXPECT_EQ(setns(original_netns, CLONE_NEWNET), 0) << std::strerror(errno);
            struct stat home, now;
            EXPECT_TRUE(fstat(original_netns, &home) == 0 && stat("/proc/thread-self/ns/net", &now) == 0
                && home.st_ino == now.st_ino)
                << "still in the private network namespace";
        }
        if (original_netns >= 0) close(original_netns);
    }

    // Runs ip with `args`; its output goes to the test's log on failure.
    void Ip(const std::vector<std::string> &args)
    {
        std::vector<std::string> argv = {ip};
        argv.insert(argv.end(), args.begin(), args.end());
        ChildProcess child;
        child.Start(argv, dir.File("ip.out"), dir.File("ip.out"));
        ASSERT_EQ(child.Wait(DEADLINE), 0) << ReadFile(dir.File("ip.out"));
    }

    void MakeVethPair()
    {
        ASSERT_NO_FATAL_FAILURE(Ip({"link", "add", CAPTURE_END, "type", "veth", "peer", "name", SEND_END}));
        for (const std::string &end : {CAPTURE_END, SEND_END}) {
            // Without IPv6 the kernel sends nothing of its own (router
            // solicitations, MLD reports) that would mix with the capture.
            const std::string sysctl = "/proc/sys/net/ipv6/conf/" + end + "/disable_ipv6";
            struct stat st;
            if (stat(sysctl.c_str(), &st) == 0) {
                ASSERT_TRUE(WriteProc(sysctl, "1")) << sysctl;
            }
            // Room for any frame of a capture, tagged ones included.
            ASSERT_NO_FATAL_FAILURE(Ip({"link", "set", "dev", end, "mtu", "9000", "up"}));
        }
    }

    std::string Log() const { return ReadFile(dir.File("host.log")); }

    bool WaitForLog(const std::string &text) const
    {
        return Eventually([&] { return Log().find(text) != std::string::npos; }, DEADLINE);
    }

    // The daemon capturing the interface into a flow dump, once it says so.
    bool StartCapture(ChildProcess &host, const std::string &dump)
    {
        host.Start(
            ostrel_test::HostArgs(
                dir, {"--interface", CAPTURE_END, "--dump-flows", dump, "--speed", "0", "--progress", "0.1"}),
            dir.File("host.out"), dir.File("host.log"));
        return WaitForLog(": capturing live");
    }

    // Sends the frames of a shared capture into the send end, no more at a
    // time than the window; waits until ostrel-host has counted `counted`
    // packets and these. The number sent, or 0 after a failure.
    uint64_t SendCapture(const std::string &capture, uint64_t counted = 0)
    {
        char pcap_error[PCAP_ERRBUF_SIZE] = "";
        pcap_t *file = pcap_open_offline((CAPTURES + capture).c_str(), pcap_error);
        EXPECT_NE(file, nullptr) << pcap_error;
        if (file == nullptr) return 0;
        pcap_t *sender = pcap_open_live(SEND_END.c_str(), 65535, 0, 100, pcap_error);
        EXPECT_NE(sender, nullptr) << pcap_error;
        if (sender == nullptr) {
            pcap_close(file);
            return 0;
        }
        uint64_t sent = 0;
        struct pcap_pkthdr *header = nullptr;
        const u_char *data = nullptr;
        bool sent_all = true;
        while (sent_all && pcap_next_ex(file, &header, &data) == 1) {
            sent_all = header->caplen == header->len
                && pcap_sendpacket(sender, data, static_cast<int>(header->caplen)) == 0;
            if (!sent_all) ADD_FAILURE() << "frame " << sent + 1 << ": " << pcap_geterr(sender);
            if (sent_all && ++sent % WINDOW == 0)
                sent_all = Eventually([&] { return PacketsCounted(Log()) >= counted + sent; }, DEADLINE);
        }
        pcap_close(sender);
        pcap_close(file);
        if (sent_all)
            sent_all = Eventually([&] { return PacketsCounted(Log()) >= counted + sent; }, DEADLINE);
        EXPECT_TRUE(sent_all) << Log();
        return sent_all ? sent : 0;
    }

    ostrel_test::TempDir dir;
    std::string ip;
    int original_netns = -1;
    bool moved = false;
};

TEST_P(LiveCaptureTest, FramesSentIntoAnInterfaceMatchTheAnswers)
{
    Answers answers;
    std::string error;
    ASSERT_TRUE(answers.Load(CAPTURES + "ANSWERS.json", error)) << error;
    const CaptureAnswer *answer = answers.Find(GetParam());
    ASSERT_NE(answer, nullptr);
    ASSERT_NO_FATAL_FAILURE(MakeVethPair());

    const std::string dump = dir.File("flows.jsonl");
    ChildProcess host;
    ASSERT_TRUE(StartCapture(host, dump)) << Log();

    const uint64_t sent = SendCapture(GetParam());
    ASSERT_EQ(sent, answer->packets);

    // Every event of the frames seen is in the dump by the time they are
    // counted. The flows still open end with the run, without events: the
    // updates carry every value.
    host.Signal(SIGINT);
    ASSERT_EQ(host.Wait(DEADLINE), 0) << Log();
    const std::string log = Log();
    EXPECT_NE(
        log.find("ostrel-host: input stopped: " + CAPTURE_END + ": " + std::to_string(sent) + " packets, "),
        std::string::npos)
        << "frames other than the capture's reached the interface:\n"
        << log;
    EXPECT_NE(log.find(", 0 parse errors; "), std::string::npos) << log;
    // The summary counts the frames as tcpdump does.
    const size_t summary = log.find("ostrel-host: stopped: ");
    ASSERT_NE(summary, std::string::npos) << log;
    EXPECT_NE(log.find(" devices; capture: " + std::to_string(sent)
                      + " packets received by filter, 0 dropped by kernel, 0 dropped by interface\n",
                  summary),
        std::string::npos)
        << log;

    ostrel_test::DumpObservations dumped = ostrel_test::ReadDump(dump);
    EXPECT_EQ(dumped.errors, "");
    const std::string report
        = ostrel_test::Differences(*answer, dumped.observations, ostrel_test::TextPath::DUMPED);
    EXPECT_TRUE(report.empty()) << GetParam() << " captured live differs from the answers:\n" << report;
}

// An interface that goes away (an adapter unplugged, a veth or tap made
// again) is opened again once it is back, and its frames make flows; one
// still away when the daemon is told to stop makes the exit status 4.
TEST_F(LiveCaptureTest, AVanishedInterfaceIsOpenedAgainWhenItReturns)
{
    ASSERT_NO_FATAL_FAILURE(MakeVethPair());
    const std::string dump = dir.File("flows.jsonl");
    ChildProcess host;
    ASSERT_TRUE(StartCapture(host, dump)) << Log();

    // Taken down first, the interface wakes the reader once; its deletion
    // (of both ends) and re-creation under a new index wake nobody.
    ASSERT_NO_FATAL_FAILURE(Ip({"link", "set", "dev", CAPTURE_END, "down"}));
    const auto progress_lines = [&] {
        const std::string log = Log(), marker = "ostrel-host: progress: ";
        size_t count = 0;
        for (size_t at = log.find(marker); at != std::string::npos; at = log.find(marker, at + 1))
            count++;
        return count;
    };
    const size_t seen = progress_lines();
    ASSERT_TRUE(Eventually([&] { return progress_lines() >= seen + 2; }, DEADLINE)) << Log();
    ASSERT_NO_FATAL_FAILURE(Ip({"link", "del", CAPTURE_END}));
    ASSERT_NO_FATAL_FAILURE(MakeVethPair());
    ASSERT_TRUE(WaitForLog("; capture down, opening it again in 1 s\n")) << Log();
    ASSERT_TRUE(WaitForLog("ostrel-host: " + CAPTURE_END + ": capturing live again after ")) << Log();
    const uint64_t counted = PacketsCounted(Log());
    ASSERT_GT(SendCapture("dhcp.pcapng", counted), 0u);
    EXPECT_TRUE(
        Eventually([&] { return ReadFile(dump).find("\"protocol\":18") != std::string::npos; }, DEADLINE))
        << "no DHCP flow from the frames sent after the interface came back:\n"
        << ReadFile(dump);

    ASSERT_NO_FATAL_FAILURE(Ip({"link", "del", CAPTURE_END}));
    ASSERT_TRUE(WaitForLog("; still down, next try in ")) << Log();
    host.Signal(SIGTERM);
    EXPECT_EQ(host.Wait(DEADLINE), 4) << Log();
    EXPECT_NE(Log().find(
                  "ostrel-host: exit status 4: " + CAPTURE_END + ": the live capture was down at the stop\n"),
        std::string::npos)
        << Log();
}

// DHCP, HTTP, mDNS and TLS from several devices; no frame above 1506 bytes.
INSTANTIATE_TEST_SUITE_P(
    Captures, LiveCaptureTest, testing::Values("android.pcap", "iphone.pcap"), ostrel_test::ParamName);

} // namespace
