#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/oz_plugin.h"
#include "tests/support/files.h"
#include "tests/support/host_fixture.h"
#include "daemon/sink_writer.h"

using json = nlohmann::json;
using ostrel_host::EncodePayload;
using ostrel_host::SinkWriter;
using ostrel_test::Gunzip;
using ostrel_test::ReadFile;

namespace {

const json PAYLOAD = R"({"device_discovery": [{"mac": "3c:28:6d:41:9a:10", "ip_address": "192.168.1.23",
    "dhcp": {"fingerprint": "1,3,6", "hostname": "Pixel-7", "vendor": "android-dhcp-13"},
    "cached": false, "response": {"label": "Android phone", "score": 90, "type": "phone", "vendor": ""}}]})"_json;

class OstrelHostSinkTest : public ostrel_test::HostFixture
{
};

TEST_F(OstrelHostSinkTest, EncodingsRoundTrip)
{
    // JSON text: one compact document and a newline.
    std::string text = EncodePayload(PAYLOAD, ozPlugin::DF_FORMAT_JSON);
    ASSERT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find('\n'), text.size() - 1);
    EXPECT_EQ(json::parse(text), PAYLOAD);

    // msgpack, alone and inside gzip; the flush and header flags change nothing.
    std::string packed
        = EncodePayload(PAYLOAD, ozPlugin::DF_FORMAT_MSGPACK | ozPlugin::DF_FLUSH | ozPlugin::DF_ADD_HEADER);
    EXPECT_EQ(json::from_msgpack(packed), PAYLOAD);
    EXPECT_EQ(json::from_msgpack(
                  Gunzip(EncodePayload(PAYLOAD, ozPlugin::DF_FORMAT_MSGPACK | ozPlugin::DF_GZ_DEFLATE))),
        PAYLOAD);

    // gzip members concatenate to one stream, as in an appended file.
    std::string twice = EncodePayload(PAYLOAD, ozPlugin::DF_FORMAT_JSON | ozPlugin::DF_GZ_DEFLATE)
        + EncodePayload(json {{"n", 2}}, ozPlugin::DF_FORMAT_JSON | ozPlugin::DF_GZ_DEFLATE);
    EXPECT_EQ(Gunzip(twice), PAYLOAD.dump() + "\n" + R"({"n":2})" + "\n");
}

