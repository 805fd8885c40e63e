// ostrel-host as a process, without the classification service: start-up
// with FIFOs, signals at any moment, the shutdown summary and sink files
// after log rotation. Each test waits for what it needs with a deadline.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/support/child_process.h"
#include "tests/support/eventually.h"
#include "tests/support/flows.h"
#include "tests/support/host_fixture.h"

using json = nlohmann::json;
using ostrel_test::ChildProcess;
using ostrel_test::Eventually;
using ostrel_test::ReadFile;
using namespace std::chrono_literals;

namespace {

constexpr auto DEADLINE = 60s;

std::string Mac(int n)
{
    return ostrel_test::MacText(0x020000000000 | (static_cast<uint64_t>(n) & 0xffff));
}

const std::string CAPTURES = std::string(OSTREL_TESTDATA_DIR) + "/captures/";

// The device cache without the wall-clock time each device was last seen.
json CacheWithoutTimes(const std::string &path)
{
    json cache = json::parse(ReadFile(path));
    for (auto &entry : cache.items())
        entry.value().erase("last_seen");
    return cache;
}

std::string Le32(uint32_t value)
{
    std::string bytes;
    for (int i = 0; i < 4; i++)
        bytes += static_cast<char>((value >> (8 * i)) & 0xff);
    return bytes;
}

// A classic pcap file header (microseconds, little-endian) and `records`.
std::string PcapFile(uint32_t link_type, const std::string &records = "")
{
    return Le32(0xa1b2c3d4) + std::string("\x02\x00\x04\x00", 4) + Le32(0) + Le32(0) + Le32(65535)
        + Le32(link_type) + records;
}

size_t Lines(const std::string &text)
{
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

std::string Flows(int first, int count)
{
    std::string lines;
    for (int n = first; n < first + count; n++)
        lines += R"({"lower_mac": ")" + Mac(n) + R"(", "lower_ip": "10.0.)" + std::to_string(n / 200) + "."
            + std::to_string(n % 200 + 1) + R"(", "protocol": 18, "host_name": "host-)" + std::to_string(n)
            + "\"}\n";
    return lines;
}

class DaemonTest : public ::testing::Test
{
protected:
    DaemonTest()
    {
        conf = dir.Write("plugin.json", R"({"path_device_cache": ")" + dir.File("cache.json") + R"("})");
    }

