#include <gtest/gtest.h>

#include <string>

#include <nlohmann/json.hpp>

#include "tests/support/host_fixture.h"
#include "tests/tools/support.h"
#include "tools/sink_writer.h"

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
    std::string text = EncodePayload(PAYLOAD, 0x01);
    ASSERT_EQ(text.back(), '\n');
    EXPECT_EQ(text.find('\n'), text.size() - 1);
    EXPECT_EQ(json::parse(text), PAYLOAD);

    // msgpack, alone and inside gzip; flush and unknown bits change nothing.
    std::string packed = EncodePayload(PAYLOAD, 0x04 | 0x08 | 0x10);
    EXPECT_EQ(json::from_msgpack(packed), PAYLOAD);
    EXPECT_EQ(json::from_msgpack(Gunzip(EncodePayload(PAYLOAD, 0x04 | 0x20))), PAYLOAD);

    // gzip members concatenate to one stream, as in an appended file.
    std::string twice = EncodePayload(PAYLOAD, 0x01 | 0x20) + EncodePayload(json{{"n", 2}}, 0x01 | 0x20);
    EXPECT_EQ(Gunzip(twice), PAYLOAD.dump() + "\n" + R"({"n":2})" + "\n");
}

TEST_F(OstrelHostSinkTest, InvalidUtf8FromTheNetworkIsReplacedNotThrown)
{
    json payload = {{"device_discovery", json::array({{{"mac", "aa:bb:cc:dd:ee:ff"}, {"ip_address", "\xff\xfe"}}})}};
    std::string text;
    ASSERT_NO_THROW(text = EncodePayload(payload, 0x01));
    EXPECT_EQ(json::parse(text)["device_discovery"][0]["ip_address"], "\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST_F(OstrelHostSinkTest, ChannelsWriteTheirOwnFilesAndUnknownOnesAreDropped)
{
    SinkWriter writer;
    std::string plain = dir.File("plain.jsonl");
    std::string packed = dir.File("packed.gz");
    writer.AddChannel("sink-log", "devices", plain, SinkWriter::View::ENCODED);
    writer.AddChannel("sink-log", "archive", packed, SinkWriter::View::ENCODED);

    writer.Write("dev-discovery", "sink-log", {"devices"}, PAYLOAD, 0x01 | 0x08);
    writer.Write("dev-discovery", "sink-log", {"archive"}, PAYLOAD, 0x04 | 0x20 | 0x08);
    writer.Write("dev-discovery", "sink-log", {"devices", "nowhere"}, PAYLOAD, 0x01 | 0x08);
    writer.Write("dev-discovery", "sink-other", {"devices"}, PAYLOAD, 0x01 | 0x08);

    EXPECT_EQ(ReadFile(plain), PAYLOAD.dump() + "\n" + PAYLOAD.dump() + "\n");
    EXPECT_EQ(json::from_msgpack(Gunzip(ReadFile(packed))), PAYLOAD);
    EXPECT_EQ(log.Count("payload for unknown sink channel"), 2u);
    EXPECT_TRUE(log.Contains("ostrel-host: dev-discovery: payload for unknown sink channel sink-log/nowhere dropped\n"));
    EXPECT_TRUE(log.Contains("sink-other/devices dropped"));
    EXPECT_EQ(writer.Payloads(), 4u);
    EXPECT_EQ(writer.Devices(), 1u);
}

TEST_F(OstrelHostSinkTest, TableViewWritesAHeaderOnceAndPrintableRows)
{
    SinkWriter writer;
    std::string table = dir.File("table.txt");
    writer.AddChannel("sink-log", "devices", table, SinkWriter::View::TABLE);
    json hostile = R"({"device_discovery": [{"mac": "aa:bb:cc:dd:ee:ff", "response": null,
        "dhcp": {"hostname": "evil\u001b[2Jname"}}]})"_json;

    writer.Write("dev-discovery", "sink-log", {"devices"}, PAYLOAD, 0x01);
    writer.Write("dev-discovery", "sink-log", {"devices"}, hostile, 0x01);

    std::vector<std::string> lines;
    std::string text = ReadFile(table);
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
        lines.push_back(text.substr(at, end - at));
    ASSERT_EQ(lines.size(), 3u) << text;
    EXPECT_EQ(lines[0].rfind("MAC", 0), 0u);
    EXPECT_NE(lines[1].find("3c:28:6d:41:9a:10  Android phone"), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find("  90  "), std::string::npos) << lines[1];
    EXPECT_NE(lines[1].find("Pixel-7"), std::string::npos);
    EXPECT_NE(lines[2].find("(unclassified)"), std::string::npos);
    // The escape character of a hostile host name never reaches the terminal.
    EXPECT_EQ(text.find('\x1b'), std::string::npos);
    EXPECT_NE(lines[2].find("evil?[2Jname"), std::string::npos);
}

TEST_F(OstrelHostSinkTest, UnwritableOutputIsReportedOnceAndNeverStopsTheHost)
{
    SinkWriter writer;
    EXPECT_THROW(writer.AddChannel("sink-log", "x", dir.File("missing/folder/out.jsonl"), SinkWriter::View::ENCODED),
        std::runtime_error);
    // A full disk: every write fails.
    writer.AddChannel("sink-log", "full", "/dev/full", SinkWriter::View::ENCODED);
    for (int i = 0; i < 3; i++) writer.Write("dev-discovery", "sink-log", {"full"}, PAYLOAD, 0x01 | 0x08);

    EXPECT_EQ(log.Count("ostrel-host: sink sink-log/full: /dev/full: write failed: No space left on device\n"), 1u);
    EXPECT_EQ(writer.Payloads(), 3u);
}

} // namespace