TEST_F(OstrelHostSinkTest, InvalidUtf8FromTheNetworkIsReplacedNotThrown)
{
    json payload
        = {{"device_discovery", json::array({{{"mac", "aa:bb:cc:dd:ee:ff"}, {"ip_address", "\xff\xfe"}}})}};
    std::string text;
    ASSERT_NO_THROW(text = EncodePayload(payload, ozPlugin::DF_FORMAT_JSON));
    EXPECT_EQ(json::parse(text)["device_discovery"][0]["ip_address"], "\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST_F(OstrelHostSinkTest, ChannelsWriteTheirOwnFilesAndUnknownOnesAreDropped)
{
    SinkWriter writer;
    std::string plain = dir.File("plain.jsonl");
    std::string packed = dir.File("packed.gz");
    writer.AddChannel("sink-log", "devices", plain, SinkWriter::View::ENCODED);
    writer.AddChannel("sink-log", "archive", packed, SinkWriter::View::ENCODED);

    writer.Write(
        "dev-discovery", "sink-log", {"devices"}, PAYLOAD, ozPlugin::DF_FORMAT_JSON | ozPlugin::DF_FLUSH);
    writer.Write("dev-discovery", "sink-log", {"archive"}, PAYLOAD,
        ozPlugin::DF_FORMAT_MSGPACK | ozPlugin::DF_GZ_DEFLATE | ozPlugin::DF_FLUSH);
    writer.Write("dev-discovery", "sink-log", {"devices", "nowhere"}, PAYLOAD,
        ozPlugin::DF_FORMAT_JSON | ozPlugin::DF_FLUSH);
    writer.Write(
        "dev-discovery", "sink-other", {"devices"}, PAYLOAD, ozPlugin::DF_FORMAT_JSON | ozPlugin::DF_FLUSH);

    EXPECT_EQ(ReadFile(plain), PAYLOAD.dump() + "\n" + PAYLOAD.dump() + "\n");
    EXPECT_EQ(json::from_msgpack(Gunzip(ReadFile(packed))), PAYLOAD);
    EXPECT_EQ(log.Count("payload for unknown sink channel"), 2u);
    EXPECT_TRUE(log.Contains(
        "ostrel-host: dev-discovery: payload for unknown sink channel sink-log/nowhere dropped\n"));
    EXPECT_TRUE(log.Contains("sink-other/devices dropped"));
    EXPECT_EQ(writer.Payloads(), 4u);
    EXPECT_EQ(writer.Devices(), 1u);
}

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(text.substr(at, end - at));
    return lines;
}

TEST_F(OstrelHostSinkTest, TableViewWritesAHeaderOnceAndPrintableRows)
{
    SinkWriter writer;
    std::string table = dir.File("table.txt");
    writer.AddChannel("sink-log", "devices", table, SinkWriter::View::TABLE);
    json hostile = R"({"device_discovery": [{"mac": "aa:bb:cc:dd:ee:ff", "response": null,
        "dhcp": {"hostname": "evil\u001b[2Jname"}}]})"_json;

    writer.Write("dev-discovery", "sink-log", {"devices"}, PAYLOAD, ozPlugin::DF_FORMAT_JSON);
    writer.Write("dev-discovery", "sink-log", {"devices"}, hostile, ozPlugin::DF_FORMAT_JSON);

    std::vector<std::string> lines = Lines(ReadFile(table));
    ASSERT_EQ(lines.size(), 3u) << ReadFile(table);
    EXPECT_EQ(lines[0].rfind("MAC", 0), 0u);
    EXPECT_NE(lines[1].find("3c:28:6d:41:9a:10  Android phone"), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find("  90  "), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find("Pixel-7"), std::string::npos);
    EXPECT_NE(lines[2].find("(unclassified)"), std::string::npos);
    EXPECT_NE(lines[2].find("evil\\x1b[2Jname"), std::string::npos) << lines[2];
}