    std::vector<std::string> Daemon(const std::vector<std::string> &extra) const
    {
        std::vector<std::string> argv = {OSTREL_HOST_BIN, "--conf", conf, "--debug"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return argv;
    }

    // Each run logs to a file of its own, so that no test reads another
    // run's lines.
    void Start(ChildProcess &host, const std::vector<std::string> &extra, bool signals_blocked = false)
    {
        log_path = dir.File("host-" + std::to_string(++runs) + ".log");
        host.Start(Daemon(extra), dir.File("host.out"), log_path, false, signals_blocked);
    }

    // The log of the last run started.
    std::string Log() const { return ReadFile(log_path); }

    bool WaitForLog(const std::string &text) const
    {
        return Eventually([&] { return Log().find(text) != std::string::npos; }, DEADLINE);
    }

    std::string Fifo(const std::string &name) const
    {
        std::string path = dir.File(name);
        EXPECT_EQ(mkfifo(path.c_str(), 0600), 0) << path;
        return path;
    }

    ostrel_test::TempDir dir;
    std::string conf;
    int runs = 0;
    std::string log_path;
};

TEST_F(DaemonTest, FifoInputIsReadWhenItsWriterComesAndSignalsPassMeanwhile)
{
    // A supervisor's SIGTERM before the daemon is even running, with a FIFO
    // that has no writer yet: read as soon as the daemon is up.
    {
        const std::string fifo = Fifo("early.fifo");
        ChildProcess host;
        Start(host, {"--input", fifo}, true);
        host.Signal(SIGTERM);
        EXPECT_EQ(host.Wait(DEADLINE), 0) << Log();
        EXPECT_NE(Log().find("ostrel-host: Terminated: shutting down\n"), std::string::npos) << Log();
    }

    // `mkfifo` and a writer later: its flows are replayed, its end is the
    // input's end, and a signal still ends the run.
    const std::string fifo = Fifo("flows.fifo");
    ChildProcess host;
    Start(host, {"--input", fifo});
    ASSERT_TRUE(WaitForLog("dev-discovery: loaded ")) << Log();
    int writer = open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    const std::string flows = Flows(0, 2);
    ASSERT_EQ(write(writer, flows.data(), flows.size()), static_cast<ssize_t>(flows.size()));
    close(writer);
    EXPECT_TRUE(WaitForLog("ostrel-host: input done: 2 flows read, 0 lines skipped")) << Log();
    host.Signal(SIGTERM);
    EXPECT_EQ(host.Wait(DEADLINE), 0) << Log();
    EXPECT_EQ(json::parse(ReadFile(dir.File("cache.json"))).size(), 2u);
}

TEST_F(DaemonTest, FifoSinkWithoutAReaderIsRefusedAtStart)
{
    const std::string fifo = Fifo("sink.fifo");
    ChildProcess host;
    Start(host, {"--sink", "sink-log/devices=" + fifo});
    EXPECT_EQ(host.Wait(DEADLINE), 1) << Log();
    EXPECT_NE(Log().find("ostrel-host: " + fifo + ": a FIFO with no reader; start its reader first"),
        std::string::npos)
        << Log();

    // With its reader there, a FIFO is written like stdout.
    int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader, 0);
    ChildProcess again;
    Start(again, {"--sink", "sink-log/devices=" + fifo});
    EXPECT_TRUE(WaitForLog("dev-discovery: loaded ")) << Log();
    again.Signal(SIGTERM);
    EXPECT_EQ(again.Wait(DEADLINE), 0) << Log();
    close(reader);
}

TEST_F(DaemonTest, ExitAfterInputWaitsForThePluginToProcessEveryFlow)
{
    // Many flows at once and no update to wait for: the plug-in still has
    // most of them queued when the input ends.
    const int count = 400;
    const std::string input = dir.Write("flows.jsonl", Flows(0, count));
    ChildProcess host;
    Start(host, {"--input", input, "--speed", "0", "--exit-after-input", "0"});
    ASSERT_EQ(host.Wait(DEADLINE), 0) << Log();

    const std::string n = std::to_string(count);
    EXPECT_NE(Log().find("ostrel-host: stopped: " + n + " flows read, " + n + " dispatched, " + n
                  + " processed, 0 not processed; 0 lines skipped"),
        std::string::npos)
        << Log();
    EXPECT_EQ(json::parse(ReadFile(dir.File("cache.json"))).size(), static_cast<size_t>(count));
}

TEST_F(DaemonTest, SummaryCountsFlowsThePluginsNeverProcessed)
{
    // Three flows go to a plug-in that keeps them; the fourth is held back
    // by its time when the signal comes.
    const std::string input
        = dir.Write("flows.jsonl", Flows(0, 3) + R"({"time": 100000, "lower_mac": ")" + Mac(3) + "\"}\n");
    ChildProcess host;
    Start(host, {"--plugin", OSTREL_HOLDING_PLUGIN_PATH, "--input", input, "--progress", "0.1"});
    ASSERT_TRUE(WaitForLog("ostrel-host: progress: 4 flows read")) << Log();
    host.Signal(SIGTERM);
    ASSERT_EQ(host.Wait(DEADLINE), 0) << Log();
    EXPECT_NE(Log().find("ostrel-host: stopped: 4 flows read, 3 dispatched, 0 processed, 4 not processed; "
                         "0 lines skipped; sinks: 0 payloads, 0 devices\n"),
        std::string::npos)
        << Log();
}

