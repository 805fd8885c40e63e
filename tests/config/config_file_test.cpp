// The configuration file as the file system gives it, and values that are
// valid but throw the plug-in's state away.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <memory>
#include <string>

#include "plugin/plugin.h"
#include "tests/support/host_fixture.h"
#include "tests/support/plugin.h"

namespace {

using namespace std::chrono_literals;

class ConfigFileTest : public ostrel_test::HostFixture
{
protected:
    // What Reload threw, or "" when it did not throw. A reload still blocked
    // after a few seconds (in open() of a FIFO) is freed by opening the
    // FIFO's other end, and fails the test.
    std::string ReloadError()
    {
        auto done = std::async(
            std::launch::async, [this] { return ostrel_test::ThrownMessage([this] { plugin->Reload(); }); });
        if (done.wait_for(5s) == std::future_status::timeout) {
            ADD_FAILURE() << "reload blocked";
            int fd = open(conf.c_str(), O_WRONLY);
            if (fd >= 0) close(fd);
        }
        return done.get();
    }

    std::string conf = dir.File("plugin.json");
    std::unique_ptr<ozpPlugin> plugin = ostrel_test::MakePluginAt(conf);
};

TEST_F(ConfigFileTest, OnlyARegularFileIsReadAndARefusalChangesNothing)
{
    dir.Write("good.json", R"({"max_confidence": 70})");
    ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
    std::filesystem::create_directory(dir.File("folder"));
    struct Case {
        std::string target;
        std::string error;
    };
    const Case cases[] = {
        {dir.File("good.json"), ""},
        {dir.File("fifo"), "not a regular file (a FIFO)"},
        {dir.File("folder"), "not a regular file (a folder)"},
        {"/dev/null", "not a regular file (a character device)"},
        {"/dev/zero", "not a regular file (a character device)"},
        {dir.File("missing.json"), "No such file or directory"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.target);
        std::filesystem::remove(conf);
        std::filesystem::create_symlink(c.target, conf);
        EXPECT_EQ(ReloadError(), c.error.empty() ? "" : "dev-disc: " + conf + ": " + c.error);
        EXPECT_EQ(plugin->config.max_confidence, 70u);
    }

    // A FIFO named directly, not through a link.
    std::filesystem::remove(conf);
    ASSERT_EQ(mkfifo(conf.c_str(), 0600), 0);
    EXPECT_EQ(ReloadError(), "dev-disc: " + conf + ": not a regular file (a FIFO)");
}

TEST_F(ConfigFileTest, ValuesThatThrowStateAwayAreWarnedAboutAtEachReload)
{
    const std::string age = "dev-disc: max_device_age is 0: every device is purged at the next cache save\n";
    const std::string confidence = "dev-disc: max_confidence is 0: every device is retired at the next "
                                   "update, before the cloud identifies it\n";
    struct Case {
        std::string text;
        size_t age_lines;
        size_t confidence_lines;
    };
    const Case cases[] = {
        {R"({})", 0, 0},
        {R"({"max_device_age": 1, "max_confidence": 1})", 0, 0},
        {R"({"max_device_age": 0})", 1, 0},
        {R"({"max_confidence": 0})", 0, 1},
        {R"({"max_device_age": 0, "max_confidence": 0})", 1, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.text);
        dir.Write("plugin.json", c.text);
        log.Clear();
        for (int reload = 0; reload < 2; reload++)
            ASSERT_EQ(ReloadError(), "");
        EXPECT_EQ(log.Count(age), 2 * c.age_lines) << log.Text();
        EXPECT_EQ(log.Count(confidence), 2 * c.confidence_lines) << log.Text();
    }
}

TEST_F(ConfigFileTest, IgnoreEntriesMatchInAnyCaseOrNotationAndTheRestAreWarnedAboutAtEachReload)
{
    dir.Write("plugin.json", R"({"device_mac_ignore": ["AA:BB:CC:DD:EE:01", "aa-bb-cc-dd-ee-02",
        " aa:bb:cc:dd:ee:03 ", "the router", "aa:bb:cc:dd:ee:0g\n"]})");
    for (int reload = 0; reload < 2; reload++)
        ASSERT_EQ(ReloadError(), "");
    for (const char *mac : {"aa:bb:cc:dd:ee:01", "aa:bb:cc:dd:ee:02", "aa:bb:cc:dd:ee:03"})
        EXPECT_TRUE(plugin->IgnoreDeviceMac(mac)) << mac;
    EXPECT_EQ(
        log.Count("dev-disc: device_mac_ignore: \"the router\" is not a MAC address; entry ignored\n"), 2u);
    EXPECT_EQ(log.Count("dev-disc: device_mac_ignore: \"aa:bb:cc:dd:ee:0g\\\\n\" is not a MAC address; entry "
                        "ignored\n"),
        2u)
        << log.Text();

    // A long list of them: the first few named, and how many there are.
    json many = json::array();
    for (int n = 0; n < 20; n++)
        many.push_back("host-" + std::to_string(n));
    dir.Write("plugin.json", json {{"device_mac_ignore", many}}.dump());
    log.Clear();
    ASSERT_EQ(ReloadError(), "");
    EXPECT_TRUE(log.Contains("dev-disc: device_mac_ignore: 20 entries are not MAC addresses; ignored\n"));
    EXPECT_EQ(log.Count("is not a MAC address; entry ignored\n"), 16u);
}

} // namespace