TEST_F(OstrelHostSinkTest, TableViewShowsControlsBidiMarksAndBadBytesAsEscapes)
{
    // What a device on the network can put into its name or an answer.
    const std::string forged = "ok\nostrel-host: x";
    const std::string c1 = "csi\xc2\x9b"
                           "31m";
    const std::string bidi = "a\xe2\x80\xae"
                             "b";
    const std::string bad = "bad\xff\xc3";
    json payload = {{"device_discovery",
        json::array({{{"mac", "aa:bb:cc:dd:ee:01"}, {"dhcp", {{"hostname", forged}}},
                         {"response", {{"label", c1}, {"type", bidi}, {"score", 10}}}},
            {{"mac", "aa:bb:cc:dd:ee:02"}, {"dhcp", {{"hostname", bad}}},
                {"response", {{"label", "Caf\xc3\xa9 TV"}, {"vendor", "\xe2\x81\xa6x"}, {"score", 55}}}}})}};
    std::string rows = ostrel_host::TableRows(payload);

    std::vector<std::string> lines = Lines(rows);
    ASSERT_EQ(lines.size(), 2u) << rows;
    EXPECT_NE(lines[0].find("ok\\x0aostrel-host: x"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("csi\\u009b31m"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("a\\u202eb"), std::string::npos) << lines[0];
    EXPECT_NE(lines[1].find("bad\\xff\\xc3"), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find("\\u2066x"), std::string::npos) << lines[1];
    // Printable text from abroad is kept and padded by characters.
    EXPECT_NE(lines[1].find("Caf\xc3\xa9 TV" + std::string(26 - 7 + 2, ' ') + "55   "), std::string::npos)
        << lines[1];
    for (const std::string &raw : {std::string("\x1b"), std::string("\xc2\x9b"), std::string("\xe2\x80\xae"),
             std::string("\xe2\x81\xa6"), std::string("\xff")})
        EXPECT_EQ(rows.find(raw), std::string::npos);

    // A long name is cut between escapes and characters, never inside one.
    json long_name = {{"device_discovery",
        json::array({{{"mac", "aa:bb:cc:dd:ee:03"},
            {"response", {{"label", std::string(22, 'a') + "\xe2\x80\xae" + "bbbb"}}}}})}};
    EXPECT_NE(ostrel_host::TableRows(long_name).find(std::string(22, 'a') + "~  "), std::string::npos)
        << ostrel_host::TableRows(long_name);
    json long_char = {{"device_discovery",
        json::array({{{"mac", "aa:bb:cc:dd:ee:04"},
            {"response", {{"label", std::string(24, 'a') + "\xc3\xa9\xc3\xa9" + "bbbb"}}}}})}};
    EXPECT_NE(ostrel_host::TableRows(long_char).find(std::string(24, 'a') + "\xc3\xa9~  "), std::string::npos)
        << ostrel_host::TableRows(long_char);

    // Any other payload is shown as ASCII-only JSON.
    std::string other = ostrel_host::TableRows(json {{"note", "x\xe2\x80\xaey\n"}});
    EXPECT_EQ(other, "{\"note\":\"x\\u202ey\\n\"}\n");
}

TEST_F(OstrelHostSinkTest, ReopenFollowsARotatedFileAndKeepsTheOldOneOnFailure)
{
    SinkWriter writer;
    const std::string plain = dir.File("plain.jsonl");
    const std::string table = dir.File("table.txt");
    writer.AddChannel("sink-log", "devices", plain, SinkWriter::View::ENCODED);
    writer.AddChannel("sink-log", "table", table, SinkWriter::View::TABLE);
    writer.AddChannel("sink-log", "stdout", "-", SinkWriter::View::ENCODED);
    writer.Write("dev-discovery", "sink-log", {"devices", "table"}, PAYLOAD, ozPlugin::DF_FORMAT_JSON);
    ASSERT_EQ(std::rename(plain.c_str(), (plain + ".1").c_str()), 0);
    ASSERT_EQ(std::rename(table.c_str(), (table + ".1").c_str()), 0);

    EXPECT_EQ(writer.Reopen(), 2u); // stdout stays as it is
    writer.Write(
        "dev-discovery", "sink-log", {"devices", "table"}, json {{"n", 2}}, ozPlugin::DF_FORMAT_JSON);
    EXPECT_EQ(ReadFile(plain + ".1"), PAYLOAD.dump() + "\n");
    EXPECT_EQ(ReadFile(plain), "{\"n\":2}\n");
    // The new table starts with its own header.
    EXPECT_EQ(Lines(ReadFile(table)).size(), 2u) << ReadFile(table);
    EXPECT_EQ(ReadFile(table).rfind("MAC", 0), 0u);

    // A file that cannot be made again: the old one goes on.
    const std::string folder = dir.File("rotated");
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    SinkWriter gone;
    gone.AddChannel("sink-log", "devices", folder + "/out.jsonl", SinkWriter::View::ENCODED);
    ASSERT_EQ(std::rename(folder.c_str(), (folder + ".old").c_str()), 0);
    EXPECT_EQ(gone.Reopen(), 0u);
    EXPECT_TRUE(log.Contains("ostrel-host: sink " + folder
        + "/out.jsonl: cannot open for appending: No such file or directory; still writing to "
          "the file opened before\n"))
        << log.Text();
    gone.Write("dev-discovery", "sink-log", {"devices"}, PAYLOAD, ozPlugin::DF_FORMAT_JSON);
    EXPECT_EQ(ReadFile(folder + ".old/out.jsonl"), PAYLOAD.dump() + "\n");
}

// Writes 40 payloads that hardly compress to "archive" on a 16 KiB tmpfs,
// which fills up after a few, then frees a page and writes one payload more.
// Runs in a child process with a mount namespace of its own; the file and
// the log are copied to `out` and `out`.log. Exit status 77 when this
// machine allows no such namespace (not root).
int FillTinyDisk(const std::string &mount_point, const std::string &out, uint8_t flags)
{
    pid_t child = fork();
    if (child < 0) return -1;
    if (child == 0) {
        if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0
            || mount("tmpfs", mount_point.c_str(), "tmpfs", 0, "size=16k") != 0)
            _exit(77);
        const std::string archive = mount_point + "/archive";
        const std::string filler = mount_point + "/filler";
        std::ofstream(filler) << std::string(4096, 'f');
        ostrel_standin::LogCapture captured;
        {
            SinkWriter writer;
            writer.AddChannel("sink-log", "archive", archive, SinkWriter::View::ENCODED);
            std::mt19937 random(20260308);
            for (int n = 0; n < 40; n++) {
                std::string noise(1500, ' ');
                for (char &c : noise)
                    c = static_cast<char>('!' + random() % 90);
                writer.Write(
                    "dev-discovery", "sink-log", {"archive"}, json {{"n", n}, {"noise", noise}}, flags);
            }
            std::remove(filler.c_str());
            writer.Write("dev-discovery", "sink-log", {"archive"}, json {{"n", "last"}}, flags);
        }
        std::ofstream(out, std::ios::binary) << ReadFile(archive);
        std::ofstream(out + ".log", std::ios::binary) << captured.Text();
        _exit(0);
    }
    int raw = 0;
    waitpid(child, &raw, 0);
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

TEST_F(OstrelHostSinkTest, FullDiskLeavesOnlyWholePayloadsAndTheArchiveGoesOn)
{
    const std::string fs = dir.File("fs");
    ASSERT_EQ(mkdir(fs.c_str(), 0755), 0);
    const struct {
        uint8_t flags;
        const char *name;
    } cases[] = {{ozPlugin::DF_FORMAT_JSON | ozPlugin::DF_GZ_DEFLATE | ozPlugin::DF_FLUSH, "gzip"},
        {ozPlugin::DF_FORMAT_JSON | ozPlugin::DF_GZ_DEFLATE, "gzip, no flush flag"},
        {ozPlugin::DF_FORMAT_JSON, "JSON lines"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string out = dir.File("after");
        int status = FillTinyDisk(fs, out, c.flags);
        if (status == 77) GTEST_SKIP() << "no private mount namespace with a tmpfs here (needs root)";
        ASSERT_EQ(status, 0);

        std::string bytes = ReadFile(out);
        std::string text;
        ASSERT_NO_THROW(text = (c.flags & ozPlugin::DF_GZ_DEFLATE) ? Gunzip(bytes) : bytes)
            << bytes.size() << " bytes";
        std::vector<json> payloads;
        for (const std::string &line : Lines(text))
            ASSERT_NO_THROW(payloads.push_back(json::parse(line)));
        ASSERT_EQ(text.back(), '\n');
        // Some payloads fitted, the disk ran full, and after room came back
        // the next payload follows the last whole one.
        ASSERT_GE(payloads.size(), 4u);
        EXPECT_LT(payloads.size(), 30u) << "the disk never filled up";
        for (size_t i = 0; i + 1 < payloads.size(); i++)
            EXPECT_EQ(payloads[i]["n"], i);
        EXPECT_EQ(payloads.back()["n"], "last");
        const std::string log_text = ReadFile(out + ".log");
        EXPECT_EQ(log_text,
            "ostrel-host: sink sink-log/archive: " + fs
                + "/archive: write failed: No space left on device\n");
    }
}

TEST_F(OstrelHostSinkTest, UnwritableOutputIsReportedOnceAndNeverStopsTheHost)
{
    SinkWriter writer;
    EXPECT_THROW(
        writer.AddChannel("sink-log", "x", dir.File("missing/folder/out.jsonl"), SinkWriter::View::ENCODED),
        std::runtime_error);
    // A full disk: every write fails.
    writer.AddChannel("sink-log", "full", "/dev/full", SinkWriter::View::ENCODED);
    for (int i = 0; i < 3; i++)
        writer.Write(
            "dev-discovery", "sink-log", {"full"}, PAYLOAD, ozPlugin::DF_FORMAT_JSON | ozPlugin::DF_FLUSH);

    EXPECT_EQ(
        log.Count("ostrel-host: sink sink-log/full: /dev/full: write failed: No space left on device\n"), 1u);
    EXPECT_EQ(writer.Payloads(), 3u);
}

} // namespace