TEST_F(DaemonTest, SighupReopensSinkFilesAfterRotation)
{
    const std::string sink = dir.File("sink.jsonl");
    ChildProcess host;
    Start(host,
        {"--sink", "sink-log/devices=" + sink, "--sink-table", "sink-log/table=" + dir.File("table.txt")});
    ASSERT_TRUE(WaitForLog("dev-discovery: loaded ")) << Log();
    ASSERT_EQ(std::rename(sink.c_str(), (sink + ".1").c_str()), 0);

    host.Signal(SIGHUP);
    EXPECT_TRUE(WaitForLog("ostrel-host: SIGHUP: 2 sink files reopened\n")) << Log();
    struct stat st;
    EXPECT_EQ(stat(sink.c_str(), &st), 0) << "no new file after the rotation";
    host.Signal(SIGTERM);
    EXPECT_EQ(host.Wait(DEADLINE), 0) << Log();
}

TEST_F(DaemonTest, CaptureDumpedToFlowLinesReplaysToTheSameDevices)
{
    const std::string capture = CAPTURES + "android.pcap";
    const std::string dump = dir.File("flows.jsonl");
    ChildProcess host;
    Start(host,
        {"--pcap", capture, "--speed", "0", "--dump-flows", dump, "--exit-after-input", "1",
            "--update-interval", "0.1"});
    ASSERT_EQ(host.Wait(DEADLINE), 0) << Log();
    const std::string log = Log();
    EXPECT_NE(log.find("ostrel-host: input done: 100% of " + capture + ", 500 packets, "), std::string::npos)
        << log;
    EXPECT_NE(log.find("ostrel-host: " + capture + ": 500 packets, "), std::string::npos) << log;
    // Every flow event read was dispatched, processed and dumped.
    const size_t dumped = Lines(ReadFile(dump));
    ASSERT_GT(dumped, 0u);
    const std::string n = std::to_string(dumped);
    EXPECT_NE(log.find("ostrel-host: stopped: " + n + " flows read, " + n + " dispatched, " + n
                  + " processed, 0 not processed; 500 packets, 0 parse errors"),
        std::string::npos)
        << log;
    const json from_packets = CacheWithoutTimes(dir.File("cache.json"));
    // What the packet path found reached the plug-in's table.
    ASSERT_TRUE(from_packets.contains("4c:6a:f6:9f:f6:27")) << from_packets.dump();
    const json &phone = from_packets["4c:6a:f6:9f:f6:27"];
    EXPECT_EQ(phone["dhcp_vendor"], "android-dhcp-9");
    EXPECT_EQ(phone["dhcp_fingerprint"], "1,3,6,15,26,28,51,58,59,43");
    EXPECT_FALSE(phone["ja4_clients"].empty());
    EXPECT_FALSE(phone["http_user_agents"].empty());

    ASSERT_EQ(std::remove(dir.File("cache.json").c_str()), 0);
    ChildProcess replay;
    Start(replay, {"--input", dump, "--speed", "0", "--exit-after-input", "1", "--update-interval", "0.1"});
    ASSERT_EQ(replay.Wait(DEADLINE), 0) << Log();
    EXPECT_NE(Log().find("ostrel-host: input done: " + n + " flows read, 0 lines skipped"), std::string::npos)
        << Log();
    EXPECT_EQ(CacheWithoutTimes(dir.File("cache.json")), from_packets);
}

TEST_F(DaemonTest, CapturesThatCannotBeReadAreRefusedAndACutOneEndsItsInput)
{
    struct Case {
        std::string name;
        std::string content;
        std::vector<std::string> extra;
        std::string message;
    } cases[] = {
        // Prism-headed 802.11: a link type the tracker does not take apart.
        {"prism.pcap", PcapFile(119), {}, ": link type 119"},
        {"text.pcap", "not a capture at all\n", {}, ": "},
        {"empty.pcap", "", {}, ": "},
        {"filter.pcap", PcapFile(1), {"--bpf", "udp port"}, ": filter \"udp port\": "},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.Write(c.name, c.content);
        std::vector<std::string> args = {"--pcap", path};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        ChildProcess host;
        Start(host, args);
        EXPECT_EQ(host.Wait(DEADLINE), 1) << Log();
        EXPECT_NE(Log().find("ostrel-host: " + path + c.message), std::string::npos) << Log();
        EXPECT_EQ(Log().find("loaded"), std::string::npos) << "no plug-in starts without its input";
    }

    // Broken part-way: what came before is processed and saved, the break
    // is a parse error said with its record, and the exit status says so.
    const std::string android = ReadFile(CAPTURES + "android.pcap");
    const std::string dhcp = ReadFile(CAPTURES + "dhcp.pcapng");
    const Case broken[] = {
        {"cut.pcap", android.substr(0, android.size() / 2 + 7), {}, ": record "},
        {"snap.pcap", android + Le32(1700000000) + Le32(0) + Le32(0x7fffffff) + Le32(0x7fffffff) + "x", {},
            ": record 501: invalid packet capture length 2147483647"},
        // A second interface block, of link type 105, and a packet on it.
        {"link.pcapng",
            dhcp + Le32(1) + Le32(20) + Le32(105) + Le32(65535) + Le32(20) + Le32(6) + Le32(92) + Le32(1)
                + std::string(8, '\0') + Le32(60) + Le32(60) + std::string(60, '\0') + Le32(92),
            {}, ": record 5: an interface has a type 105 different from the type of the first interface"},
    };
    for (const Case &c : broken) {
        SCOPED_TRACE(c.name);
        const std::string path = dir.Write(c.name, c.content);
        std::remove(dir.File("cache.json").c_str());
        ChildProcess host;
        Start(host, {"--pcap", path, "--speed", "0", "--exit-after-input", "0"});
        ASSERT_EQ(host.Wait(DEADLINE), 3) << Log();
        const std::string log = Log();
        EXPECT_NE(log.find("ostrel-host: " + path + c.message), std::string::npos) << log;
        EXPECT_NE(log.find("; input ended\n"), std::string::npos) << log;
        EXPECT_NE(log.find(" packets, 1 parse errors; sinks: "), std::string::npos) << log;
        EXPECT_NE(log.find("ostrel-host: exit status 3: " + path + ": record "), std::string::npos) << log;
        EXPECT_FALSE(json::parse(ReadFile(dir.File("cache.json"))).empty());
    }
}

TEST_F(DaemonTest, AFileSizeLimitFailsACacheSaveAndKeepsTheOldCache)
{
    const std::string cache = dir.File("cache.json");
    ChildProcess first;
    Start(first, {"--input", dir.Write("few.jsonl", Flows(0, 2)), "--speed", "0", "--exit-after-input", "0"});
    ASSERT_EQ(first.Wait(DEADLINE), 0) << Log();
    const std::string old = ReadFile(cache);
    ASSERT_EQ(json::parse(old).size(), 2u);

    // Room for that cache and the log, not for 400 devices: a write past the
    // limit must fail like one on a full disk, not end the daemon with
    // SIGXFSZ (status 153) and a temporary left behind.
    ChildProcess host;
    host.LimitFileSize(32 * 1024);
    log_path = dir.File("limited.log");
    host.Start(
        {OSTREL_HOST_BIN, "--conf", conf, "--input", dir.Write("many.jsonl", Flows(2, 400)), "--speed", "0"},
        dir.File("host.out"), log_path);
    ASSERT_TRUE(WaitForLog("ostrel-host: input done: 400 flows read")) << Log();
    // A reload saves the table; the daemon goes on after the failure.
    host.Signal(SIGHUP);
    const std::string failed = " failed: dev-discovery: " + cache + ": File too large\n";
    ASSERT_TRUE(WaitForLog("dev-discovery: device cache" + failed)) << Log();
    EXPECT_TRUE(host.Running());
    host.Signal(SIGTERM);
    EXPECT_EQ(host.Wait(DEADLINE), 0) << Log();
    EXPECT_NE(Log().find("dev-discovery: final device cache save" + failed), std::string::npos) << Log();
    EXPECT_EQ(ReadFile(cache), old);
    for (const auto &entry : std::filesystem::directory_iterator(dir.Path()))
        EXPECT_EQ(entry.path().filename().string().find("cache.json.tmp."), std::string::npos)
            << entry.path();
}

} // namespace
